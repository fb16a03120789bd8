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


def phases():
    import baseline

    import velka

    stand_in = types.SimpleNamespace(find=dict)  # as in bench.py
    found = {}

    def raising(function):
        def call():
            try:
                function()
            except TypeError:
                pass

        return call

    return {
        "timing loop (empty lambda)": lambda: None,
        "get_attr_value on a stand-in page, velka": lambda: velka.get_attr_value(stand_in, found, "__VIEWSTATE"),
        "get_attr_value on a stand-in page, baseline": lambda: baseline.get_attr_value(stand_in, found, "__VIEWSTATE"),
        "binding error (page_ffe()), velka": raising(lambda: velka.page_ffe()),
        "binding error (page_ffe()), baseline": raising(lambda: baseline.page_ffe()),
    }


def inside(calls):
    table = phases()
    for call in table.values():  # warm: specialised bytecode, caches, free lists
        for _ in range(2000):
            call()
    os.getppid()
    for call in table.values():
        for _ in range(calls):
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
    per_call = {name: total / calls for name, total in zip(names, totals[1 : 1 + len(names)], strict=True)}
    loop = per_call.pop(names[0])
    print(f"{'instructions per call, timing loop taken off':50} {'':>8}   (loop: {loop:.0f})")
    for name, count in per_call.items():
        print(f"{name:50} {count - loop:8.0f}")
    for figure in ("get_attr_value on a stand-in page", "binding error (page_ffe())"):
        ours, theirs = per_call[f"{figure}, velka"] - loop, per_call[f"{figure}, baseline"] - loop
        print(f"{figure:50} ratio {ours / theirs:.3f} (with the loop: {(ours + loop) / (theirs + loop):.3f})")


if __name__ == "__main__":
    main()
