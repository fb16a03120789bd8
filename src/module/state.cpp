#include "module/state.hpp"

#include <new>

namespace velka {

namespace {
// Placement in static storage, never destroyed: its references must outlive
// the interpreter, and the module needs no C++ run-time library for it.
alignas(State) unsigned char state_storage[sizeof(State)];
}  // namespace

State& state = *new (state_storage) State;
const Strings& s = state.s;

namespace {

int make_strings(Strings& strings) {
#define VELKA_MAKE(name) \
    if (!(strings.name = PyUnicode_InternFromString(#name))) return -1;
#define VELKA_MAKE_TEXT(name, text) \
    if (!(strings.name = PyUnicode_FromString(text))) return -1;
    VELKA_IDENTIFIERS(VELKA_MAKE)
    VELKA_TEXTS(VELKA_MAKE_TEXT)
#undef VELKA_MAKE
#undef VELKA_MAKE_TEXT
    return 0;
}

Ref names_tuple(std::initializer_list<PyObject*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(name));
    return tuple;
}

}  // namespace

int make_constants() {
    if (state.constants_made) return 0;
    if (make_strings(state.s) < 0) return -1;
    state.zero = Ref::steal(PyLong_FromLong(0));
    state.one = Ref::steal(PyLong_FromLong(1));
    if (!state.zero || !state.one) return -1;
    state.constants_made = true;
    return 0;
}

int make_call_constants() {
    if (state.call_constants_made) return 0;
    state.kw_data_files = names_tuple({s.data, s.files});
    state.kw_files = names_tuple({s.files});
    state.kw_id = names_tuple({s.id});
    state.kw_attrs = names_tuple({s.attrs});
    state.exit_exceptions = names_tuple({PyExc_KeyboardInterrupt, PyExc_SystemExit});
    if (!state.kw_data_files || !state.kw_files || !state.kw_id || !state.kw_attrs ||
        !state.exit_exceptions)
        return -1;
    state.str_strip = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), s.strip));
    if (!state.str_strip) return -1;
    state.call_constants_made = true;
    return 0;
}

}  // namespace velka
