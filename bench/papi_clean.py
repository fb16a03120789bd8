"""Reading a Papi file and making its cleaned copy (written to a temporary
folder, read back and checked, then removed), on the test fixtures. Prints a
Markdown table; the targets: a copy in under 30 ms for the 692 KB fixture,
with a peak of Python allocations under three times the file's size. With
--site, also a whole publication by trasko on the local ASP.NET site (Mono),
the copy against --tel-quel (the file sent as it is, read once for its check).

    .venv/bin/python bench/papi_clean.py [--runs N] [--site] [FILE...]
"""

from __future__ import annotations

import argparse
import io
import os
import platform
import re
import shutil
import statistics
import sys
import tempfile
import time
import tracemalloc
from collections.abc import Callable
from pathlib import Path

from trasko import papi

FIXTURES = Path(__file__).resolve().parent.parent / "tests" / "papi"
DEFAULT = [FIXTURES / "open-582-joueurs.papi", FIXTURES / "rapide-87-joueurs-contacts.papi"]
TIME_TARGET = 30.0  # ms, for the copy
MEMORY_TARGET = 3.0  # times the file's size


def timings(action: Callable[[], object], runs: int) -> list[float]:
    action()  # the first run pays the imports and the file cache
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        samples.append((time.perf_counter() - start) * 1000)
    return samples


def copy_once(path: str) -> None:
    with papi.cleaned_copy(path):
        pass


def peak(path: str) -> int:
    re.purge()  # the contact patterns compiled anew, as for a file not seen before
    tracemalloc.start()
    copy_once(path)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def publications(file: Path, runs: int) -> None:
    """Medians of trasko publishing `file`, as the copy and with --tel-quel, in turns."""
    sys.path.insert(0, str(FIXTURES.parent))
    from trasko.__main__ import main
    from trasko.report import Environment

    import sitectl

    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        url = sitectl.start(work / "site")
        try:
            sitectl.add_account(work / "site", "mesure", "mot-de-passe", True)
            shutil.copyfile(file, work / file.name)
            (work / "l.txt").write_text(f"mesure;mot-de-passe;{work / file.name};1\n")

            def publish(*extra: str) -> None:
                env = Environment(given_stdout=io.StringIO(), given_stderr=io.StringIO())
                if main([*extra, "--site", url, str(work / "l.txt")], env) != 0:
                    raise SystemExit(env.stderr.getvalue())

            copy, as_is = [], []
            for _ in range(runs):
                copy += timings(publish, 1)
                as_is += timings(lambda: publish("--tel-quel"), 1)
        finally:
            sitectl.stop(work / "site")
    ratio = statistics.median(copy) / statistics.median(as_is)
    print(f"\n| publication of `{file.name}` | copy (ms) | --tel-quel (ms) | ratio |")
    print("|---|---:|---:|---:|")
    print(f"| median of {runs} | {statistics.median(copy):.1f} | {statistics.median(as_is):.1f} | {ratio:.3f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--site", action="store_true")
    parser.add_argument("files", nargs="*", type=Path, default=DEFAULT)
    options = parser.parse_args()
    print(
        f"{time.strftime('%Y-%m-%d %H:%M')} on {platform.node()}: {platform.machine()}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}; {options.runs} runs each.\n"
    )
    print("| file | size (KB) | read: median (ms) | copy: median (ms) | copy: least (ms) | peak / size | verdict |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for file in options.files:
        path, size = str(file), file.stat().st_size
        read = statistics.median(timings(lambda: papi.read(path), options.runs))  # noqa: B023
        copies = timings(lambda: copy_once(path), options.runs)  # noqa: B023
        ratio = peak(path) / size
        ok = statistics.median(copies) < TIME_TARGET and ratio < MEMORY_TARGET
        print(
            f"| `{file.name}` | {size / 1024:.0f} | {read:.2f} | {statistics.median(copies):.2f} "
            f"| {min(copies):.2f} | {ratio:.2f} | {'pass' if ok else 'short'} |"
        )
    sys.stdout.flush()
    if options.site:
        publications(options.files[0], min(options.runs, 20))


if __name__ == "__main__":
    main()
