"""Out of memory, one allocation at a time: `import velka` and one call of each
function on its main path and its failure paths, with allocation number k
failing (`_testcapi.set_nomemory(k, k + 1)`) for every k until the call no
longer notices. Each k runs in a child forked from a prepared interpreter, so
a crash is a signal, and then proves a clean recovery: with memory back, the
same call gives what it gives without any failure.

Run as a script for the complete sweep (`scripts/oom-sweep`); the test below
runs the same sweep, which fits in CI (--stride samples when it no longer does)."""

from __future__ import annotations

import argparse
import collections
import contextlib
import io
import json
import os
import re
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO

if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))

from fuzz.fakes import FakeSession, FakeSoup, Recorder, dialogue_pages, session_class
from support import windows_differs

# Faults: the process died in the module's code, a module function returned
# NULL without an exception, or the module was left unable to do again what
# it did before.
FAULTS = ("crash", "timeout", "SystemError", "unrecovered", "silent-change")
# CPython 3.12.1 itself fails some allocations badly, whoever calls it: one
# index of any formatted error raise gives this SystemError from its eval
# loop (a module function's own would say "<function ...> returned NULL
# without setting an exception"), and a few allocations crash in Python code
# (the import machinery, dict iterators under bs4). Those are counted apart.
INTERPRETER_SYSTEM_ERROR = "error return without exception set"
# Innermost Python frames under which the running code is the module's own C.
MODULE_FRAMES = (f"{Path(__file__).name}:", "<frozen importlib._bootstrap>:_call_with_frames_removed")
# Functions that catch nothing may not return normally with another result.
GUARDED = {"read_url", "envoi_tournoi", "page_ffe", "main_func", "get_page_test"}


@windows_differs("the sweep forks a child per allocation and fails them through _testcapi")
def test_every_allocation_failure_ends_in_an_exception():
    """The complete sweep: some 3,600 indexes, half a minute on two cores."""
    import subprocess

    done = subprocess.run(
        [sys.executable, __file__, "--json"], capture_output=True, text=True, timeout=900, check=False
    )
    summary = json.loads(done.stdout.splitlines()[-1])
    print(f"{summary['indexes']} indexes, {summary['seconds']} s: {summary['kinds']}")
    faults = [f for f in summary["faults"] if f["kind"] in FAULTS]
    assert not faults, json.dumps(faults, indent=1)
    # Every scenario had failures injected and survived them.
    assert summary["kinds"]["MemoryError"] > 0
    assert summary["failed"] == sorted(summary["scenarios"]), summary["failed"]
    assert done.returncode == 0, done.stderr[-2000:]


class World:
    """Files and parsed pages made once, before any failure is injected."""

    def __init__(self, folder: Path) -> None:
        import bs4

        self.papi = folder / "t.papi"
        self.papi.write_bytes(b"papi")
        self.missing = str(folder / "absent.papi")
        self.good_list = folder / "good.txt"
        self.good_list.write_text(
            f"\nlogin;pw;{self.papi};1;k1\nseul\nlogin,pw,{self.missing},0,k2\na;b;{self.papi};0;k3", encoding="utf-8"
        )
        self.short_list = folder / "short.txt"
        self.short_list.write_text(f"login;pw;{self.papi};1\n", encoding="utf-8")
        self.absent_list = str(folder / "absent.txt")
        page = dialogue_pages()[2].decode()
        self.soup = (bs4.BeautifulSoup if REAL_PAGES else FakeSoup)(page, "html.parser")


# bs4 itself, under CPython 3.12.1, crashes or corrupts the heap at a few
# allocation indexes (a dict iterator made under memory exhaustion, warnings
# shown then), the plain-Python twin alike: by default its pages are read by
# a plain-Python stand-in (--real-pages for bs4).
REAL_PAGES = "--real-pages" in sys.argv
MODEL: list[object] = []  # the plain-Python twin, when it is the one swept


