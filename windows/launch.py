"""What the bundle's launchers run: `trasko` with the launcher's options and
the arguments it was given, from the folder of the list file (the last
argument), so that relative Papi paths in a list dropped on a launcher
resolve beside the list whatever folder Explorer started it in."""

import os
import sys

from trasko.__main__ import main


def rules_and_list(args: list[str]) -> list[str]:
    """reglement.cmd: Explorer passes the PDF and the list dropped together in
    the order of the selection; the PDF (known by its first bytes) goes after
    --reglement and the list last. Anything else is left to trasko to judge."""
    rest = args[1:]
    files = [arg for arg in rest if not arg.startswith("-") and os.path.isfile(arg)]
    pdfs = [name for name in files if _starts_pdf(name)]
    if len(files) != 2 or len(pdfs) != 1:
        return args
    others = [arg for arg in rest if arg not in files]
    listing = files[1] if files[0] == pdfs[0] else files[0]
    return [*others, "--reglement", pdfs[0], listing]


def _starts_pdf(name: str) -> bool:
    try:
        with open(name, "rb") as file:
            return file.read(5) == b"%PDF-"
    except OSError:
        return False


def run(args: list[str]) -> int:
    if args[:1] == ["--reglement"]:
        args = rules_and_list(args)
    if args and not args[-1].startswith("-") and os.path.isfile(args[-1]):
        listing = os.path.abspath(args[-1])
        os.chdir(os.path.dirname(listing))
        args = [*args[:-1], listing]
    sys.argv = ["trasko", *args]
    return main(args)


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
