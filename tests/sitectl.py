"""Start, stop and inspect the local tournament-administration test site.

The site (tests/site/app) is an ASP.NET Web Forms application run on Mono by
a small HttpListener host (tests/site/host).  Everything a running site
knows lives in its data directory; see tests/site/README.md.

Library use::

    url = sitectl.start(datadir)        # "http://127.0.0.1:PORT"
    sitectl.add_account(datadir, "open-2024", "secret", visible=True)
    ...
    sitectl.stop(datadir)

Command line::

    python3 tests/sitectl.py start DATADIR    # prints the base URL
    python3 tests/sitectl.py stop DATADIR
    python3 tests/sitectl.py serve PORTFILE   # the helper below

Mono cannot be started from a Windows interpreter run by Wine, so there the
Linux side runs `serve`: a loopback helper that starts and stops sites on
request, its port in PORTFILE.  A Windows process that has its address in
$VELKA_SITE_HELPER ("http://127.0.0.1:PORT") asks it in start() and stop();
the data directory's files it reads and writes itself, through Wine's drives.

Standard library only, so that any Python 3.11+ can drive it.
"""

from __future__ import annotations

import atexit
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path, PureWindowsPath

try:
    import fcntl
except ImportError:  # not on Linux: builds are then not serialised
    fcntl = None

SITE = Path(__file__).resolve().parent / "site"
APP_SRC = SITE / "app"
HOST_SRC = SITE / "host" / "SiteHost.cs"
BUILD = SITE / ".build"
HOST_EXE = "SiteHost.exe"
START_TIMEOUT = 90.0
STOP_TIMEOUT = 10.0

HELPER = "VELKA_SITE_HELPER"

_SAFE_LOGIN = re.compile(r"^[A-Za-z0-9_.\-]{1,64}$")
# Servers started by this process and not detached: stopped at exit, and
# reaped through their Popen object.
_children: dict[int, subprocess.Popen] = {}
_owned: dict[int, Path] = {}


class SiteError(RuntimeError):
    pass


# --- build ---------------------------------------------------------------


def _sources() -> list[Path]:
    files = [p for p in APP_SRC.rglob("*") if p.is_file()]
    return sorted(files) + [HOST_SRC]


def _digest() -> str:
    h = hashlib.sha256()
    for p in _sources():
        h.update(str(p.relative_to(SITE)).encode() + b"\0")
        h.update(p.read_bytes() + b"\0")
    return h.hexdigest()[:16]


def build() -> Path:
    """Return the physical application directory, building it if needed.

    Each distinct set of sources gets its own directory, named by a digest
    of their contents: a running site never sees its files change under it
    (which would make ASP.NET restart the application), and a source edit
    always leads to a fresh build.
    """
    if shutil.which("mcs") is None or shutil.which("mono") is None:
        raise SiteError("Mono is not installed (need mono and mcs; scripts/site installs mono-xsp4)")
    app = BUILD / f"app-{_digest()}"
    if (app / "bin" / HOST_EXE).is_file():
        return app
    BUILD.mkdir(parents=True, exist_ok=True)
    with open(BUILD / ".lock", "w") as lock:
        if fcntl is not None:
            fcntl.flock(lock, fcntl.LOCK_EX)
        if (app / "bin" / HOST_EXE).is_file():  # built while we waited
            return app
        tmp = Path(tempfile.mkdtemp(prefix="tmp-", dir=BUILD))
        try:
            shutil.copytree(APP_SRC, tmp / "app")
            (tmp / "app" / "bin").mkdir()
            cmd = [
                "mcs",
                "-sdk:4.5",
                "-target:exe",
                "-optimize+",
                "-nologo",
                f"-out:{tmp / 'app' / 'bin' / HOST_EXE}",
                "-r:System.Web.dll",
                str(HOST_SRC),
            ]
            res = subprocess.run(cmd, capture_output=True, text=True)
            if res.returncode != 0:
                raise SiteError(f"host build failed:\n{res.stdout}{res.stderr}")
            os.rename(tmp / "app", app)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        _prune(keep=app)
    return app


