"""What the bundle's launchers run: `trasko` with the launcher's options and
the arguments it was given, from the folder of the list file (the last
argument), so that relative Papi paths in a list dropped on a launcher
resolve beside the list whatever folder Explorer started it in."""

import os
import sys

from trasko.__main__ import main


def run(args: list[str]) -> int:
    if args and not args[-1].startswith("-") and os.path.isfile(args[-1]):
        listing = os.path.abspath(args[-1])
        os.chdir(os.path.dirname(listing))
        args = [*args[:-1], listing]
    sys.argv = ["trasko", *args]
    return main(args)


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
