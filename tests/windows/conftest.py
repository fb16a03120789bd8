"""The Windows packages checked from Linux: their files, and the bundle and
the wheel run under Wine. scripts/test-windows runs these once it has built
the packages (VELKA_WINDOWS_BUILD names build/windows/); the main suite
leaves this folder out."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import pytest
from wine import Wine


@pytest.fixture(scope="session")
def build_dir() -> Path:
    return Path(os.environ["VELKA_WINDOWS_BUILD"])


@pytest.fixture
def fresh_wine(tmp_path):
    """A Wine prefix made for this test alone."""
    wine = Wine(tmp_path / "prefix")
    code, out = wine.run("cmd", "/c", "exit", cwd=tmp_path)
    assert code == 0, out
    yield wine
    wine.stop()
    shutil.rmtree(wine.prefix, ignore_errors=True)


@pytest.fixture(scope="session")
def wine(build_dir):
    """The prefix of scripts/test-windows."""
    return Wine(build_dir / "wine")
