"""Instructions per call of the two per-call figures of bench/bench.py, velka
against the plain-Python twin, counted by valgrind's callgrind: repeatable
where wall times on a shared machine are not.

    .venv/bin/python bench/instructions.py [CALLS]

Runs itself under callgrind, which dumps its counts at every os.getppid()
call: each phase (one figure's calls) ends with one, so each dump holds one
phase. The cost of the timing loop (an empty lambda) is taken off each."""

import os
import subprocess
import sys
import tempfile
import types
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH)]


LIST_LINES = 1_000


def list_file():
    """A list file of LIST_LINES lines of the four kinds bench.py reads."""
    work = Path(tempfile.mkdtemp(prefix="velka-instructions-"))
    (work / "p.papi").write_bytes(b"p")
    kinds = [
        f"login;pwd;{work}/p.papi;1;k{{}}\n",
        f"login;pwd;{work}/absent.papi;0;k{{}}\n",
        " ; ;\n",
        f"login,pwd , {work}/p.papi ,0, k{{}}\n",
    ]
    (work / "list.txt").write_text("".join(kinds[i % 4].format(i) for i in range(LIST_LINES)))
    return str(work / "list.txt")


def phases():
    import baseline

    from bench import raising

    import velka

    stand_in = types.SimpleNamespace(find=dict)  # as in bench.py
    found = {}
    listing = list_file()
    for module in (velka, baseline):
        module.envoi_tournoi = lambda *args: None

    return {
        "timing loop (empty lambda)": lambda: None,
        "get_attr_value on a stand-in page, velka": lambda: velka.get_attr_value(stand_in, found, "__VIEWSTATE"),
        "get_attr_value on a stand-in page, baseline": lambda: baseline.get_attr_value(stand_in, found, "__VIEWSTATE"),
        "binding error (page_ffe()), velka": raising(lambda: velka.page_ffe()),
        "binding error (page_ffe()), baseline": raising(lambda: baseline.page_ffe()),
        # Per line, over a file of LIST_LINES lines (the prints go to /dev/null).
        "get_tournoi_list, per line, velka": lambda: velka.get_tournoi_list(listing),
        "get_tournoi_list, per line, baseline": lambda: baseline.get_tournoi_list(listing),
        "page_ffe, per line, velka": lambda: velka.page_ffe(listing),
        "page_ffe, per line, baseline": lambda: baseline.page_ffe(listing),
    }


def repeats(name, calls):
    return max(calls // LIST_LINES, 1) if "per line" in name else calls


def inside(calls):
    sys.stdout = open(os.devnull, "w")  # for the life of the process
    table = phases()
    for name, call in table.items():  # warm: specialised bytecode, caches, free lists
        for _ in range(repeats(name, 2000)):
            call()
    os.getppid()
    for name, call in table.items():
        for _ in range(repeats(name, calls)):
            call()
        os.getppid()


def main():
    if sys.argv[1:2] == ["--inside"]:
        inside(int(sys.argv[2]))
        return
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    with tempfile.TemporaryDirectory() as work:
        out = Path(work) / "cg.out"
        # The module straight from the build, past the editable install's
        # import hook, as bench/run measures it.
        root = BENCH.parent
        env = dict(
            os.environ,
            MESONPY_EDITABLE_SKIP=str(root / "build" / "venv"),
            PYTHONPATH=str(root / "build" / "venv"),
            PYTHONHASHSEED="0",  # the same dict probes in every run
        )
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--dump-before=os_getppid",
                f"--callgrind-out-file={out}",
                sys.executable,
                __file__,
                "--inside",
                str(calls),
            ],
            check=True,
            env=env,
            stderr=subprocess.DEVNULL,
        )
        totals = []
        for dump in sorted(Path(work).glob("cg.out.*"), key=lambda p: int(p.suffix[1:])):
            line = next(x for x in dump.read_text().splitlines() if x.startswith(("summary:", "totals:")))
            totals.append(int(line.split()[1]))
    names = list(phases())
    counts = dict(zip(names, totals[1 : 1 + len(names)], strict=True))
    loop = counts.pop(names[0]) / calls
    per_call = {
        name: total / (repeats(name, calls) * LIST_LINES) if "per line" in name else total / calls - loop
        for name, total in counts.items()
    }
    print(f"{'instructions per call (timing loop taken off)':50} {'':>8}   (loop: {loop:.0f})")
    for name, count in per_call.items():
        print(f"{name:50} {count:8.0f}")
    figures = ("get_attr_value on a stand-in page", "binding error (page_ffe())", "get_tournoi_list, per line")
    for figure in (*figures, "page_ffe, per line"):
        ours, theirs = per_call[f"{figure}, velka"], per_call[f"{figure}, baseline"]
        extra = "" if "per line" in figure else f" (with the loop: {(ours + loop) / (theirs + loop):.3f})"
        print(f"{figure:50} ratio {ours / theirs:.3f}{extra}")


if __name__ == "__main__":
    main()
