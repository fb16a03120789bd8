"""Coverage-guided fuzzing of velka against its plain-Python model.

Three targets share one entry, chosen by the input's first byte:
- binding: random positional and keyword arguments (str subclasses, odd
  values) for each of the eight functions; the TypeError, or else the whole
  call, must match the model;
- list file: the input's lines into get_tournoi_list and page_ffe (with
  envoi_tournoi replaced by a recorder, so nothing is sent);
- pages: the input cut into HTML pages, read by the two readers and served
  to envoi_tournoi by a fake session.
Each call's result, exception (type and text) and printed lines must be the
model's. Run under scripts/fuzz or scripts/test-fuzz, not directly."""

from __future__ import annotations

import contextlib
import io
import os
import re
import sys
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

with atheris.instrument_imports(include=["fuzz"]):
    from fuzz.fakes import Recorder, dialogue_pages, session_class
    from fuzz.model import SIGNATURES, bind, load_baseline

import bs4

import velka

MODEL = load_baseline()
WORK = Path(tempfile.mkdtemp(prefix="velka-fuzz-"))
PAPI = WORK / "tournoi.papi"
PAPI.write_bytes(b"papi")
LIST = WORK / "liste.txt"
ADDRESS = re.compile(r"0x[0-9a-f]+")
# Keywords whose hash is not their text's; VELKA_FUZZ_ODD_KEYWORDS=0 leaves
# them out, to look past a finding of theirs.
ODD_KEYWORDS = os.environ.get("VELKA_FUZZ_ODD_KEYWORDS", "1") != "0"


class Text(str):
    """A str subclass, as a caller may pass for any text."""


class Shouting(str):
    """A str subclass that hashes and prints otherwise but compares as str."""

    def __hash__(self) -> int:
        return hash(str(self).upper())

    def __str__(self) -> str:
        return str.__str__(self).upper()


SESSION = object()  # stands for a fresh fake session in each run


class Fragile:
    """Refuses truth, items and text: every use of it raises."""

    def __bool__(self) -> bool:
        raise ValueError("fragile truth")

    def items(self) -> object:
        raise TypeError("entry is locked")

    def __str__(self) -> str:
        raise RuntimeError("fragile text")


