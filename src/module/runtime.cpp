#include "module/runtime.hpp"

#include "module/function.hpp"

#include <frameobject.h>  // PyFrame_New, for traceback entries

#include <array>
#include <cassert>
#include <cstdint>

namespace velka {

namespace {

constexpr std::size_t max_call_args = 8;

// Every operand there. An operation without operands checks for a raised
// exception itself (global, new_dict); one with operands is only reached
// through them, so the check is left to debug builds, for its cost.
bool ready(Args operands) {
    for (Arg operand : operands) {
        if (!operand.get()) return false;
    }
    assert(!PyErr_Occurred());
    return true;
}

bool nothing_raised() { return !PyErr_Occurred(); }

// Collects the operands of a call behind one free slot, as vectorcall wants;
// false when one of them is empty (its failure is already raised).
bool gather(Args args, std::array<PyObject*, max_call_args + 1>& slots, std::size_t first) {
    assert(first + args.size() <= slots.size());
    if (!ready(args)) return false;
    std::size_t i = first;
    for (Arg arg : args) slots[i++] = arg.get();
    return true;
}

Ref vectorcall(Arg callable, Args args, PyObject* keyword_names) {
    std::array<PyObject*, max_call_args + 1> slots{};
    if (!callable.get() || !gather(args, slots, 1)) return {};
    Py_ssize_t keywords = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    std::size_t positional = args.size() - static_cast<std::size_t>(keywords);
    if (!keyword_names) {  // one module function calling another: no tuple
        Ref result = call_module_function(callable.get(), slots.data() + 1,
                                          static_cast<Py_ssize_t>(positional));
        if (result || PyErr_Occurred()) return result;
    }
    return Ref::steal(PyObject_Vectorcall(callable.get(), slots.data() + 1,
                                          positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          keyword_names));
}

Ref vectorcall_method(Arg object, PyObject* name, Args args, PyObject* keyword_names) {
    std::array<PyObject*, max_call_args + 1> slots{};
    if (!object.get() || !gather(args, slots, 1)) return {};
    slots[0] = object.get();
    Py_ssize_t keywords = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    std::size_t positional = 1 + args.size() - static_cast<std::size_t>(keywords);
    return Ref::steal(PyObject_VectorcallMethod(name, slots.data(), positional, keyword_names));
}

}  // namespace

Ref none() { return Ref::borrow(Py_None); }

Ref new_dict() {
    if (!nothing_raised()) return {};
    return Ref::steal(PyDict_New());
}

namespace {

// The module globals looked up since the globals last changed, by name (the
// module's own interned identifiers). A dict watcher empties it before any
// change to the globals, so a caller's rebinding is seen at the next use,
// as with a look-up every time. Direct-mapped: a clash only costs a look-up.
struct GlobalSlot {
    PyObject* name;
    PyObject* value;  // borrowed: the watcher drops it before the dict does
};
std::array<GlobalSlot, 64> global_slots{};
bool caching_globals = false;
int globals_watcher = -1;

GlobalSlot& slot_of(PyObject* name) {
    return global_slots[(reinterpret_cast<std::uintptr_t>(name) >> 4) % global_slots.size()];
}

int forget_globals(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    global_slots.fill({});
    return 0;
}

}  // namespace

void watch_globals() {
    global_slots.fill({});
    caching_globals = false;
    if (!state.globals) return;
    if (globals_watcher < 0) globals_watcher = PyDict_AddWatcher(forget_globals);
    caching_globals =
        globals_watcher >= 0 && PyDict_Watch(globals_watcher, state.globals.get()) == 0;
    // Without a watcher (the interpreter has a few only), look up every time.
    if (!caching_globals) PyErr_Clear();
}

Ref global(PyObject* name) {
    if (!nothing_raised()) return {};
    GlobalSlot& slot = slot_of(name);
    if (caching_globals && slot.name == name) return Ref::borrow(slot.value);
    PyObject* value = PyDict_GetItemWithError(state.globals.get(), name);
    if (value && caching_globals) slot = {name, value};
    if (!value && !PyErr_Occurred())
        value = PyDict_GetItemWithError(PyModule_GetDict(state.builtins.get()), name);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref attr(Arg object, PyObject* name) {
    if (!ready({object})) return {};
    return Ref::steal(PyObject_GetAttr(object.get(), name));
}

Ref call(Arg callable, Args args) { return vectorcall(callable, args, nullptr); }

Ref call_kw(Arg callable, Args args, const Ref& keyword_names) {
    return vectorcall(callable, args, keyword_names.get());
}

Ref call_method(Arg object, PyObject* name, Args args) {
    return vectorcall_method(object, name, args, nullptr);
}

Ref call_method_kw(Arg object, PyObject* name, Args args, const Ref& keyword_names) {
    return vectorcall_method(object, name, args, keyword_names.get());
}

Ref print(Args args) { return call(state.print, args); }

Ref str(Arg object) {
    if (!ready({object})) return {};
    return Ref::steal(PyObject_Str(object.get()));
}

Ref repr(Arg object) {
    if (!ready({object})) return {};
    return Ref::steal(PyObject_Repr(object.get()));
}

Ref add(Arg left, Arg right) {
    if (!ready({left, right})) return {};
    return Ref::steal(PyNumber_Add(left.get(), right.get()));
}

Ref compare(Arg left, Arg right, int op) {
    if (!ready({left, right})) return {};
    // Two exact str compare by their text, and cannot fail.
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(left.get()) &&
        PyUnicode_CheckExact(right.get())) {
        bool equal = PyUnicode_Compare(left.get(), right.get()) == 0;
        return Ref::borrow(equal == (op == Py_EQ) ? Py_True : Py_False);
    }
    return Ref::steal(PyObject_RichCompare(left.get(), right.get(), op));
}

Ref join_formatted(Args parts) {
    if (!ready(parts)) return {};
    Ref joined = Ref::borrow(s.empty);
    for (Arg part : parts) {
        Ref text = Ref::steal(PyObject_Format(part.get(), s.empty));
        if (!text) return {};
        joined = Ref::steal(PyUnicode_Concat(joined.get(), text.get()));
        if (!joined) return {};
    }
    return joined;
}

int truth(Arg object) {
    if (!ready({object})) return -1;
    return PyObject_IsTrue(object.get());
}

Ref item(Arg object, Arg key) {
    if (!ready({object, key})) return {};
    return Ref::steal(PyObject_GetItem(object.get(), key.get()));
}

Ref item_at(Arg sequence, Py_ssize_t index) {
    if (!ready({sequence})) return {};
    return Ref::steal(PySequence_GetItem(sequence.get(), index));
}

int set_item(Arg object, Arg key, Arg value) {
    if (!ready({object, key, value})) return -1;
    return PyObject_SetItem(object.get(), key.get(), value.get());
}

Ref iterate(Arg iterable) {
    if (!ready({iterable})) return {};
    return Ref::steal(PyObject_GetIter(iterable.get()));
}

int next(Arg iterator, Ref& item) {
    if (!ready({iterator})) return -1;
    item = Ref::steal(PyIter_Next(iterator.get()));
    if (item) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

int unpack_pair(Arg pair, Ref& first, Ref& second) {
    Ref iterator = iterate(pair);
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(pair.get())->tp_name);
        }
        return -1;
    }
    Ref extra;
    int got = 0;
    for (Ref* target : {&first, &second, &extra}) {
        int more = next(iterator, *target);
        if (more < 0) return -1;
        if (more == 0) break;
        ++got;
    }
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
        return -1;
    }
    if (got > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return 0;
}

