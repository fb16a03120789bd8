"""What the Windows wheel and bundle hold."""

from __future__ import annotations

import re
import subprocess
import zipfile

from wine import BUNDLE, VERSION, WHEEL

# Windows' own DLLs and the UCRT's, which every Windows 10 has; python312.dll
# is loaded already when the module is.
ALLOWED_DLLS = re.compile(r"(?i)^(python312|kernel32|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$")
LAUNCHERS = ("velka.exe", "publier.exe", "verifier.exe", "suivre.exe", "facture.exe", "reglement.exe", "preparer.exe")


def test_wheel_holds_the_module_the_command_and_the_types_and_no_build_debris():
    with zipfile.ZipFile(WHEEL) as wheel:
        names = set(wheel.namelist())
        tags = wheel.read(f"velka-{VERSION}.dist-info/WHEEL").decode()
    info = {n for n in names if n.startswith(f"velka-{VERSION}.dist-info/")}
    assert {n for n in info if not n.endswith("/")} == {
        f"velka-{VERSION}.dist-info/{f}" for f in ("METADATA", "WHEEL", "RECORD", "entry_points.txt", "LICENSE")
    }
    others = names - info
    assert {n for n in others if not n.startswith("trasko/")} == {
        "velka.cp312-win_amd64.pyd",
        "velka.pyi",
        "py.typed",
        "velka-stubs/__init__.pyi",
    }
    assert all(n.endswith(".py") for n in others if n.startswith("trasko/")), others
    assert "Tag: cp312-cp312-win_amd64" in tags
    assert "Root-Is-Purelib: false" in tags


def test_module_needs_no_dll_but_the_interpreter_and_windows_own(tmp_path):
    with zipfile.ZipFile(WHEEL) as wheel:
        module = wheel.extract("velka.cp312-win_amd64.pyd", tmp_path)
    dump = subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-p", module], capture_output=True, text=True, check=True
    ).stdout
    dlls = re.findall(r"DLL Name: (\S+)", dump)
    assert "python312.dll" in dlls
    assert [d for d in dlls if not ALLOWED_DLLS.match(d)] == []
    assert "PyInit_velka" in dump  # exported


def test_bundle_holds_interpreter_packages_launchers_and_licences():
    top = f"velka-{VERSION}-windows-x64/"
    with zipfile.ZipFile(BUNDLE) as bundle:
        names = set(bundle.namelist())
        path_file = bundle.read(top + "python/python312._pth").decode()
        launchers = {n: bundle.read(top + n) for n in LAUNCHERS}
        readme = bundle.read(top + "LISEZMOI.txt")
        guide = bundle.read(top + "guide.html").decode()
    for name in ("python.exe", "python312.dll", "python312.zip", "vcruntime140.dll"):
        assert top + "python/" + name in names
    site = top + "python/Lib/site-packages/"
    for name in ("velka.cp312-win_amd64.pyd", "trasko/__main__.py", "requests/__init__.py", "bs4/__init__.py"):
        assert site + name in names
    assert not any(n.startswith(site + "bin/") or n.endswith((".a", ".lib", ".def")) for n in names)
    assert path_file.splitlines() == ["python312.zip", ".", "Lib\\site-packages", "import site"]
    for program in launchers.values():
        assert program[:2] == b"MZ" and len(program) < 100_000
    assert not any(n.endswith(".cmd") for n in names)
    # Notepad of any age reads it right: a BOM, then CRLF lines.
    assert readme.startswith(b"\xef\xbb\xbf") and readme.count(b"\r\n") == readme.count(b"\n") > 5
    assert "<h2>Installation sous Windows</h2>" in guide and "<table>" in guide
    assert not re.search(r"<(link|script)\b|src=\"http", guide)  # readable offline
    licences = {n.removeprefix(top + "licences/") for n in names if n.startswith(top + "licences/")}
    assert {"velka.txt", "python.txt", "requests-LICENSE", "urllib3-LICENSE.txt"} <= licences