def outcome(call: Callable[[], object]) -> tuple[object, ...]:
    """What a call shows a caller: result or exception, and printed text."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            result: tuple[object, ...] = ("return", repr(call()))
        except Exception as error:  # noqa: BLE001 - compared, not handled
            result = (type(error).__name__, str(error))
    return tuple(ADDRESS.sub("0x", str(part)) for part in (*result, out.getvalue()))


@contextlib.contextmanager
def stand_ins(module: ModuleType, pages: list[bytes], recorder: Recorder | None = None) -> Iterator[type]:
    """Points the module's session (and, for a batch, its envoi_tournoi) at
    stand-ins for the length of one run."""
    real = module.Session, module.envoi_tournoi
    module.Session = session_class(pages)
    if recorder is not None:
        module.envoi_tournoi = recorder
    try:
        yield module.Session
    finally:
        module.Session, module.envoi_tournoi = real


def compare(label: str, run: Callable[[ModuleType], object]) -> None:
    got, expected = outcome(lambda: run(velka)), outcome(lambda: run(MODEL))
    if got != expected:
        raise AssertionError(f"{label}:\n velka: {got!r}\n model: {expected!r}")


def text(fdp: atheris.FuzzedDataProvider, limit: int = 12) -> str:
    value = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, limit))
    return value.replace("@", str(PAPI))


def value(fdp: atheris.FuzzedDataProvider, soup: object) -> object:
    pick = fdp.ConsumeIntInRange(0, 12)
    # Numbers stay clear of small ones: open() would take them for descriptors.
    choices: list[Callable[[], object]] = [
        lambda: None,
        lambda: text(fdp),
        lambda: Text(text(fdp)),
        lambda: Shouting(text(fdp)),
        lambda: fdp.ConsumeIntInRange(1 << 20, 1 << 21),
        dict,
        lambda: {text(fdp): text(fdp)},
        lambda: soup,
        lambda: str(PAPI),
        lambda: Fragile(),
        lambda: [text(fdp)],
        lambda: b"bytes",
        lambda: SESSION,
    ]
    return choices[pick]()


def keyword(fdp: atheris.FuzzedDataProvider, parameters: tuple[str, ...]) -> str:
    name = fdp.PickValueInList(list(parameters)) if parameters and fdp.ConsumeBool() else text(fdp, 6)
    kind = fdp.ConsumeIntInRange(0, 2 if ODD_KEYWORDS else 1)
    return name if kind == 0 else Text(name) if kind == 1 else Shouting(name)


def fuzz_binding(fdp: atheris.FuzzedDataProvider) -> None:
    name = fdp.PickValueInList(sorted(SIGNATURES))
    parameters = SIGNATURES[name][0]
    soup = bs4.BeautifulSoup(dialogue_pages()[2], "html.parser")
    args = tuple(value(fdp, soup) for _ in range(fdp.ConsumeIntInRange(0, 5)))
    kwargs = {keyword(fdp, parameters): value(fdp, soup) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    try:
        bind(name, args, kwargs)
        refused = None
    except TypeError as error:
        refused = str(error)
    if refused is not None:
        with stand_ins(velka, []):
            got = outcome(lambda: getattr(velka, name)(*args, **kwargs))
        # A keyword that hashes unlike its text may be refused by either
        # binding error, but refused: never ignored, never reaching the body.
        odd = any(type(key) is Shouting for key in kwargs)
        same = got[1] == refused or (odd and got[1].startswith(f"{name}() "))
        if got[0] != "TypeError" or not same or got[2]:
            raise AssertionError(f"{name}{args!r} {kwargs!r}: {got!r}, model {refused!r}")
        return
    if name == "main_func":
        sys.argv = ["trasko"]
    pages = dialogue_pages()

    def call(module: ModuleType) -> object:
        recorder = Recorder() if name in ("page_ffe", "main_func") else None
        with stand_ins(module, pages, recorder) as session:
            return run(module, session)

    def run(module: ModuleType, session: type) -> object:
        # Fresh mappings and sessions, so that one run's writes do not show in the other's.
        def fresh(a: object) -> object:
            return dict(a) if type(a) is dict else session() if a is SESSION else a

        fresh_args = [fresh(a) for a in args]
        fresh_kw = {k: fresh(v) for k, v in kwargs.items()}
        session.last = None
        result = getattr(module, name)(*fresh_args, **fresh_kw)
        return result, fresh_args, fresh_kw, session.last and session.last.calls

    compare(f"{name}{args!r} {kwargs!r}", call)


def fuzz_list_file(fdp: atheris.FuzzedDataProvider) -> None:
    raw = fdp.ConsumeBytes(fdp.remaining_bytes()).replace(b"@", str(PAPI).encode())
    LIST.write_bytes(raw)

    def read(module: ModuleType) -> object:
        return module.get_tournoi_list(str(LIST))

    def batch(module: ModuleType) -> object:
        recorder = Recorder(fail_at=raw.count(b"!"))
        with stand_ins(module, [], recorder):
            module.page_ffe(str(LIST))
        return recorder.calls

    compare(f"get_tournoi_list {raw!r}", read)
    compare(f"page_ffe {raw!r}", batch)


def fuzz_pages(fdp: atheris.FuzzedDataProvider) -> None:
    pages = dialogue_pages(text(fdp, 30), text(fdp, 30))
    for i in range(fdp.ConsumeIntInRange(0, 4)):
        where = fdp.ConsumeIntInRange(0, 3)
        pages[where] = (
            fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 400))
            if i % 2
            else fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 200)).encode()
        )
    attr = fdp.PickValueInList(
        ["__VIEWSTATE", "__EVENTVALIDATION", "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi", text(fdp, 8)]
    )
    attr_name = fdp.PickValueInList(["name", "id", "ID", "value", text(fdp, 4)])
    visible = fdp.ConsumeBool()
    page = pages[fdp.ConsumeIntInRange(0, 3)]

    def read(module: ModuleType) -> object:
        soup = bs4.BeautifulSoup(page, "html.parser")
        store: dict[object, object] = {}
        module.get_attr_value(soup, store, attr, attr_name)
        module.get_ident_text(soup, store, attr)
        return store

    def dialogue(module: ModuleType) -> object:
        with stand_ins(module, pages) as session:
            module.envoi_tournoi("login", "mdp", str(PAPI), visible)
            return session.last.calls

    compare(f"readers {attr!r} {attr_name!r} {page!r}", read)
    compare(f"envoi_tournoi {visible} {pages!r}", dialogue)


TARGETS = [fuzz_binding, fuzz_list_file, fuzz_pages]


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    TARGETS[fdp.ConsumeIntInRange(0, len(TARGETS) - 1)](fdp)


def write_seeds(folder: Path) -> None:
    """A small seed corpus: one input per target, reaching its main path."""
    folder.mkdir(parents=True, exist_ok=True)
    lines = b"l;p;@;1;k\n\nseul\na,b,@,0\nx;y;absent;1;k\n;z\n"
    (folder / "list-file").write_bytes(b"\x01" + lines)
    (folder / "binding").write_bytes(b"\x00" + bytes(range(64)))
    (folder / "pages").write_bytes(b"\x02" + b"Activer" + bytes(40))


def main() -> None:
    if os.environ.get("VELKA_FUZZ_SEEDS"):
        write_seeds(Path(os.environ["VELKA_FUZZ_SEEDS"]).resolve())
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
