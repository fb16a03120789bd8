"""The packages as an organiser gets them: the wheel built from this checkout,
installed by pip into a fresh environment holding nothing but it and its
dependencies, and run from there; and the sdist, which must build the same."""
import configparser
import email
import os
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

import sitectl
import velka
from support import ENVOI_DE, SYNTAXE, said

ROOT = Path(__file__).resolve().parent.parent
BUILDER = ROOT / ".venv" / "bin" / "python"
BASE_PYTHON = getattr(sys, "_base_executable", None) or "/root/.pyenv/versions/3.12.1/bin/python3.12"
DEBIAN = "/usr/lib/python3/dist-packages"
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]

pytestmark = pytest.mark.skipif(
    not velka.__file__.startswith(sys.prefix),
    reason="velka is imported from a build tree (the sanitizer run): the wheel built here "
           "is the release build, which the plain run tests")


def run(*command, cwd=ROOT, timeout=300):
    # Nothing of the machine's Python or pip setup may reach the builds and the
    # fresh environment: no PYTHONPATH, no sanitizer preload, no find-links.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV", "LD_PRELOAD", "ASAN_", "UBSAN_"))}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONNOUSERSITE="1")
    result = subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result


def in_git_checkout():
    return subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True).returncode == 0


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    kinds = ["--wheel", "--sdist"] if in_git_checkout() else ["--wheel"]
    run(BUILDER, "-m", "build", "--no-isolation", *kinds, "-o", out)
    return out


@pytest.fixture(scope="module")
def wheel(dists):
    (path,) = dists.glob("*.whl")
    return path


@pytest.fixture(scope="module")
def sdist(dists):
    if not in_git_checkout():
        pytest.skip("the sdist is made from a git checkout's committed files")
    (path,) = dists.glob("*.tar.gz")
    return path


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    env = tmp_path_factory.mktemp("venv")
    run(BASE_PYTHON, "-m", "venv", env)
    site = Path(run(env / "bin" / "python", "-c",
                    "import sysconfig; print(sysconfig.get_paths()['purelib'])").stdout.strip())
    (site / "debian.pth").write_text(DEBIAN + "\n")
    installed = run(env / "bin" / "pip", "install", "--no-index", wheel).stdout
    return env, site, installed


def metadata(text):
    return email.message_from_string(text)


def test_wheel_contents_and_metadata(wheel):
    assert wheel.name.startswith(f"velka-{PROJECT['version']}-cp312-cp312-")
    info = f"velka-{PROJECT['version']}.dist-info"
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        (module,) = [n for n in names if not n.startswith(info + "/")]
        meta = metadata(z.read(f"{info}/METADATA").decode())
        scripts = configparser.ConfigParser()
        scripts.read_string(z.read(f"{info}/entry_points.txt").decode())
        tags = metadata(z.read(f"{info}/WHEEL").decode())
        licence = z.read(f"{info}/LICENSE")
        binary = z.read(module)
    assert module.startswith("velka.cpython-312-") and module.endswith(".so")
    assert tags.get_all("Tag") == [wheel.name.split("-", 2)[2].removesuffix(".whl")]
    assert tags["Root-Is-Purelib"] == "false"
    assert (meta["Name"], meta["Version"], meta["Requires-Python"]) == ("velka", PROJECT["version"], "<3.13,>=3.12")
    assert meta.get_all("Requires-Dist") == ["requests", "beautifulsoup4"]
    assert meta["License"].startswith("MIT License") and licence == (ROOT / "LICENSE").read_bytes()
    assert meta["Author"] == "the velka developers"
    assert meta.get_all("Project-URL") == ["Federation administration site, http://admin.echecs.asso.fr"]
    assert {"Programming Language :: Python :: 3.12", "Programming Language :: Python :: Implementation :: CPython",
            "License :: OSI Approved :: MIT License"} <= set(meta.get_all("Classifier"))
    assert meta.get_payload().startswith("# velka\n")
    assert dict(scripts["console_scripts"]) == {"trasko": "velka:main_func"}
    # Built with NDEBUG: the runtime's assertions are compiled out.
    assert b"__assert_fail" not in binary


def test_pip_takes_the_dependencies_from_debian(venv):
    env, site, installed = venv
    for dependency in ("requests", "beautifulsoup4"):
        assert f"Requirement already satisfied: {dependency} in {DEBIAN}" in installed
    assert "Successfully installed velka-" in installed
    assert sorted(p.name.split("-")[0] for p in site.glob("*.dist-info")) == ["pip", "velka"]
    where = run(env / "bin" / "python", "-W", "error", "-c",
                "import velka, requests, bs4; print(velka.__file__, requests.__file__, bs4.__file__)",
                cwd=env).stdout.split()
    assert Path(where[0]).parent == site
    assert all(p.startswith(DEBIAN + "/") for p in where[1:])


def test_trasko_without_a_list_prints_its_usage(venv):
    result = run(venv[0] / "bin" / "trasko", cwd=venv[0])
    assert (result.stdout, result.stderr) == (said(SYNTAXE), "")


@pytest.mark.parametrize("visible", [True, False])
def test_the_installed_module_publishes(venv, aspnet_site, tmp_path, visible):
    site = aspnet_site
    login = f"paquet-{int(visible)}"
    sitectl.add_account(site[1], login, "mot-de-passe", visible=not visible)
    papi = os.urandom(4096)
    (tmp_path / "open.papi").write_bytes(papi)
    (tmp_path / "list.txt").write_text(f"{login};mot-de-passe;open.papi;{int(visible)};k\n")
    result = run(venv[0] / "bin" / "python", ROOT / "scripts" / "trasko_local.py", site[0], "list.txt",
                 cwd=tmp_path)
    assert (result.stdout, result.stderr) == (said(ENVOI_DE, "open.papi"), "")
    assert sitectl.state(site[1], login) == {"papi": papi, "name": "open.papi", "visible": visible}


def sdist_members(sdist):
    with tarfile.open(sdist) as tar:
        top = {m.name.split("/", 1)[0] for m in tar.getmembers()}
        files = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
        pkg_info = tar.extractfile(f"{sdist.name.removesuffix('.tar.gz')}/PKG-INFO").read().decode()
    return top, files, pkg_info


def test_sdist_holds_the_committed_sources(sdist, wheel):
    top, files, pkg_info = sdist_members(sdist)
    committed = subprocess.run(["git", "-C", ROOT, "ls-tree", "-r", "--name-only", "HEAD"],
                               capture_output=True, text=True, check=True).stdout.split("\n")
    assert top == {f"velka-{PROJECT['version']}"}
    assert files == {f for f in committed if (ROOT / f).is_file()} | {"PKG-INFO"}
    with zipfile.ZipFile(wheel) as z:
        wheel_meta = z.read(f"velka-{PROJECT['version']}.dist-info/METADATA").decode()
    assert metadata(pkg_info).items() == metadata(wheel_meta).items()


def test_a_wheel_builds_from_the_sdist(sdist, tmp_path):
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain"], capture_output=True,
                           text=True, check=True).stdout
    if dirty:
        pytest.skip("uncommitted changes: the sdist holds only committed files, so it may lack some")
    with tarfile.open(sdist) as tar:
        tar.extractall(tmp_path, filter="data")
    run(BUILDER, "-m", "build", "--no-isolation", "--wheel", "-o", tmp_path / "out",
        cwd=tmp_path / sdist.name.removesuffix(".tar.gz"))
    assert len(list((tmp_path / "out").glob("velka-*-cp312-cp312-*.whl"))) == 1
