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

    def stop(self) -> None:
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=60)
