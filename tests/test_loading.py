"""The module as the interpreter loads it: namespace, function objects,
re-imports, load failures and their traceback entries."""

import builtins
import importlib
import inspect
import os
import pathlib
import sys

import bs4
import pytest
import requests
from support import CONSTANTS, FUNCTIONS, LIST_INTROUVABLE, SYNTAXE, needs_testcapi, run_python, said, windows_differs

import velka

BINDING_ORDER = [
    "__builtins__",
    "sys",
    "os",
    "Session",
    "Response",
    "BeautifulSoup",
    "pathlib",
    "read_url",
    "ADMIN_FFE_URL",
    *CONSTANTS,
    "get_ident_text",
    "get_attr_value",
    "envoi_tournoi",
    "get_tournoi_list",
    "page_ffe",
    "get_page_test",
    "main_func",
    "__test__",
]


def test_namespace_is_bound_in_order_with_the_imported_objects():
    names = list(vars(velka))
    assert names[names.index("__builtins__") :] == BINDING_ORDER
    assert velka.__builtins__ is builtins
    assert (velka.sys, velka.os, velka.pathlib) == (sys, os, pathlib)
    assert velka.Session is requests.Session and velka.Response is requests.Response
    assert velka.BeautifulSoup is bs4.BeautifulSoup
    assert velka.__test__ == {} and velka.__doc__ is None
    for absent in ("requests", "bs4", "Path"):
        assert not hasattr(velka, absent)


