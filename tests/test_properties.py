"""Property-based differential tests: argument binding against a small model
of the binding rules, and the list-file readers against a model of their
line handling, over generated calls and generated list files."""

import contextlib
import io
import os
import pathlib
import sys
import tempfile

import pytest
from fuzz.model import bind
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import ENVOI_DE, FORMAT_INCORRECT, FUNCTIONS, PAPI_INTROUVABLE, TOURNOI_INTROUVABLE, said, velka_entries

import velka

# Bounded in CI; HYPOTHESIS_PROFILE=long (scripts/test-properties) for a longer run.
settings.register_profile("ci", max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=5000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# name: (parameters, defaults, def line)
SIGNATURES = {name: (f.parameters, f.defaults or (), f.def_line) for name, f in FUNCTIONS.items()}


def model_binding(name, args, kwargs):
    """("error", message) or ("bound", {parameter: value}), by the plain-Python
    binding model the fuzzer checks against too."""
    try:
        values = bind(name, args, kwargs)
    except TypeError as error:
        return ("error", str(error))
    return ("bound", dict(zip(SIGNATURES[name][0], values, strict=True)))


class Value:
    """An argument that records what the body does with it."""

    def __init__(self, label):
        self.label, self.log = label, []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return Value(f"{self.label}.{name}")

        return method

    def __bool__(self):
        self.log.append(("bool",))
        return False

    def __setitem__(self, key, value):
        self.log.append(("setitem", key))

    def __str__(self):
        return self.label


class TextSubclass(str):
    pass


class Stop(Exception):
    pass


def stop():
    raise Stop


KEYS = st.one_of(
    st.sampled_from(sorted({p for ps, _, _ in SIGNATURES.values() for p in ps} | {"timeout", "extra", "Session"})),
    st.integers(-2, 2),
    st.tuples(st.integers(0, 1)),
    st.text(max_size=3),
)


@given(
    name=st.sampled_from(sorted(SIGNATURES)),
    positional=st.lists(st.integers(0, 7), max_size=6),
    keywords=st.dictionaries(KEYS, st.integers(0, 7), max_size=5),
)
def test_binding_matches_the_model(name, positional, keywords):
    pool = [Value("v0"), Value("v1"), Value("v2"), Value("v3"), "http://x", None, TextSubclass("s"), b"raw"]
    args = [pool[i] for i in positional]
    kwargs = {key: pool[i] for key, i in keywords.items()}
    expected = model_binding(name, args, kwargs)
    saved = velka.Session, sys.argv
    velka.Session, sys.argv = stop, ["trasko"]
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            getattr(velka, name)(*args, **kwargs)
        seen = ("ran",)
    except TypeError as error:
        entries = velka_entries(error.__traceback__)
        binding = entries in ([], [(f"velka.{name}", SIGNATURES[name][2])])
        seen = ("error", str(error)) if binding else ("ran",)
    except (Exception, SystemExit):
        seen = ("ran",)
    finally:
        velka.Session, sys.argv = saved
    if expected[0] == "error":
        assert seen == expected
        return
    assert seen == ("ran",)
    bound = expected[1]
    if name in ("get_ident_text", "get_attr_value") and isinstance(bound["soup"], Value):
        query = next(entry[2] for entry in bound["soup"].log if entry[0] == "find")
        if name == "get_ident_text":
            assert query == {"id": bound["attr"]}
        elif "attrs" in query:
            assert query == {"attrs": {bound["attr_name"]: bound["attr"]}}
    if name == "read_url" and isinstance(bound["data"], Value):
        assert ("bool",) in bound["data"].log
        if isinstance(bound["session"], Value):
            gets = [entry for entry in bound["session"].log if entry[0] == "get"]
            assert gets == [("get", (bound["url"],), {})]


# --- list files ---------------------------------------------------------------------

TOKENS = [
    "",
    " ",
    "\t",
    "\u00a0",
    "\u2003",
    "\x85",
    "\u2028",
    "l",
    "login \u00e9",
    "1",
    " 1 ",
    "0",
    "yes",
    "a.papi",
    " a.papi\t",
    "sub/b.papi",
    "./a.papi",
    "missing.papi",
    "sub",
    "k",
]
LINES = st.lists(
    st.tuples(st.lists(st.sampled_from(TOKENS), min_size=1, max_size=6), st.sampled_from([",", ";", ", ", " ;"])),
    max_size=8,
)
NEWLINES = st.sampled_from(["\n", "\r\n", "\r"])


def fields(line):
    return list(map(str.strip, line.replace(",", ";").split(";")))


def model_page_ffe(lines):
    out, calls = [], []
    for line in lines:
        try:
            tfld = fields(line)
            if tfld[0] == "" or tfld[1] == "":
                continue
            if not pathlib.Path(tfld[2]).is_file():
                out.append(said(PAPI_INTROUVABLE.format(tfld[2])))
                continue
            f_visible = tfld[3] == "1"
        except Exception:
            out.append(said(FORMAT_INCORRECT, line))
            continue
        out.append(said(ENVOI_DE, tfld[2]))
        calls.append((tfld[0], tfld[1], os.path.abspath(tfld[2]), f_visible))
    return "".join(out), calls


def model_get_tournoi_list(lines):
    out, found = [], {}
    for count, line in enumerate(lines, 1):
        try:
            tfld = fields(line)
            if tfld[0] == "" or tfld[1] == "":
                continue
            if not pathlib.Path(tfld[2]).is_file():
                out.append(said(TOURNOI_INTROUVABLE.format(count, line, tfld[2])))
                continue
            found[tfld[4]] = tfld[2]
        except IndexError:
            return "".join(out), IndexError
    return "".join(out), found


@pytest.fixture(scope="module")
def papi_dir():
    with tempfile.TemporaryDirectory() as directory:
        (pathlib.Path(directory) / "sub").mkdir()
        for name in ("a.papi", "sub/b.papi"):
            (pathlib.Path(directory) / name).write_bytes(b"papi")
        old = os.getcwd()
        os.chdir(directory)
        try:
            yield directory
        finally:
            os.chdir(old)


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(lines=LINES, newline=NEWLINES, last_newline=st.booleans())
def test_list_readers_match_the_model(papi_dir, lines, newline, last_newline):
    text = newline.join(separator.join(tokens) for tokens, separator in lines)
    if lines and last_newline:
        text += newline
    path = os.path.join(papi_dir, "list.txt")
    # Windows writes in its ANSI code page, which lacks most characters: those
    # become "?", and the readers are checked against what was written.
    with open(path, "w", newline="", errors="replace") as listing:
        listing.write(text)
    with open(path) as listing:
        as_read = listing.readlines()

    calls = []
    saved = velka.envoi_tournoi
    velka.envoi_tournoi = lambda *args: calls.append(args)
    try:
        with contextlib.redirect_stdout(io.StringIO()) as out:
            velka.page_ffe(path)
    finally:
        velka.envoi_tournoi = saved
    assert (out.getvalue(), calls) == model_page_ffe(as_read)

    expected_out, expected = model_get_tournoi_list(as_read)
    with contextlib.redirect_stdout(io.StringIO()) as out:
        try:
            result = velka.get_tournoi_list(path)
        except IndexError:
            result = IndexError
    assert out.getvalue() == expected_out
    assert result == expected and (result is IndexError or list(result) == list(expected))