def _prune(keep: Path) -> None:
    """Remove builds of older sources that no running site uses."""
    in_use = b""
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            in_use += cmdline.read_bytes() + b"\n"
        except OSError:
            pass
    for old in BUILD.glob("app-*"):
        if old != keep and str(old).encode() not in in_use:
            shutil.rmtree(old, ignore_errors=True)


# --- process control -----------------------------------------------------


def _paths(datadir) -> tuple[Path, Path, Path, Path]:
    d = Path(datadir).resolve()
    return d, d / "server.pid", d / "server.port", d / "server.log"


def _alive(pid: int) -> bool:
    child = _children.get(pid)
    if child is not None:
        return child.poll() is None
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
    except OSError:
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _is_site(pid: int) -> bool:
    """Whether pid still is a site host (a stale pid file may name a reused pid)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return HOST_EXE.encode() in f.read()
    except FileNotFoundError:
        return False
    except OSError:
        return True  # no /proc: trust the pid file


def _tail(log: Path, n: int = 40) -> str:
    try:
        lines = log.read_text(errors="replace").splitlines()
    except FileNotFoundError:
        return "(no log)"
    return "\n".join(lines[-n:])


def _probe(url: str) -> str | None:
    """None once the login page is served, else why not (yet)."""
    try:
        with urllib.request.urlopen(url, timeout=15) as r:
            body = r.read()
    except urllib.error.HTTPError as e:
        body = e.read().decode("utf-8", "replace")
        title = re.search(r"<title>(.*?)</title>", body, re.S | re.I)
        return f"HTTP {e.code} {title.group(1).strip() if title else ''}"
    except (urllib.error.URLError, OSError) as e:
        return f"no answer ({e})"
    if b'name="__VIEWSTATE"' in body and b'name="ctl00$TextLogin"' in body:
        return None
    return "answer is not the login page"


def url(datadir) -> str | None:
    """Base URL of the site running on datadir, or None."""
    _, _, port_file, _ = _paths(datadir)
    try:
        port = int(port_file.read_text().strip())
    except (FileNotFoundError, ValueError):
        return None
    return f"http://127.0.0.1:{port}"


def start(datadir, timeout: float = START_TIMEOUT, detach: bool = False) -> str:
    """Start a site on datadir and return its base URL once it serves the login page.

    Unless detach is true, the site is stopped when this Python process exits.
    """
    if os.name == "nt":
        return _ask("start", datadir, timeout=timeout)
    d, pid_file, port_file, log = _paths(datadir)
    d.mkdir(parents=True, exist_ok=True)
    if pid_file.exists():
        try:
            old = int(pid_file.read_text().strip())
        except ValueError:
            old = None
        if old is not None and _alive(old) and _is_site(old):
            raise SiteError(f"a site already runs on {d} (pid {old})")
        pid_file.unlink()
    app = build()
    port_file.unlink(missing_ok=True)
    # ASP.NET compiles pages and spools large uploads under the temp dir:
    # one per site keeps concurrent sites from sharing it.
    tmp = d / "tmp"
    tmp.mkdir(exist_ok=True)
    env = dict(os.environ, TMPDIR=str(tmp))
    # A sanitizer run preloads its runtime for the interpreter; Mono needs none of it.
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        env.pop(name, None)
    cmd = ["mono", str(app / "bin" / HOST_EXE), "--app", str(app), "--data", str(d), "--port-file", str(port_file)]
    with open(log, "ab") as out:
        proc = subprocess.Popen(
            cmd,
            stdin=subprocess.DEVNULL,
            stdout=out,
            stderr=subprocess.STDOUT,
            env=env,
            cwd=str(d),
            start_new_session=detach,
        )
    _children[proc.pid] = proc
    pid_file.write_text(f"{proc.pid}\n")
    if not detach:
        _owned[proc.pid] = d

    deadline = time.monotonic() + timeout
    why = "no port yet"
    while time.monotonic() < deadline and proc.poll() is None:
        base = url(d)
        if base is not None:
            why = _probe(base)
            if why is None:
                return base
            if why.startswith("HTTP 5"):
                break  # a page that fails to compile will not get better
        time.sleep(0.2)
    code = proc.poll()
    stop(d)
    if code is not None:
        why = f"exited with status {code}"
    elif time.monotonic() >= deadline:
        why = f"not ready after {timeout:.0f} s: {why}"
    raise SiteError(f"site on {d} did not start ({why}); log tail:\n{_tail(log)}")


def stop(datadir) -> bool:
    """Stop the site whose pid is in datadir/server.pid; False if none ran."""
    if os.name == "nt":
        return _ask("stop", datadir) == "stopped"
    d, pid_file, port_file, _ = _paths(datadir)
    try:
        pid = int(pid_file.read_text().strip())
    except (FileNotFoundError, ValueError):
        return False
    ran = False
    if _alive(pid) and _is_site(pid):
        ran = True
        for sig, wait in ((signal.SIGTERM, STOP_TIMEOUT), (signal.SIGKILL, STOP_TIMEOUT)):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                break
            end = time.monotonic() + wait
            while _alive(pid) and time.monotonic() < end:
                time.sleep(0.05)
            if not _alive(pid):
                break
    child = _children.pop(pid, None)
    if child is not None:
        try:
            child.wait(timeout=1)
        except subprocess.TimeoutExpired:
            pass
    _owned.pop(pid, None)
    pid_file.unlink(missing_ok=True)
    port_file.unlink(missing_ok=True)
    return ran


@atexit.register
def _stop_owned() -> None:
    for d in list(_owned.values()):
        stop(d)


# --- the helper, for a Windows interpreter under Wine ---------------------


def _ask(action: str, datadir, **params) -> str:
    helper = os.environ.get(HELPER)
    if not helper:
        raise SiteError(f"no site helper: ${HELPER} is not set (scripts/test-windows starts one)")
    query = urllib.parse.urlencode({"datadir": str(Path(datadir).resolve()), **params})
    try:
        with urllib.request.urlopen(f"{helper}/{action}?{query}", timeout=START_TIMEOUT + 30) as r:
            return r.read().decode()
    except urllib.error.HTTPError as e:
        raise SiteError(e.read().decode(errors="replace")) from None


def unix_path(windows_path: str) -> Path:
    """The Linux path of a path of Wine's drives (Z: is the root, C: the prefix's drive_c)."""
    path = PureWindowsPath(windows_path)
    if not path.drive:
        return Path(windows_path)
    letter = path.drive[0].lower()
    if letter == "z":
        return Path("/", *path.parts[1:])
    return Path(os.environ.get("WINEPREFIX", "~/.wine")).expanduser() / f"drive_{letter}" / Path(*path.parts[1:])


class _Helper(BaseHTTPRequestHandler):
    def do_GET(self) -> None:  # noqa: N802 (the handler's name)
        action = urllib.parse.urlsplit(self.path).path.strip("/")
        params = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(self.path).query))
        try:
            datadir = unix_path(params["datadir"])
            if action == "start":
                answer = start(datadir, timeout=float(params.get("timeout", START_TIMEOUT)))
            elif action == "stop":
                answer = "stopped" if stop(datadir) else "none"
            else:
                raise SiteError(f"unknown request {action!r}")
            status = 200
        except (SiteError, KeyError, ValueError) as e:
            answer, status = str(e), 500
        body = answer.encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args) -> None:
        pass


def serve(port_file) -> None:
    """Serves start and stop requests on loopback until SIGTERM; the sites it
    started stop with it."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Helper)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    Path(port_file).write_text(f"{server.server_address[1]}\n")
    try:
        server.serve_forever()
    finally:
        server.server_close()


