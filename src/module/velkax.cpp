// The module velka: its definition, the creation and execution steps, and the
// namespace they leave. Lines quoted are those of the module's statements;
// a failed load reports them in its "init velka" traceback entry.

#include "module/constants.hpp"
#include "module/function.hpp"
#include "module/functions.hpp"
#include "module/runtime.hpp"
#include "module/state.hpp"

namespace velka {

namespace {

// name, entry, def line, min and max arguments, parameters, other locals,
// the parameter that must be exactly a str, body.
const FunctionSpec read_url_spec{
    "read_url", "velka.read_url", 12, 2, 4, {"session", "url", "data", "files"},
    {"fps", "content", "response", "file_id", "file_name", "e", "h"}, 1, read_url};
const FunctionSpec get_ident_text_spec{
    "get_ident_text", "velka.get_ident_text", 105, 3, 3, {"soup", "vars", "attr"},
    {"elem", "e"}, -1, get_ident_text};
const FunctionSpec get_attr_value_spec{
    "get_attr_value", "velka.get_attr_value", 114, 3, 4, {"soup", "vars", "attr", "attr_name"},
    {"elem", "e"}, -1, get_attr_value};
const FunctionSpec envoi_tournoi_spec{
    "envoi_tournoi", "velka.envoi_tournoi", 128, 4, 4, {"nohom", "pwd", "fname", "f_visible"},
    {"vars", "url", "session", "html", "soup", "data_post", "visibilty_state"}, -1,
    envoi_tournoi};
const FunctionSpec get_tournoi_list_spec{
    "get_tournoi_list", "velka.get_tournoi_list", 198, 1, 1, {"tournoi_list_full_name"},
    {"dict_trn", "file1", "Lines", "count", "line", "tfld", "tournoi_fname", "disp"}, -1,
    get_tournoi_list};
const FunctionSpec page_ffe_spec{
    "page_ffe", "velka.page_ffe", 227, 1, 1, {"tournoi_list_full_name"},
    {"file1", "line", "tfld", "f_visible", "e"}, -1, page_ffe};
const FunctionSpec get_page_test_spec{
    "get_page_test", "velka.get_page_test", 257, 0, 0, {},
    {"url", "session", "html", "soup", "lines", "result"}, -1, get_page_test};
const FunctionSpec main_func_spec{
    "main_func", "velka.main_func", 271, 0, 0, {}, {"cmd"}, -1, main_func};

int bind(PyObject* name, Arg value) {
    if (!value.get()) return -1;
    return PyDict_SetItem(state.globals.get(), name, value.get());
}

// import name, ...
int import_modules(std::initializer_list<PyObject*> names) {
    for (PyObject* name : names) {
        Ref module = Ref::steal(
            PyImport_ImportModuleLevelObject(name, state.globals.get(), nullptr, nullptr, 0));
        if (bind(name, module) < 0) return -1;
    }
    return 0;
}

// One name of a from-import: the package's attribute, else its submodule of
// that name when sys.modules holds it.
Ref imported_name(PyObject* package, PyObject* name) {
    Ref value = attr(package, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    PyObject* package_name = PyModule_GetNameObject(package);
    if (package_name) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name, name));
        Py_DECREF(package_name);
        if (full_name) value = Ref::steal(PyImport_GetModule(full_name.get()));
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// from package import name, ...
int import_from(PyObject* package_name, std::initializer_list<PyObject*> names) {
    Ref from_list = Ref::steal(PyList_New(0));
    if (!from_list) return -1;
    for (PyObject* name : names) {
        if (PyList_Append(from_list.get(), name) < 0) return -1;
    }
    Ref package = Ref::steal(PyImport_ImportModuleLevelObject(
        package_name, state.globals.get(), nullptr, from_list.get(), 0));
    if (!package) return -1;
    for (PyObject* name : names) {
        if (bind(name, imported_name(package.get(), name)) < 0) return -1;
    }
    return 0;
}

// def name(...): the function object with its defaults and annotations.
int define(const FunctionSpec& spec, Arg defaults, Arg annotations) {
    if (!defaults.get() || !annotations.get()) return -1;
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name) return -1;
    return bind(name.get(), make_function(spec, defaults.get(), annotations.get()));
}

int define(const FunctionSpec& spec) { return define(spec, Py_None, new_dict()); }

Ref tuple_of(Args items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (Arg item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item.get()));
    return tuple;
}

Ref url_annotation() {
    Ref annotations = new_dict();
    if (set_item(annotations, s.url, s.str) < 0) return {};
    return annotations;
}

// Warns when the running interpreter is not the one the module was built for.
int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(
        nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
        PY_MAJOR_VERSION, PY_MINOR_VERSION, "velka", "does not match", major, minor);
}

