"""The module's behaviour in plain Python, for differential checks: the bodies
are those of the benchmarks' plain-Python twin (bench/baseline.py), and the
argument binding, whose messages are the module's own, is written out here."""

from __future__ import annotations

import importlib.util
from pathlib import Path
from types import ModuleType

ROOT = Path(__file__).resolve().parents[2]

# name: (parameters, number without default, defaults of the others)
SIGNATURES: dict[str, tuple[tuple[str, ...], int, tuple[object, ...]]] = {
    "read_url": (("session", "url", "data", "files"), 2, (None, None)),
    "get_ident_text": (("soup", "vars", "attr"), 3, ()),
    "get_attr_value": (("soup", "vars", "attr", "attr_name"), 3, ("name",)),
    "envoi_tournoi": (("nohom", "pwd", "fname", "f_visible"), 4, ()),
    "get_tournoi_list": (("tournoi_list_full_name",), 1, ()),
    "page_ffe": (("tournoi_list_full_name",), 1, ()),
    "get_page_test": ((), 0, ()),
    "main_func": ((), 0, ()),
}


def load_baseline() -> ModuleType:
    """A fresh copy of the plain-Python twin, under its own name."""
    spec = importlib.util.spec_from_file_location("velka_model", ROOT / "bench" / "baseline.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _count_error(name: str, low: int, high: int, given: int) -> TypeError:
    if low == high:
        kind, number = "exactly", low
    elif given < low:
        kind, number = "at least", low
    else:
        kind, number = "at most", high
    plural = "" if number == 1 else "s"
    return TypeError(f"{name}() takes {kind} {number} positional argument{plural} ({given} given)")


def text(key: str) -> str:
    """The characters of `key`, whatever its class says of itself."""
    return str.__str__(key)


def bind(name: str, args: tuple[object, ...], kwargs: dict[str, object]) -> tuple[object, ...]:
    """The values the parameters of `name` take, or the TypeError the call raises."""
    parameters, low, defaults = SIGNATURES[name]
    high = len(parameters)
    if high == 0:
        if kwargs:
            raise TypeError(f"{name}() takes no keyword arguments")
        if args:
            raise TypeError(f"{name}() takes no arguments ({len(args)} given)")
        return ()
    if len(args) > high or (not kwargs and len(args) < low):
        raise _count_error(name, low, high, len(args))
    bound = list(args)
    used: set[int] = set()
    keys = list(kwargs)
    for index in range(len(args), high):
        # By equality, as the interpreter binds: a str subclass hashing
        # otherwise still names its parameter.
        match = next((i for i, key in enumerate(keys) if i not in used and key == parameters[index]), None)
        if match is not None:
            used.add(match)
            bound.append(kwargs[keys[match]])
        elif index >= low:
            bound.append(defaults[index - low])
        else:
            raise _count_error(name, low, high, index)
    for i, key in enumerate(keys):
        if i in used:
            continue
        if not isinstance(key, str):
            raise TypeError(f"{name}() keywords must be strings")
        # Filled already, by position or by an equal keyword before it.
        if key in parameters[: len(args)] or any(key == parameters[index] for index in range(len(args), high)):
            raise TypeError(f"{name}() got multiple values for keyword argument '{text(key)}'")
        raise TypeError(f"{name}() got an unexpected keyword argument '{text(key)}'")
    if name == "read_url" and type(bound[1]) is not str:
        raise TypeError(f"Argument 'url' has incorrect type (expected str, got {type(bound[1]).__name__})")
    return tuple(bound)
