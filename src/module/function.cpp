#include "module/function.hpp"

#include "module/binding.hpp"
#include "module/runtime.hpp"

#include <cstddef>

namespace velka {

namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* globals;   // the dict it was made with, read by its calls
    PyObject* builtins;  // the built-ins' dict, read after the globals
    PyObject* code;
    PyObject* parameter_names;  // the first co_varnames, for keyword binding
    PyObject* weakrefs;
};

PyTypeObject* function_type() {
    return reinterpret_cast<PyTypeObject*>(state.function_type.get());
}

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* function = as_function(self);
    Frame frame(function->globals, function->builtins);
    Bound bound;
    if (bind_arguments(*function->spec, function->parameter_names, function->defaults, args,
                       kwargs, bound) < 0)
        return nullptr;
    return function->spec->body(bound).release();
}

// The references a function object owns, visited and cleared alike.
// clang-format off
#define VELKA_OWNED_FIELDS(X)                                                       \
    X(name) X(qualname) X(module) X(doc) X(defaults) X(kwdefaults) X(annotations) \
    X(globals) X(builtins) X(code) X(parameter_names)
// clang-format on

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
#define VELKA_VISIT(field) Py_VISIT(function->field);
    VELKA_OWNED_FIELDS(VELKA_VISIT)
#undef VELKA_VISIT
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
#define VELKA_CLEAR(field) Py_CLEAR(function->field);
    VELKA_OWNED_FIELDS(VELKA_CLEAR)
#undef VELKA_CLEAR
    return 0;
}

#undef VELKA_OWNED_FIELDS

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// As a Python function: stored on a class, it binds as a method.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// Pickled, copied and deep-copied by reference: the module's attribute of
// that name, as the interpreter does for its own functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define VELKA_FIELD(attribute, field) \
    {attribute, Py_T_OBJECT_EX, offsetof(FunctionObject, field), Py_READONLY, nullptr}

PyMemberDef function_members[] = {
    VELKA_FIELD("__name__", name),
    VELKA_FIELD("__qualname__", qualname),
    VELKA_FIELD("__module__", module),
    VELKA_FIELD("__doc__", doc),
    VELKA_FIELD("__defaults__", defaults),
    VELKA_FIELD("__kwdefaults__", kwdefaults),
    VELKA_FIELD("__annotations__", annotations),
    VELKA_FIELD("__globals__", globals),
    VELKA_FIELD("__code__", code),
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef VELKA_FIELD

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    // tp_call and not vectorcall: the module's own message for keywords that
    // are not strings is only reachable when the dict arrives untouched.
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velka.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref text_tuple(const char* const* names, std::size_t count) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return {};
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

// A code object for introspection only: names, argument count, variable
// names, flags (optimised, new locals). Its body is the running
// interpreter's own empty one, which raises AssertionError when executed,
// so that exec() or a function made from it fails cleanly.
Ref make_code(const FunctionSpec& spec) {
    const char* names[max_parameters + 8];
    std::size_t count = 0;
    for (int i = 0; i < spec.max_args; ++i) names[count++] = spec.parameters[i];
    for (const char* local : spec.other_locals) {
        if (!local) break;
        names[count++] = local;
    }
    Ref empty = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty("velkax", spec.name(), spec.def_line)));
    if (!empty) return {};
    // The empty code's own body and tables, under this function's names.
    auto field = [&](const char* name) {
        return PyErr_Occurred() ? Ref() : Ref::steal(PyObject_GetAttrString(empty.get(), name));
    };
    Ref bytecode = field("co_code");
    Ref consts = field("co_consts");
    Ref names_used = field("co_names");
    Ref linetable = field("co_linetable");
    Ref exceptiontable = field("co_exceptiontable");
    Ref varnames = bytecode && consts && names_used && linetable && exceptiontable
                       ? text_tuple(names, count)
                       : Ref();
    Ref no_names = varnames ? Ref::steal(PyTuple_New(0)) : Ref();
    if (!no_names) return {};
    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(empty.get());
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_New(
        spec.max_args, 0, static_cast<int>(count), code->co_stacksize,
        CO_OPTIMIZED | CO_NEWLOCALS, bytecode.get(), consts.get(), names_used.get(),
        varnames.get(), no_names.get(), no_names.get(), code->co_filename, code->co_name,
        code->co_qualname, spec.def_line, linetable.get(), exceptiontable.get())));
}

// None, or the tuple of the last parameters' defaults.
Ref make_defaults(const FunctionSpec& spec) {
    if (spec.min_args == spec.max_args) return Ref::borrow(Py_None);
    Ref tuple = Ref::steal(PyTuple_New(spec.max_args - spec.min_args));
    if (!tuple) return {};
    for (int i = 0; i < spec.max_args - spec.min_args; ++i) {
        const char* text = spec.defaults[static_cast<std::size_t>(i)];
        PyObject* value = text ? PyUnicode_InternFromString(text) : Py_NewRef(Py_None);
        if (!value) return {};
        PyTuple_SET_ITEM(tuple.get(), i, value);
    }
    return tuple;
}

// {"url": "str"} for the parameter that must be a str; empty otherwise.
Ref make_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || spec.str_parameter < 0) return annotations;
    const char* parameter = spec.parameters[static_cast<std::size_t>(spec.str_parameter)];
    Ref type_name = Ref::steal(PyUnicode_InternFromString("str"));
    if (!type_name || PyDict_SetItemString(annotations.get(), parameter, type_name.get()) < 0)
        return {};
    return annotations;
}

}  // namespace

int ready_function_type() {
    if (state.function_type) return 0;
    state.function_type = Ref::steal(PyType_FromSpec(&function_spec));
    return state.function_type ? 0 : -1;
}

Ref make_function(const FunctionSpec& spec) {
    const Frame* frame = current_frame();  // the module's statements: their globals
    if (!frame) {
        PyErr_SetString(PyExc_SystemError, "velka: function made outside the module's statements");
        return {};
    }
    Ref parameter_names = text_tuple(spec.parameters.data(), static_cast<std::size_t>(spec.max_args));
    Ref code = make_code(spec);
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name()));
    Ref defaults = make_defaults(spec);
    Ref annotations = make_annotations(spec);
    if (!parameter_names || !code || !name || !defaults || !annotations) return {};
    FunctionObject* function = PyObject_GC_New(FunctionObject, function_type());
    if (!function) return {};
    function->spec = &spec;
    function->name = Py_NewRef(name.get());
    function->qualname = name.release();
    function->module = Py_NewRef(s.velka);
    function->doc = Py_NewRef(Py_None);
    function->defaults = defaults.release();
    function->kwdefaults = Py_NewRef(Py_None);
    function->annotations = annotations.release();
    function->globals = Py_NewRef(frame->globals());
    function->builtins = Py_NewRef(frame->builtins());
    function->code = code.release();
    function->parameter_names = parameter_names.release();
    function->weakrefs = nullptr;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace velka
