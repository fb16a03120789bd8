// The module velka: its definition, the creation and execution steps, and the
// namespace they leave. Lines quoted are those of the module's statements;
// a failed load reports them in its "init velka" traceback entry.

#include "module/constants.hpp"
#include "module/function.hpp"
#include "module/functions.hpp"
#include "module/runtime.hpp"
#include "module/state.hpp"

#include <iterator>

namespace velka {

namespace {

// if __name__ == "__main__": after every def and site constant.
constexpr int main_guard_line = 285;

// The functions, in the order the module's statements define them.
// clang-format off
constexpr const FunctionSpec* module_functions[] = {
    &read_url_spec,         &get_ident_text_spec, &get_attr_value_spec, &envoi_tournoi_spec,
    &get_tournoi_list_spec, &page_ffe_spec,       &get_page_test_spec,  &main_func_spec,
};
// clang-format on

// The module's own dict, where its statements bind: that of the frame in
// force while they run.
PyObject* globals() { return current_frame()->globals(); }

int bind(PyObject* name, Arg value) {
    if (!value.get()) return -1;
    return PyDict_SetItem(globals(), name, value.get());
}

// import name, ...
int import_modules(std::initializer_list<PyObject*> names) {
    for (PyObject* name : names) {
        Ref module = Ref::steal(
            PyImport_ImportModuleLevelObject(name, globals(), nullptr, nullptr, 0));
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
        package_name, globals(), nullptr, from_list.get(), 0));
    if (!package) return -1;
    for (PyObject* name : names) {
        if (bind(name, imported_name(package.get(), name)) < 0) return -1;
    }
    return 0;
}

// def name(...): the function object, with the defaults and annotations
// its record gives.
int define(const FunctionSpec& spec) {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name()));
    if (!name) return -1;
    return bind(name.get(), make_function(spec));
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

// A built-in, kept so that rebinding its name later changes nothing we call.
Ref builtin(PyObject* builtins, PyObject* name) {
    Ref kept = Ref::steal(PyObject_GetAttr(builtins, name));
    if (!kept && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return kept;
}

// The three kept built-ins, replaced together or not at all, so that the
// functions of an earlier load never find one of them missing.
int keep_builtins(PyObject* builtins) {
    Ref open = builtin(builtins, s.open);
    if (!open) return -1;
    Ref print = builtin(builtins, s.print);
    if (!print) return -1;
    Ref map = builtin(builtins, s.map);
    if (!map) return -1;
    state.open = std::move(open);
    state.print = std::move(print);
    state.map = std::move(map);
    return 0;
}

int enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, s.velka);
    if (entry || PyErr_Occurred()) return entry ? 0 : -1;
    if (PyDict_SetItem(modules, s.velka, module) < 0) return -1;
    state.added_module_entry = true;
    return 0;
}

void withdraw_from_sys_modules(PyObject* module) {
    if (!state.added_module_entry) return;
    state.added_module_entry = false;
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, s.velka) == module) PyDict_DelItem(modules, s.velka);
    PyErr_SetRaisedException(raised);  // a failure to withdraw yields to the load's own
}

// Execution steps 3 to 11, run in a frame of the module's globals, which
// the functions it makes carry; `line` is that of the statement under way,
// 0 while no traceback entry is due.
int execute(PyObject* module, PyObject* builtins, int& line) {
    line = 0;
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
    if (check_version() < 0) return -1;
    if (make_constants() < 0) return -1;

    line = 2;
    if (enter_in_sys_modules(module) < 0) return -1;
    if (keep_builtins(builtins) < 0) return -1;
    if (make_call_constants() < 0 || ready_function_type() < 0) return -1;

    line = 3;  // import sys, os
    if (import_modules({s.sys, s.os}) < 0) return -1;
    line = 7;  // from requests import Session, Response
    if (import_from(s.requests, {s.Session, s.Response}) < 0) return -1;
    line = 8;  // from bs4 import BeautifulSoup
    if (import_from(s.bs4, {s.BeautifulSoup}) < 0) return -1;
    line = 9;  // import pathlib
    if (import_modules({s.pathlib}) < 0) return -1;
    // The functions and, between them by line, the site's constants
    // (ADMIN_FFE_URL = "http://..." and the form names).
    const SiteConstant* constant = std::begin(site_constants);
    auto bind_constants_before = [&](int limit) -> int {
        for (; constant != std::end(site_constants) && constant->line < limit; ++constant) {
            line = constant->line;
            if (bind(s.*constant->name, Ref::steal(PyUnicode_FromString(constant->value))) < 0)
                return -1;
        }
        return 0;
    };
    for (const FunctionSpec* spec : module_functions) {
        if (bind_constants_before(spec->def_line) < 0) return -1;
        line = spec->def_line;  // def name(...)
        if (define(*spec) < 0) return -1;
    }
    if (bind_constants_before(main_guard_line) < 0) return -1;

    line = main_guard_line;  // if __name__ == "__main__":
    int is_main = compares(global(s.dunder_name), s.dunder_main, Py_EQ);
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
    {
        Ref builtins = Ref::borrow(PyImport_AddModule("builtins"));
        PyObject* builtins_dict = builtins ? PyModule_GetDict(builtins.get()) : nullptr;
        Frame statements(PyModule_GetDict(module), builtins_dict);
        if (builtins_dict && execute(module, builtins.get(), line) == 0) return 0;
        // A step may fail with nothing raised (the interpreter's own type
        // creation does under memory exhaustion): the entry needs an exception.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init velka");
        if (line > 0) add_traceback("init velka", line);
    }
    withdraw_from_sys_modules(module);
    state.module = Ref();
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

// clang-format off
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "velka", nullptr, 0, no_methods, module_slots, nullptr, nullptr,
    nullptr,
};
// clang-format on

}  // namespace

}  // namespace velka

PyMODINIT_FUNC PyInit_velka() { return PyModuleDef_Init(&velka::module_definition); }
