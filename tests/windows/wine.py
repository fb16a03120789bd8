"""Wine for the Windows packages' checks: one prefix, its processes run
with pipes for standard streams, its wineserver stopped at the end."""

from __future__ import annotations

import os
import subprocess
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
WHEEL = ROOT / "dist" / f"velka-{VERSION}-cp312-cp312-win_amd64.whl"
BUNDLE = ROOT / "dist" / f"velka-{VERSION}-windows-x64.zip"
WINE_TIMEOUT = 240
# What the interpreter writes to a pipe on Windows: the ANSI code page (a
# console gets every character, through the console's own calls).
OUTPUT_ENCODING = "cp1252"
# Wine quotes every argument it is given from Unix; a command line that must
# reach Windows as written is started by an interpreter under Wine, with the
# standard streams handed down and, when asked, a console of its own: what a
# console program started by Explorer gets.
SPAWN = (
    "import subprocess, sys; sys.exit(subprocess.call(sys.argv[1], "
    "creationflags=int(sys.argv[2]), stdin=0, stdout=1, stderr=2))"
)
CREATE_NEW_CONSOLE = 0x10


class Wine:
    """One Wine prefix; its wineserver is stopped at the end."""

    def __init__(self, prefix: Path) -> None:
        self.prefix = prefix
        # Unix arguments reach Windows through the locale's charset: UTF-8. Wine's
        # default locale then is en-US, whose ANSI code page, 1252, is French Windows' too.
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")

    def drive_c(self, *parts: str) -> Path:
        return self.prefix / "drive_c" / Path(*parts)

    def popen(self, *command: str | Path, cwd: Path) -> subprocess.Popen:
        # Wine dies in the interpreter's start when a standard handle is a
        # regular file: pipes only.
        return subprocess.Popen(
            ["wine", *map(str, command)],
            cwd=cwd,
            env=self.env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
        )

    def run(self, *command: str | Path, cwd: Path, keys: bytes = b"") -> tuple[int, str]:
        with self.popen(*command, cwd=cwd) as process:
            out, _ = process.communicate(keys, timeout=WINE_TIMEOUT)
        return process.returncode, out.decode(OUTPUT_ENCODING, "replace")

    def spawn(self, python: str, line: str, cwd: Path, new_console: bool = False, keys: bytes = b"") -> tuple[int, str]:
        """Runs the Windows command line `line` as written, through `python` (a Windows path)."""
        flags = str(CREATE_NEW_CONSOLE if new_console else 0)
        return self.run(python, "-E", "-s", "-c", SPAWN, line, flags, cwd=cwd, keys=keys)

    def stop(self) -> None:
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=60)
