import os
import shutil
from pathlib import Path

import pytest

# Re-exported: test files written against conftest keep working.
from support import run_python, velka_entries  # noqa: F401

import sitectl
import velka
from peer import Peer

# The Windows packages' own checks run from scripts/test-windows, once it has built them.
collect_ignore = [] if os.environ.get("VELKA_WINDOWS_BUILD") else ["windows"]


@pytest.fixture
def peer():
    with Peer() as p:
        yield p


@pytest.fixture
def site(peer, monkeypatch):
    """The loopback peer standing in for the federation's site."""
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", peer.url)
    return peer


@pytest.fixture
def papi(tmp_path):
    """A binary Papi file whose name has a blank, an apostrophe and accents."""
    path = tmp_path / "Open d'\u00e9t\u00e9.papi"
    path.write_bytes(b"\xd0\xcf\x11\xe0" + bytes(range(256)) * 64)
    return path


def mono_missing():
    if os.name == "nt":  # the Linux side starts the sites (sitectl.serve)
        return None if os.environ.get(sitectl.HELPER) else f"no site helper (${sitectl.HELPER}; scripts/test-windows)"
    if shutil.which("mono") is None or shutil.which("mcs") is None:
        return "Mono is not installed (scripts/site installs mono-xsp4)"
    if not Path("/usr/lib/mono/4.5/System.Web.dll").exists():
        return "Mono's System.Web is not installed (scripts/site installs mono-xsp4)"
    return None


@pytest.fixture(scope="session")
def aspnet_site(tmp_path_factory):
    """The local ASP.NET copy of the federation's site, one for the whole
    session: (base URL, data directory). Tests give their accounts names of
    their own."""
    missing = mono_missing()
    if missing:
        pytest.skip(missing)
    data = tmp_path_factory.mktemp("site")
    url = sitectl.start(data)
    yield url, data
    sitectl.stop(data)


def pytest_report_header(config):
    return f"velka: {velka.__file__}"