def test_constants():
    for name, value in CONSTANTS.items():
        assert getattr(velka, name) == value
    base = velka.ADMIN_FFE_URL
    assert base.startswith("http://") and not base.endswith("/")
    assert "/" not in base[len("http://") :]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    line, parameters, others, defaults, annotations = FUNCTIONS[name]
    function = getattr(velka, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "velka" and function.__doc__ is None
    assert function.__defaults__ == defaults and function.__kwdefaults__ is None
    assert function.__annotations__ == annotations
    assert function.__globals__ is vars(velka)
    code = function.__code__
    assert (code.co_filename, code.co_name, code.co_qualname) == ("velkax", name, name)
    assert code.co_firstlineno == line
    assert code.co_argcount == len(parameters)
    assert code.co_varnames == parameters + others and code.co_nlocals == len(code.co_varnames)
    assert code.co_flags == 3
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_freevars == code.co_cellvars == ()
    assert list(inspect.signature(function).parameters) == list(parameters)


def test_signature_of_read_url_carries_the_string_annotation():
    assert str(inspect.signature(velka.read_url)) == "(session, url: 'str', data=None, files=None)"


def test_reimport_gives_the_same_module_and_runs_nothing_again(monkeypatch):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", "http://elsewhere")
    monkeypatch.delitem(sys.modules, "velka")
    again = importlib.import_module("velka")
    assert again is velka and sys.modules["velka"] is velka
    assert importlib.reload(velka) is velka
    assert velka.ADMIN_FFE_URL == "http://elsewhere"  # no statement ran twice


def test_kept_builtins_ignore_later_rebinding(monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: seen.append(a))
    monkeypatch.setattr(builtins, "open", lambda *a, **k: seen.append(a))
    monkeypatch.setattr(velka, "print", seen.append, raising=False)
    monkeypatch.setattr(sys, "argv", ["trasko", "/no/such/list"])
    velka.main_func()
    monkeypatch.setattr(sys, "argv", ["trasko"])
    velka.main_func()
    assert seen == []
    assert capsys.readouterr().out == said(LIST_INTROUVABLE, "/no/such/list") + said(SYNTAXE)


def test_a_second_module_object_is_refused_and_the_loaded_one_kept():
    import ctypes
    import types

    definition = ctypes.PyDLL(velka.__file__).PyInit_velka
    definition.restype = ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    other = types.ModuleType("velka")
    with pytest.raises(RuntimeError) as refused:
        exec_def(other, definition())
    assert str(refused.value) == ("Module 'velka' has already been imported. Re-initialisation is not supported.")
    assert "main_func" not in vars(other)
    assert sys.modules["velka"] is velka and importlib.import_module("velka") is velka
    assert exec_def(velka, definition()) == 0  # the loaded module: nothing runs again


@needs_testcapi()
def test_a_second_interpreter_is_refused():
    result = run_python("""
        import _testcapi, velka
        print(_testcapi.run_in_subinterp("import velka"))
    """)
    assert result.stdout == "-1\n"
    assert (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    ) in result.stderr


# Loads velka from its definition under a spec of the test's choosing, as
# only the C API allows (an import picks the spec itself).
CTYPES_LOADER = """
import ctypes, importlib.util, sys, traceback, types
library = ctypes.PyDLL(importlib.util.find_spec("velka").origin)
library.PyInit_velka.restype = ctypes.c_void_p
definition = library.PyInit_velka()
api = ctypes.pythonapi
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]

def load(**spec):
    module = api.PyModule_FromDefAndSpec2(definition, types.SimpleNamespace(**spec), 1013)
    api.PyModule_ExecDef(module, definition)
    return module

def entries(error):
    return [(frame.name, frame.lineno) for frame in traceback.extract_tb(error.__traceback__)
            if frame.filename == "velkax"]
"""


@pytest.mark.parametrize(
    "spec, expected",
    [
        (
            "name='alias', loader=None, origin='/x/velka.so', parent='', submodule_search_locations=None",
            {"__name__": "alias", "__loader__": None, "__file__": "/x/velka.so", "__package__": ""},
        ),
        (
            "name='velka', loader='L', parent='p', submodule_search_locations=['d']",
            {"__name__": "velka", "__loader__": "L", "__package__": "p", "__path__": ["d"]},
        ),
    ],
)
def test_spec_attributes_are_copied_as_far_as_the_spec_has_them(spec, expected):
    result = run_python(
        CTYPES_LOADER
        + f"""
module = load({spec})
print(sorted((k, v) for k, v in vars(module).items()
             if k in ("__name__", "__loader__", "__file__", "__package__", "__path__")))
print(sys.modules["velka"] is module, module.main_func.__module__)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{sorted(expected.items())}\nTrue velka\n"


def test_a_spec_without_name_fails_creation():
    result = run_python(
        CTYPES_LOADER
        + """
try:
    load(loader=None)
except AttributeError as e:
    print("AttributeError", "name" in str(e))
"""
    )
    assert result.stdout == "AttributeError True\n", result.stderr


def test_loaded_as_main_runs_main_func_and_not_on_import():
    result = run_python(
        CTYPES_LOADER
        + """
print("loading")
module = load(name="__main__", loader=None, origin=None, parent="",
              submodule_search_locations=None)
print(module.__name__, sys.modules["velka"] is module)
"""
    )
    assert result.stdout == f"loading\n{said(SYNTAXE)}__main__ True\n"
    plain = run_python("import velka; print('imported')")
    assert plain.stdout == "imported\n"


def test_main_func_failing_under_main_fails_the_load_and_is_withdrawn(tmp_path):
    listing = tmp_path / "bad.txt"
    listing.write_bytes(b"\xff\xfe bad bytes\n")
    result = run_python(
        CTYPES_LOADER
        + """
try:
    load(name="__main__", loader=None, origin=None, parent="", submodule_search_locations=None)
except UnicodeDecodeError as e:
    print(entries(e))
print("velka" in sys.modules)
sys.argv[1:] = []
import velka
print(velka.__name__, velka.__test__)
""",
        str(listing),
        env={"PYTHONUTF8": "1"},
    )
    assert result.stdout == (
        "[('init velka', 286), ('velka.main_func', 277), ('velka.page_ffe', 233)]\nFalse\nvelka {}\n"
    ), result.stderr


FAKE_REQUESTS_WITHOUT_SESSION = {"requests/__init__.py": "class Response: pass\n"}
FAKE_REQUESTS_WITH_SUBMODULE = {
    "requests/__init__.py": (
        "import sys, types\n"
        "class Response: pass\n"
        "sys.modules['requests.Session'] = types.ModuleType('requests.Session')\n"
    )
}
FAKE_BS4_MISSING = {"bs4/__init__.py": "raise ModuleNotFoundError(\"No module named 'bs4'\", name='bs4')\n"}


@pytest.mark.parametrize(
    "files, setup, error, message, line",
    [
        (FAKE_REQUESTS_WITHOUT_SESSION, "", "ImportError", "cannot import name Session", 7),
        (FAKE_BS4_MISSING, "", "ModuleNotFoundError", "No module named 'bs4'", 8),
        (
            {},
            "sys.modules['requests'] = None",
            "ModuleNotFoundError",
            "import of requests halted; None in sys.modules",
            7,
        ),
        (
            {},
            "import requests, bs4; sys.modules['pathlib'] = None",
            "ModuleNotFoundError",
            "import of pathlib halted; None in sys.modules",
            9,
        ),
        # Finding velka first lets an editable install's import hook, which needs
        # map, do its work before map goes.
        pytest.param(
            {},
            "import importlib.util; importlib.util.find_spec('velka'); "
            "import builtins; kept = builtins.map; del builtins.map",
            "NameError",
            "name 'map' is not defined",
            2,
            marks=windows_differs("Windows' import system itself calls map, before velka loads"),
        ),
    ],
)
def test_load_failures_carry_init_velka_and_a_later_import_starts_afresh(tmp_path, files, setup, error, message, line):
    for relative, text in files.items():
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text(text)
    result = run_python(f"""
import sys, traceback
sys.path.insert(0, {str(tmp_path)!r})
{setup}
try:
    import velka
except BaseException as e:
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
               if f.filename == "velkax"]
    print(type(e).__name__, e, entries, "velka" in sys.modules)
# Put things right: the next import runs both steps again.
sys.path.pop(0)
for name in ("requests", "bs4", "pathlib"):
    if sys.modules.get(name) is None or {str(tmp_path)!r} in str(getattr(sys.modules[name], "__file__", "")):
        sys.modules.pop(name, None)
if "kept" in dir():
    builtins.map = kept
import velka, requests
print(velka.Session is requests.Session, velka.__test__)
""")
    assert result.stdout == (f"{error} {message} [('init velka', {line})] False\nTrue {{}}\n"), result.stderr


def test_from_import_falls_back_to_a_loaded_submodule(tmp_path):
    (tmp_path / "requests").mkdir()
    (tmp_path / "requests/__init__.py").write_text(FAKE_REQUESTS_WITH_SUBMODULE["requests/__init__.py"])
    result = run_python(f"""
import sys
sys.path.insert(0, {str(tmp_path)!r})
import velka
print(velka.Session is sys.modules["requests.Session"])
""")
    assert result.stdout == "True\n", result.stderr


@needs_testcapi()
@pytest.mark.parametrize("watchers_left", [True, False])
def test_a_rebound_global_is_seen_at_the_next_use(watchers_left):
    # Whether or not the interpreter has dict watchers left, every use looks
    # the name up again.
    result = run_python(f"""
import _testcapi
if not {watchers_left}:
    try:
        while True:
            _testcapi.add_dict_watcher(0)
    except RuntimeError:
        pass
import velka
seen = []
velka.Session = lambda: "session"
velka.read_url = lambda session, url, *rest, **named: seen.append(url)
for base in ("http://a", "http://b"):
    velka.ADMIN_FFE_URL = base
    try:
        velka.envoi_tournoi("n", "p", "f", True)
    except TypeError:
        pass  # BeautifulSoup(None): the first answer is all this looks at
del velka.ADMIN_FFE_URL
try:
    velka.envoi_tournoi("n", "p", "f", True)
except NameError as error:
    seen.append(str(error))
print(seen)
""")
    assert result.stdout == ("['http://a', 'http://b', \"name 'ADMIN_FFE_URL' is not defined\"]\n"), result.stderr