# --- data directory ------------------------------------------------------


def add_account(datadir, login: str, password: str, visible: bool = True) -> None:
    """Add a tournament account; the site reads accounts on every login."""
    if not _SAFE_LOGIN.match(login):
        raise ValueError(f"login not usable as a file name: {login!r}")
    if "\n" in password or "\r" in password:
        raise ValueError("password must be a single line")
    f = Path(datadir) / "accounts.txt"
    f.parent.mkdir(parents=True, exist_ok=True)
    prefix = ""
    if f.exists() and f.stat().st_size:
        with open(f, "rb") as r:
            r.seek(-1, os.SEEK_END)
            prefix = "" if r.read(1) == b"\n" else "\n"
    with open(f, "a", encoding="utf-8", newline="") as w:
        w.write(f"{prefix}{login};{password};{'1' if visible else '0'}\n")


def state(datadir, login: str) -> dict:
    """What the site holds for a tournament: papi bytes, file name, visibility."""
    if not _SAFE_LOGIN.match(login):
        raise ValueError(f"login not usable as a file name: {login!r}")
    d = Path(datadir)

    def read(ext, mode):
        try:
            return (
                (d / f"{login}{ext}").read_bytes() if mode == "b" else (d / f"{login}{ext}").read_text(encoding="utf-8")
            )
        except FileNotFoundError:
            return None

    vis = read(".visible", "t")
    return {
        "papi": read(".papi", "b"),
        "name": read(".name", "t"),
        "visible": None if vis is None else vis.strip() != "0",
    }