def velka_module():  # imported late: the import is itself a scenario
    if MODEL:
        return MODEL[0]
    import velka

    return velka


def with_session(pages: list[bytes], call: Callable[[object], object]) -> Callable[[], object]:
    def run() -> object:
        velka = velka_module()
        velka.Session = session_class(pages)
        if not REAL_PAGES:
            velka.BeautifulSoup = FakeSoup
        return call(velka)

    return run


def scenarios(world: World) -> dict[str, Callable[[], object]]:
    session = FakeSession
    good = [b"<p>ok</p>"]
    soup, visibility = world.soup, "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi"

    def v() -> object:
        return velka_module()

    def page_ffe(path: object, fail_at: int = 0) -> Callable[[], object]:
        def run() -> object:
            v().envoi_tournoi = Recorder(fail_at)
            v().page_ffe(path)
            return v().envoi_tournoi.calls

        return run

    def main_func(argv: list[str]) -> Callable[[], object]:
        def run() -> object:
            v().envoi_tournoi = Recorder()
            sys.argv = argv
            return v().main_func()

        return run

    def binding(call: Callable[[], object]) -> Callable[[], object]:
        return call

    return {
        "import": lambda: v().__name__,
        "read_url/get": lambda: v().read_url(type("S", (session,), {"pages": good})(), "u"),
        "read_url/post": lambda: v().read_url(
            type("S", (session,), {"pages": good})(), "u", {"a": "b"}, {"f": str(world.papi)}
        ),
        "read_url/missing-file": lambda: v().read_url(session(), "u", None, {"f": str(world.papi), "g": world.missing}),
        "read_url/bad-utf8": lambda: v().read_url(type("S", (session,), {"pages": [b"\xe9t\xe9"]})(), "u"),
        "read_url/url-type": binding(lambda: v().read_url(session(), None)),
        "get_ident_text/found": lambda: _store(v().get_ident_text, soup, visibility),
        "get_ident_text/missing": lambda: _store(v().get_ident_text, soup, "nope"),
        "get_attr_value/name": lambda: _store(v().get_attr_value, soup, "__VIEWSTATE"),
        "get_attr_value/id": lambda: _store(v().get_attr_value, soup, visibility, "id"),
        "get_attr_value/missing": lambda: _store(v().get_attr_value, soup, "nope"),
        "get_attr_value/keywords": binding(lambda: v().get_attr_value(soup, {}, "x", attr_name="name", extra=1)),
        "envoi_tournoi/toggle": with_session(
            dialogue_pages(), lambda m: m.envoi_tournoi("l", "p", str(world.papi), True)
        ),
        "envoi_tournoi/already": with_session(
            dialogue_pages(), lambda m: m.envoi_tournoi("l", "p", str(world.papi), False)
        ),
        "envoi_tournoi/bad-page": with_session(
            [b"<p>no form</p>"], lambda m: m.envoi_tournoi("l", "p", str(world.papi), True)
        ),
        "envoi_tournoi/count": binding(lambda: v().envoi_tournoi("l", "p", "f")),
        "get_tournoi_list/good": lambda: v().get_tournoi_list(str(world.good_list)),
        "get_tournoi_list/short": lambda: v().get_tournoi_list(str(world.short_list)),
        "get_tournoi_list/absent": lambda: v().get_tournoi_list(world.absent_list),
        "page_ffe/good": page_ffe(str(world.good_list)),
        "page_ffe/upload-fails": page_ffe(str(world.good_list), fail_at=1),
        "page_ffe/absent": page_ffe(world.absent_list),
        "page_ffe/keywords": binding(lambda: v().page_ffe(tournoi_list_full_name="x", y=1)),
        "get_page_test/page": with_session(
            [b'<p id="result">r1</p><p id="result">r2</p>'], lambda m: m.get_page_test()
        ),
        "main_func/list": main_func(["trasko", str(world.good_list)]),
        "main_func/no-argument": main_func(["trasko"]),
        "main_func/arguments": binding(lambda: v().main_func(1)),
    }


