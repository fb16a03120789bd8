import os
import subprocess
import sys
import textwrap

import pytest

from peer import Peer

import sitectl
import velka


@pytest.fixture
def peer():
    with Peer() as p:
        yield p


@pytest.fixture(scope="session")
def aspnet_site(tmp_path_factory):
    """The local ASP.NET copy of the federation's site: (base URL, data directory)."""
    data = tmp_path_factory.mktemp("site")
    url = sitectl.start(data)
    yield url, data
    sitectl.stop(data)


def pytest_report_header(config):
    return f"velka: {velka.__file__}"


def run_python(code, *args, cwd=None, env=None, timeout=60):
    """Runs `code` in a fresh interpreter (the one running the tests, with the
    same velka build on its path); returns the CompletedProcess."""
    environment = dict(os.environ)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        cwd=cwd, env=environment, capture_output=True, text=True, timeout=timeout)


def velka_entries(tb):
    """The (name, line) of each traceback entry the module added."""
    entries = []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "velkax":
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries
