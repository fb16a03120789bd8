"""What the fuzzer found, kept as plain differential tests against the
plain-Python twin: same result, same exception, same printed lines."""

import contextlib
import io

import pytest
from fuzz.model import load_baseline

import velka

MODEL = load_baseline()


def outcome(function, *args):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            result = ("return", repr(function(*args)))
        except Exception as error:  # noqa: BLE001 - compared, not handled
            result = (type(error).__name__, str(error))
    return (*result, out.getvalue())


@pytest.mark.parametrize(
    "name, args",
    [
        # soup.find is looked up before the query dict is built: no page, and
        # an attribute name that cannot be a key, fail on the page.
        ("get_attr_value", (None, {}, "__VIEWSTATE", ["name"])),
        ("get_attr_value", (None, {}, "__VIEWSTATE", {})),
        ("get_attr_value", (3, {}, ["x"], "name")),
        # The page is there: the unhashable name fails on the dict.
        ("get_attr_value", ("<p>", {}, "__VIEWSTATE", ["name"])),
        # ...and a builtin method keeps its qualified message.
        ("get_attr_value", (b"<p>", {}, "__VIEWSTATE", "name")),
    ],
)
def test_readers_evaluate_as_python_does(name, args):
    assert outcome(getattr(velka, name), *args) == outcome(getattr(MODEL, name), *args)
