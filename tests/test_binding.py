"""Argument binding: what each function accepts, and the exact TypeError of
every wrong call, raised before anything of the body runs."""

import gc
import sys
import tracemalloc

import pytest
from support import FUNCTIONS, Response, velka_entries

import velka

A, B, C, D, E = (object() for _ in range(5))

# function, positional, keywords, message
COUNT_AND_KEYWORD_ERRORS = [
    ("read_url", (A,), {}, "read_url() takes at least 2 positional arguments (1 given)"),
    ("read_url", (), {}, "read_url() takes at least 2 positional arguments (0 given)"),
    ("read_url", (A, "u", C, D, E), {}, "read_url() takes at most 4 positional arguments (5 given)"),
    ("read_url", (), {"url": "u"}, "read_url() takes at least 2 positional arguments (0 given)"),
    ("read_url", (A, "u", C, D, E), {"x": 1}, "read_url() takes at most 4 positional arguments (5 given)"),
    ("read_url", (A,), {1: 2}, "read_url() takes at least 2 positional arguments (1 given)"),
    ("read_url", (A, "u"), {1: 2}, "read_url() keywords must be strings"),
    ("read_url", (A, "u"), {"session": A}, "read_url() got multiple values for keyword argument 'session'"),
    ("read_url", (A, "u"), {"timeout": 3}, "read_url() got an unexpected keyword argument 'timeout'"),
    ("get_ident_text", (A, B), {}, "get_ident_text() takes exactly 3 positional arguments (2 given)"),
    ("get_ident_text", (A, B, C, D), {}, "get_ident_text() takes exactly 3 positional arguments (4 given)"),
    ("get_ident_text", (), {"soup": A, "attr": C}, "get_ident_text() takes exactly 3 positional arguments (1 given)"),
    ("get_ident_text", (), {"vars": B, "zzz": 1}, "get_ident_text() takes exactly 3 positional arguments (0 given)"),
    ("get_ident_text", (A, B, C), {"soup": A}, "get_ident_text() got multiple values for keyword argument 'soup'"),
    ("get_attr_value", (A, B), {}, "get_attr_value() takes at least 3 positional arguments (2 given)"),
    ("get_attr_value", (A, B, C, D, E), {}, "get_attr_value() takes at most 4 positional arguments (5 given)"),
    (
        "get_attr_value",
        (A, B, C),
        {"attr_names": "id"},
        "get_attr_value() got an unexpected keyword argument 'attr_names'",
    ),
    ("envoi_tournoi", (A, B, C), {}, "envoi_tournoi() takes exactly 4 positional arguments (3 given)"),
    ("envoi_tournoi", (A,), {"pwd": B, "fname": C}, "envoi_tournoi() takes exactly 4 positional arguments (3 given)"),
    ("get_tournoi_list", (), {}, "get_tournoi_list() takes exactly 1 positional argument (0 given)"),
    ("get_tournoi_list", ("a", "b"), {}, "get_tournoi_list() takes exactly 1 positional argument (2 given)"),
    ("page_ffe", (), {}, "page_ffe() takes exactly 1 positional argument (0 given)"),
    (
        "page_ffe",
        (),
        {"tournoi_list_full_name": "x", "extra": 1},
        "page_ffe() got an unexpected keyword argument 'extra'",
    ),
    ("page_ffe", ("x",), {1: 2}, "page_ffe() keywords must be strings"),
]


@pytest.mark.parametrize("name, args, kwargs, message", COUNT_AND_KEYWORD_ERRORS)
def test_binding_errors_run_no_body_and_carry_the_def_line(capfd, name, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        getattr(velka, name)(*args, **kwargs)
    assert str(error.value) == message
    assert velka_entries(error.value.__traceback__) == [(f"velka.{name}", FUNCTIONS[name].def_line)]
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("main_func", (1,), {}, "main_func() takes no arguments (1 given)"),
        ("main_func", (1, 2), {"x": 1}, "main_func() takes no keyword arguments"),
        ("main_func", (), {1: 2}, "main_func() takes no keyword arguments"),
        ("get_page_test", (None, None), {}, "get_page_test() takes no arguments (2 given)"),
        ("get_page_test", (), {"url": "x"}, "get_page_test() takes no keyword arguments"),
    ],
)
def test_functions_without_parameters_refuse_any_argument(capfd, name, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        getattr(velka, name)(*args, **kwargs)
    assert str(error.value) == message
    assert velka_entries(error.value.__traceback__) == []
    assert capfd.readouterr() == ("", "")


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "url, type_name",
    [
        (None, "NoneType"),
        (5, "int"),
        (b"http://x", "bytes"),
        (StrSubclass("http://x"), "StrSubclass"),
    ],
)
def test_url_must_be_exactly_a_str(capfd, url, type_name):
    session = Recorder()
    with pytest.raises(TypeError) as error:
        velka.read_url(session, url)
    assert str(error.value) == f"Argument 'url' has incorrect type (expected str, got {type_name})"
    assert velka_entries(error.value.__traceback__) == []
    assert session.calls == [] and capfd.readouterr() == ("", "")


class Recorder:
    """A session or page that records how it is called and answers a stub."""

    def __init__(self, answer=None):
        self.calls = []
        self.answer = answer

    def __getattr__(self, method):
        def record(*args, **kwargs):
            self.calls.append((method, args, kwargs))
            return self.answer

        return record


@pytest.mark.parametrize(
    "args, kwargs, call",
    [
        (("u",), {}, ("get", ("u",), {})),
        ((), {"url": "u"}, ("get", ("u",), {})),
        (("u", {"a": "1"}), {}, ("post", ("u",), {"data": {"a": "1"}, "files": None})),
        (("u",), {"data": {"a": "1"}}, ("post", ("u",), {"data": {"a": "1"}, "files": None})),
        ((), {"files": {}, "data": {}, "url": "u"}, ("get", ("u",), {})),
    ],
)
def test_read_url_binds_positions_keywords_and_defaults(args, kwargs, call):
    session = Recorder(Response(b"ok"))
    assert velka.read_url(session, *args, **kwargs) == "ok"
    assert session.calls == [call]


class Element:
    def get(self, name):
        return f"value of {name}"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("__VIEWSTATE",), {}),
        ((), {"attr": "__VIEWSTATE"}),
        (("__VIEWSTATE", "name"), {}),
        ((), {"attr_name": "name", "attr": "__VIEWSTATE"}),
    ],
)
def test_get_attr_value_defaults_to_the_name_attribute(args, kwargs):
    soup, found = Recorder(Element()), {}
    assert velka.get_attr_value(soup, found, *args, **kwargs) is None
    assert soup.calls == [("find", (), {"attrs": {"name": "__VIEWSTATE"}})]
    assert found == {"__VIEWSTATE": "value of value"}


def allocated_after(loop):
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    loop()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def test_binding_errors_and_attribute_access_leak_nothing():
    argument = object()

    def loop():
        for _ in range(20_000):
            for call in (
                lambda: velka.read_url(argument),
                lambda: velka.page_ffe(argument, extra=argument),
                lambda: velka.read_url(argument, argument),
                lambda: velka.main_func(argument),
            ):
                try:
                    call()
                except TypeError:
                    pass
            velka.read_url.__code__, velka.get_attr_value.__defaults__, velka.VIEW_STATE  # noqa: B018 (the reads are the test)

    tracemalloc.start()
    try:
        allocated_after(loop)  # warm-up: caches, interned strings
        refs = sys.getrefcount(argument)
        growth = allocated_after(loop)
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(argument) == refs
    assert growth < 64 * 1024, f"{growth} bytes kept over 80,000 failed calls"