namespace {

// The code objects of the entries, made once per (name, line): the names
// are the module's own literals, and the lines a few dozen at most. Past
// the table's size an entry's code object is made each time.
struct EntryCode {
    const char* name;
    int line;
    PyCodeObject* code;  // kept for the process
};
std::array<EntryCode, 160> entry_codes{};
std::size_t entry_codes_used = 0;

// A new reference to the code object of the entry.
PyCodeObject* entry_code(const char* name, int line) {
    for (std::size_t i = 0; i < entry_codes_used; ++i) {
        const EntryCode& entry = entry_codes[i];
        if (entry.line == line && entry.name == name) return reinterpret_cast<PyCodeObject*>(Py_NewRef(entry.code));
    }
    PyCodeObject* code = PyCode_NewEmpty("velkax", name, line);
    if (code && entry_codes_used < entry_codes.size()) {
        entry_codes[entry_codes_used++] = {name, line, reinterpret_cast<PyCodeObject*>(Py_NewRef(code))};
    }
    return code;
}

}  // namespace

void add_traceback(const char* name, int line) {
    // Nothing raised means nothing to add to; the interpreter reports the
    // failure without an exception itself, where adding the entry would crash.
    if (!PyErr_Occurred() || !state.globals) return;
    // The code object and frame are made with the exception put aside, then
    // the entry goes onto it; a failure to make them loses only the entry.
    PyObject* raised = PyErr_GetRaisedException();
    PyCodeObject* code = entry_code(name, line);
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), code, state.globals.get(), nullptr) : nullptr;
    Py_XDECREF(code);
    PyErr_SetRaisedException(raised);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

Handler::Handler(PyObject* catches, PyObject* lets_through) {
    assert(PyErr_Occurred());
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    bool caught = PyErr_GivenExceptionMatches(raised.get(), catches) &&
                  !(lets_through && PyErr_GivenExceptionMatches(raised.get(), lets_through));
    if (!caught) {
        PyErr_SetRaisedException(raised.release());
        return;
    }
    caught_ = std::move(raised);
    previously_handled_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(caught_.get());
}

Handler::~Handler() {
    if (caught_) PyErr_SetHandledException(previously_handled_.get());
}

Failed Handler::reraise() const {
    PyErr_SetRaisedException(Py_NewRef(caught_.get()));
    return {};
}

PyObject* exit_exceptions() { return state.exit_exceptions.get(); }

}  // namespace velka