STAGES = ("open", "closed", "archived")


def set_tournament(
    datadir, login: str, *, exempt: bool | None = None, stage: str | None = None, papi: bytes | None = None
) -> None:
    """Set what the organiser cannot: fees exemption, closed or archived
    stage, or a Papi file already online (as if uploaded earlier, named
    after the login). The site reads these on every request."""
    if not _SAFE_LOGIN.match(login):
        raise ValueError(f"login not usable as a file name: {login!r}")
    if stage is not None and stage not in STAGES:
        raise ValueError(f"stage must be one of {STAGES}: {stage!r}")
    d = Path(datadir)
    if exempt is not None:
        (d / f"{login}.exempt").write_text("1" if exempt else "0")
    if stage is not None:
        (d / f"{login}.stage").write_text(stage)
    if papi is not None:
        (d / f"{login}.papi").write_bytes(papi)
        (d / f"{login}.name").write_text(f"{login}.papi", encoding="utf-8")


def rules(datadir, login: str) -> tuple[bytes, str] | None:
    """The rules (PDF) last accepted for a tournament and its file name, or None."""
    if not _SAFE_LOGIN.match(login):
        raise ValueError(f"login not usable as a file name: {login!r}")
    d = Path(datadir)
    try:
        return (d / f"{login}.ri").read_bytes(), (d / f"{login}.ri-name").read_text(encoding="utf-8")
    except FileNotFoundError:
        return None


def public_ref(login: str) -> str:
    """The number the site gives a tournament's public page (FicheTournoi.aspx?Ref=...)."""
    h = 2166136261
    for c in login:
        h = ((h ^ ord(c)) * 16777619) & 0xFFFFFFFF
    return str(10000 + h % 90000)


def requests_log(datadir) -> list[str]:
    """Lines 'METHOD PATH EVENTTARGET LOGIN' ('-' when absent), oldest first.

    The first line is the readiness probe of start().
    """
    try:
        return (Path(datadir) / "requests.log").read_text(encoding="utf-8").splitlines()
    except FileNotFoundError:
        return []


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[0] not in ("start", "stop", "serve"):
        print("usage: sitectl.py start|stop DATADIR | serve PORTFILE", file=sys.stderr)
        return 2
    cmd, datadir = argv
    try:
        if cmd == "serve":
            serve(datadir)
        elif cmd == "start":
            print(start(datadir, detach=True))
        elif not stop(datadir):
            print(f"no site was running on {datadir}", file=sys.stderr)
    except SiteError as e:
        print(e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