def _store(reader: Callable[..., object], *args: object) -> object:
    store: dict[object, object] = {}
    reader(args[0], store, *args[1:])
    return store


def attempt(action: Callable[[], object], k: int | None = None) -> dict[str, str]:
    """Runs `action` with standard output captured, allocation k failing: its
    outcome, result and output, read once memory is back."""
    import _testcapi

    out = io.StringIO()
    value: object = None
    error: BaseException | None = None
    with contextlib.redirect_stdout(out):
        if k is not None:
            _testcapi.set_nomemory(k, k + 1)
        try:
            value = action()
        except BaseException as raised:  # noqa: BLE001 - every kind is counted
            error = raised
        finally:
            _testcapi.remove_mem_hooks()
    if error is not None:
        return {"outcome": type(error).__name__, "result": str(error), "output": out.getvalue()}
    return {"outcome": "return", "result": repr(value), "output": out.getvalue()}


def child(action: Callable[[], object], k: int | None, report: int, where: int) -> None:
    """In a forked child: fail allocation k during `action`, then prove recovery."""
    import faulthandler

    faulthandler.enable(where)
    signal.alarm(20)
    first = attempt(action, k)
    first["again"] = json.dumps(attempt(action), sort_keys=True)
    os.write(report, json.dumps(first).encode())
    os._exit(0)


def run_child(
    action: Callable[[], object], k: int | None, quiet: bool, read: int, write: int, stack: IO[bytes]
) -> tuple[bytes, int]:
    """Forks the child for index k; its report and its exit status."""
    pid = os.fork()
    if pid == 0:
        os.close(read)
        if quiet:  # of the unraisable errors that failed allocations cause
            os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        try:
            child(action, k, write, stack.fileno())
        finally:
            os._exit(70)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    return data, status


def run_index(action: Callable[[], object], k: int | None, quiet: bool = True) -> dict[str, str]:
    read, write = os.pipe()
    with tempfile.TemporaryFile() as stack:
        data, status = run_child(action, k, quiet, read, write, stack)
        stack.seek(0)
        frames = re.findall(r'File "([^"]*)", line \d+ in (\w+)', stack.read().decode(errors="replace"))
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        kind = "timeout" if sig == signal.SIGALRM else "crash"
        # Innermost Python frame: a scenario's own line means the module's C
        # code was running; a library's line, that Python code was.
        inner = f"{Path(frames[0][0]).name}:{frames[0][1]}" if frames else "?"
        return {"outcome": kind, "result": signal.Signals(sig).name, "output": "", "inner": inner}
    if not data:
        return {"outcome": "crash", "result": f"exit {os.WEXITSTATUS(status)}", "output": "", "inner": "?"}
    return json.loads(data)


def classify(name: str, reference: dict[str, str], got: dict[str, str]) -> str:
    clean = {key: reference[key] for key in ("outcome", "result", "output")}
    if got["outcome"] in ("crash", "timeout"):
        inner = got["inner"]
        if got["outcome"] == "crash" and inner != "?" and not inner.startswith(MODULE_FRAMES):
            return "interpreter-crash"
        return got["outcome"]
    if got["outcome"] == "SystemError" and got["result"] == INTERPRETER_SYSTEM_ERROR:
        return "interpreter-SystemError"
    if json.loads(got["again"]) != clean:
        return "unrecovered"
    if {key: got[key] for key in clean} == clean:
        return "unchanged"
    if got["outcome"] == "return":
        return "handled" if name.split("/")[0] in GUARDED else "silent-change"
    return got["outcome"]


