"""Start-up of the trasko command against the import it cannot avoid: the
installed console script answering --help, and running an empty list, each
against `python -c "import velka"`, in fresh processes taken in turns.
Prints a Markdown table; the target is a ratio within 1.3.

    .venv/bin/python bench/startup.py [--runs N]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET = 1.3


def wall(command: list[str], cwd: str) -> float:
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=30)
    runs = parser.parse_args().runs
    script = str(Path(sys.executable).with_name("trasko"))
    with tempfile.TemporaryDirectory() as work:
        Path(work, "vide.txt").write_text("")
        commands = {
            'python -c "import velka"': [sys.executable, "-c", "import velka"],
            "trasko --help": [script, "--help"],
            "trasko vide.txt": [script, "vide.txt"],
        }
        times: dict[str, list[float]] = {name: [] for name in commands}
        for command in commands.values():  # warm the file cache first
            wall(command, work)
        for _ in range(runs):
            for name, command in commands.items():
                times[name].append(wall(command, work))
    base = statistics.median(times['python -c "import velka"'])
    print(
        f"{time.strftime('%Y-%m-%d %H:%M')} on {platform.node()}: {platform.machine()}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}; median of {runs} runs.\n"
    )
    print("| command | median (ms) | ratio to import velka | target | verdict |")
    print("|---|---:|---:|---:|---|")
    for name, samples in times.items():
        median = statistics.median(samples)
        ratio = median / base
        verdict = "" if name.startswith("python") else ("pass" if ratio <= TARGET else "short")
        target = "" if name.startswith("python") else f"<= {TARGET}"
        print(f"| `{name}` | {median * 1000:.1f} | {ratio:.3f} | {target} | {verdict} |")


if __name__ == "__main__":
    main()
