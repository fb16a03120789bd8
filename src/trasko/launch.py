"""What the Windows bundle's launchers run (`python -m trasko.launch NAME ARGS`):
trasko in the launcher's mode. Every path typed or dropped is taken from the
folder it was given in; the command then works from the list's folder, so
that the list's own relative Papi paths resolve beside the list whatever
folder Explorer started the launcher in."""

from __future__ import annotations

import os
import sys

from trasko import errands, messages
from trasko.__main__ import main
from trasko.report import Environment

MODES = {
    "publier": [],
    "verifier": ["--verifier"],
    "suivre": ["--suivre"],
    "facture": ["--facture"],
    "reglement": ["--reglement"],
    "preparer": ["--preparer"],
}
PATH_OPTIONS = ("--rapport", "--dossier", "--reglement")
VALUE_OPTIONS = ("--site", "--intervalle", "--delai")
# A drive path longer than this needs Windows' long-path form to be opened
# on a machine where long paths are not enabled.
LONGEST_PLAIN_PATH = 259


def typed_here(args: list[str]) -> list[str]:
    """`args` with every path made absolute from the current folder: the
    list, and the values of --rapport, --dossier and --reglement."""
    result: list[str] = []
    rest = iter(args)
    for arg in rest:
        name, equals, value = arg.partition("=")
        if arg == "--":
            result += [arg, *map(_absolute, rest)]
        elif name in PATH_OPTIONS and equals:
            result.append(f"{name}={_absolute(value)}")
        elif arg in PATH_OPTIONS or arg in VALUE_OPTIONS:
            following = next(rest, None)
            result.append(arg)
            if following is not None:
                result.append(_absolute(following) if arg in PATH_OPTIONS else following)
        else:
            result.append(arg if arg.startswith("-") else _absolute(arg))
    return result


def _absolute(path: str) -> str:
    if not path or path == "-":
        return path
    full = os.path.abspath(path)
    if os.name == "nt" and len(full) > LONGEST_PLAIN_PATH and full[1:3] == ":\\":
        return "\\\\?\\" + full
    return full


def rules_and_list(typed: list[str]) -> list[str] | None:
    """reglement.exe: Explorer passes the PDF and the list dropped together in
    the order of the selection. The rules go after --reglement: the file that
    starts as a PDF, else the one named .pdf, else the first (trasko then says
    it is no PDF); None when the two files are not both there."""
    places = _positionals(typed)
    if len(places) < 2:
        return None
    if len(places) > 2:
        return ["--reglement", *typed]  # trasko names what is too much
    files = [typed[at] for at in places]
    rules = next(
        iter([f for f in files if errands.starts_pdf(f)] or [f for f in files if f.lower().endswith(".pdf")] or files)
    )
    at = places[files.index(rules)]
    return ["--reglement", rules, *typed[:at], *typed[at + 1 :]]


def _positionals(args: list[str]) -> list[int]:
    """Where the files named on the command line stand (not option values)."""
    places: list[int] = []
    value_next = False
    for at, arg in enumerate(args):
        if value_next:
            value_next = False
        elif arg == "--":
            return places + list(range(at + 1, len(args)))
        elif arg in PATH_OPTIONS or arg in VALUE_OPTIONS:
            value_next = True
        elif arg == "-" or not arg.startswith("-"):
            places.append(at)
    return places


def _folder_of(path: str) -> str:
    """preparer.exe: a folder dropped, or the folder of a Papi file dropped."""
    return os.path.dirname(path) if os.path.isfile(path) else path


def _work_beside_the_list(args: list[str]) -> None:
    places = _positionals(args)
    listing = args[places[-1]] if places else ""
    if os.path.isfile(listing):
        try:
            os.chdir(os.path.dirname(listing))
        except OSError:
            pass  # a folder Windows cannot enter: Papi paths written in full still work


def start(args: list[str]) -> int:
    """trasko with `args` (their paths absolute), from the list's folder,
    keeping the status board beside the list."""
    _work_beside_the_list(args)
    sys.argv = ["trasko", *args]
    return main(args, Environment(keeps_board=True))


def run(name: str, typed: list[str]) -> int:
    from trasko import menu

    if name not in MODES or not typed:
        if name in MODES:
            rules = messages.LAUNCH_RULES_TOO if name == "reglement" else ""
            what = messages.LAUNCH_A_FOLDER if name == "preparer" else messages.LAUNCH_A_LIST
            hint = messages.LAUNCH_DROP_HINT[name]
            sys.stdout.write(messages.LAUNCH_NOTHING_DROPPED.format(hint=hint, what=what, name=name, rules=rules))
        options = typed_here(typed)
        places = _positionals(options)
        if places and os.path.isfile(options[places[-1]]):  # a list dropped on the menu: its folder offered first
            menu.Settings.users().remember(os.path.dirname(options.pop(places[-1])))
        # Options typed for the menu (--site for a rehearsal) go with each of its runs.
        site = next((value for option, value in zip(options, options[1:], strict=False) if option == "--site"), None)
        return menu.run(lambda args: start([*options, *args]), site)
    args = [*MODES[name], *typed_here(typed)]
    if name == "preparer":
        return start(["--preparer", _folder_of(args[-1])])
    if name == "reglement":
        both = rules_and_list(args[1:])
        if both is None:
            sys.stdout.write(messages.LAUNCH_RULES_NEED_BOTH)
            return 2
        args = both
    return start(args)


if __name__ == "__main__":
    sys.exit(run(sys.argv[1] if len(sys.argv) > 1 else "", sys.argv[2:]))