// Keeps a built-in, so that rebinding its name later changes nothing we call.
int keep_builtin(Ref& kept, PyObject* name) {
    kept = Ref::steal(PyObject_GetAttr(state.builtins.get(), name));
    if (kept) return 0;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return -1;
}

// Set when this execution added sys.modules["velka"], so a failure can take it back.
bool added_module_entry = false;

int enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, s.velka);
    if (entry || PyErr_Occurred()) return entry ? 0 : -1;
    if (PyDict_SetItem(modules, s.velka, module) < 0) return -1;
    added_module_entry = true;
    return 0;
}

void withdraw_from_sys_modules(PyObject* module) {
    if (!added_module_entry) return;
    added_module_entry = false;
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, s.velka) == module) PyDict_DelItem(modules, s.velka);
    PyErr_SetRaisedException(raised);  // a failure to withdraw yields to the load's own
}

// Execution steps 3 to 11; `line` is that of the statement under way, 0
// while no traceback entry is due.
int execute(PyObject* module, int& line) {
    line = 0;
    state.globals = Ref::borrow(PyModule_GetDict(module));
    state.builtins = Ref::borrow(PyImport_AddModule("builtins"));
    if (!state.globals || !state.builtins) return -1;
    watch_globals();
    if (PyObject_SetAttrString(module, "__builtins__", state.builtins.get()) < 0) return -1;
    if (check_version() < 0) return -1;
    if (make_constants() < 0) return -1;

    line = 2;
    if (enter_in_sys_modules(module) < 0) return -1;
    if (keep_builtin(state.open, s.open) < 0 || keep_builtin(state.print, s.print) < 0 ||
        keep_builtin(state.map, s.map) < 0)
        return -1;
    if (make_call_constants() < 0 || ready_function_type() < 0) return -1;

    line = 3;  // import sys, os
    if (import_modules({s.sys, s.os}) < 0) return -1;
    line = 7;  // from requests import Session, Response
    if (import_from(s.requests, {s.Session, s.Response}) < 0) return -1;
    line = 8;  // from bs4 import BeautifulSoup
    if (import_from(s.bs4, {s.BeautifulSoup}) < 0) return -1;
    line = 9;  // import pathlib
    if (import_modules({s.pathlib}) < 0) return -1;
    line = 12;  // def read_url(session, url: str, data=None, files=None)
    if (define(read_url_spec, tuple_of({Py_None, Py_None}), url_annotation()) < 0) return -1;
    for (const SiteConstant& constant : site_constants) {
        line = constant.line;  // ADMIN_FFE_URL = "http://..." and the form names
        if (bind(s.*constant.name, Ref::steal(PyUnicode_FromString(constant.value))) < 0)
            return -1;
    }
    line = 105;  // def get_ident_text(soup, vars, attr)
    if (define(get_ident_text_spec) < 0) return -1;
    line = 114;  // def get_attr_value(soup, vars, attr, attr_name="name")
    if (define(get_attr_value_spec, tuple_of({s.name}), new_dict()) < 0) return -1;
    line = 128;  // def envoi_tournoi(nohom, pwd, fname, f_visible)
    if (define(envoi_tournoi_spec) < 0) return -1;
    line = 198;  // def get_tournoi_list(tournoi_list_full_name)
    if (define(get_tournoi_list_spec) < 0) return -1;
    line = 227;  // def page_ffe(tournoi_list_full_name)
    if (define(page_ffe_spec) < 0) return -1;
    line = 257;  // def get_page_test()
    if (define(get_page_test_spec) < 0) return -1;
    line = 271;  // def main_func()
    if (define(main_func_spec) < 0) return -1;

    line = 285;  // if __name__ == "__main__":
    int is_main = truth(compare(global(s.dunder_name), s.dunder_main, Py_EQ));
    if (is_main < 0) return -1;
    if (is_main) {
        line = 286;  //     main_func()
        if (!call(global(s.main_func), {})) return -1;
    }
    line = 2;  // __test__ = {}
    return bind(s.dunder_test, new_dict());
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module.get() == module) return 0;  // loaded already: nothing runs twice
        // Refused without touching the module already loaded or its reference.
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'velka' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    state.module = Ref::borrow(module);
    int line = 0;
    if (execute(module, line) == 0) return 0;

    if (line > 0) add_traceback("init velka", line);
    withdraw_from_sys_modules(module);
    state.module = Ref();
    state.globals = Ref();
    watch_globals();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init velka");
    return -1;
}

// Copies spec.<from> to the module's <to>; a spec without it leaves it out.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool none_too) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!none_too && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter_id == -1) {
        state.interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module.get());

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__",
                            false) < 0)
        return nullptr;
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "velka", nullptr, 0, no_methods, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace velka

PyMODINIT_FUNC PyInit_velka() { return PyModuleDef_Init(&velka::module_definition); }
