"""The wheel as a Windows user with Python installs it: the interpreter's own
pip, then the `trasko` it put in Scripts."""

from __future__ import annotations

import shutil

from support import papi_bytes
from wine import WHEEL

import sitectl


def windows_path(path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def test_pip_installs_the_wheel_and_trasko_publishes(wine, build_dir, aspnet_site, tmp_path):
    interpreter = tmp_path / "Python312"
    shutil.copytree(build_dir / "embed", interpreter)
    (interpreter / "python312._pth").write_text("python312.zip\n.\nLib\\site-packages\nimport site\n")
    # pip asks platform, whose _wmi aborts under Wine (no propsys.VariantToString).
    (interpreter / "_wmi.pyd").unlink()
    pip = windows_path(next((build_dir / "wheels").glob("pip-*.whl"))) + "\\pip"
    code, out = wine.run(
        interpreter / "python.exe", pip, "install", "--no-index", "--no-warn-script-location",
        "--find-links", windows_path(build_dir / "wheels"), windows_path(WHEEL), cwd=tmp_path,
    )  # fmt: skip
    assert code == 0, out
    trasko = interpreter / "Scripts" / "trasko.exe"
    assert trasko.is_file()

    sitectl.add_account(aspnet_site[1], "pip-open", "secret", visible=False)
    (tmp_path / "Open d'\u00e9t\u00e9.papi").write_bytes(papi_bytes())
    (tmp_path / "tournois.txt").write_bytes("pip-open;secret;Open d'\u00e9t\u00e9.papi;1\r\n".encode("cp1252"))
    code, out = wine.run(trasko, "--site", aspnet_site[0], "tournois.txt", cwd=tmp_path)
    assert code == 0, out
    assert sitectl.state(aspnet_site[1], "pip-open") == {
        "papi": (tmp_path / "Open d'\u00e9t\u00e9.papi").read_bytes(),
        "name": "Open d'\u00e9t\u00e9.papi",
        "visible": True,
    }
