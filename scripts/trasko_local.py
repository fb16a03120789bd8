"""trasko against another copy of the federation's site (a local one, for a
demo or the tests): rebinds velka.ADMIN_FFE_URL, then runs the command entry
as trasko does.

    .venv/bin/python scripts/trasko_local.py BASE-URL LIST-FILE
"""
import sys

import velka


def main():
    if len(sys.argv) < 2:
        print("syntaxe: trasko_local.py URL-du-site fichier-tournoi")
        return 2
    velka.ADMIN_FFE_URL = sys.argv.pop(1)
    velka.main_func()
    return 0


if __name__ == "__main__":
    sys.exit(main())