def sweep(
    name: str, action: Callable[[], object], stride: int, window: int, limit: int
) -> Iterator[tuple[int, str, dict[str, str]]]:
    """Yields (k, kind, outcome) for k = 0, stride, 2*stride... until `window`
    indexes in a row leave the call unchanged (it makes fewer allocations)."""
    reference = run_index(action, None)
    reference.pop("again", None)
    if reference["outcome"] in ("crash", "timeout"):
        raise RuntimeError(f"{name}: the call fails without any injected failure: {reference}")
    quiet, k = 0, 0
    while quiet < window and k < limit:
        got = run_index(action, k)
        kind = classify(name, reference, got)
        quiet = quiet + 1 if kind == "unchanged" else 0
        yield k, kind, got
        k += stride


def show(name: str, k: str) -> int:
    """Runs one index as the sweep does, its errors on show (under a debugger,
    follow the forked child)."""
    with tempfile.TemporaryDirectory() as folder:
        action = scenarios(World(Path(folder)))[name]
        if name != "import":
            velka_module()
        first, _, last = k.partition("-")
        for index in range(int(first), int(last or first) + 1):
            print(index, json.dumps(run_index(action, index, quiet=not last)), flush=True)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument("--window", type=int, default=40, help="indexes in a row without effect that end a sweep")
    parser.add_argument("--limit", type=int, default=200_000)
    parser.add_argument("--only", default="", help="scenarios whose name starts so")
    parser.add_argument("--json", action="store_true", help="one JSON summary line")
    parser.add_argument(
        "--model", action="store_true", help="sweep the plain-Python twin instead: the interpreter's share"
    )
    parser.add_argument(
        "--real-pages", action="store_true", help="parse the pages with bs4, whose own faults then show"
    )
    parser.add_argument("--show", metavar="SCENARIO:K", help="run one index in this process, its errors on show")
    options = parser.parse_args(argv)

    # The dependencies are imported before any failure: their own import is
    # theirs to survive, the module's load is what is swept.
    import pathlib  # noqa: F401

    import bs4  # noqa: F401
    import requests  # noqa: F401

    if options.model:
        from fuzz.model import load_baseline

        MODEL.append(load_baseline())
    if options.show:
        return show(*options.show.rsplit(":", 1))
    start = time.monotonic()
    totals: collections.Counter[str] = collections.Counter()
    faults: list[dict[str, object]] = []
    per_scenario: dict[str, int] = {}
    failed: list[str] = []  # scenarios where an injected failure raised MemoryError
    with tempfile.TemporaryDirectory() as folder:
        world = World(Path(folder))
        cases = scenarios(world)
        names = [n for n in cases if n.startswith(options.only) and not (options.model and n == "import")]
        for name in names:
            if name != "import":
                velka_module()  # loaded once in the parent, so children share it
            kinds: collections.Counter[str] = collections.Counter()
            for k, kind, got in sweep(name, cases[name], options.stride, options.window, options.limit):
                kinds[kind] += 1
                if kind in FAULTS or kind.startswith("interpreter-"):
                    faults.append({"scenario": name, "index": k, "kind": kind, **got})
            per_scenario[name] = sum(kinds.values())
            if kinds["MemoryError"]:
                failed.append(name)
            totals.update(kinds)
            if not options.json:
                print(f"{name:28} {sum(kinds.values()):6} indexes  {dict(kinds)}", flush=True)
    summary = {
        "indexes": sum(totals.values()),
        "kinds": dict(totals),
        "scenarios": per_scenario,
        "faults": faults,
        "failed": sorted(failed),
        "seconds": round(time.monotonic() - start, 1),
    }
    if options.json:
        print(json.dumps(summary))
    else:
        print(
            f"total: {summary['indexes']} indexes in {len(names)} scenarios, "
            f"{summary['seconds']} s; by kind: {dict(totals)}"
        )
        for fault in faults:
            label = "interpreter" if fault["kind"].startswith("interpreter-") else "FAULT"
            print(label, json.dumps(fault))
    return 1 if any(fault["kind"] in FAULTS for fault in faults) else 0


if __name__ == "__main__":
    sys.exit(main())
