#include "module/runtime.hpp"

#include "module/function.hpp"

#include <frameobject.h>  // PyFrame_New, for traceback entries

#include <array>
#include <cassert>
#include <utility>

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

// A C API operation of one operand that returns a new reference.
Ref unary(PyObject* (*operation)(PyObject*), Arg operand) {
    if (!ready({operand})) return {};
    return Ref::steal(operation(operand.get()));
}

// The operands of one call as vectorcall takes them: a free slot (which the
// callee may borrow to prepend an argument), then `self` when there is one,
// then `args`; the call reads from the slot after the free one.
using Slots = std::array<PyObject*, max_call_args + 2>;

// Lays the operands out in `slots`; the call's nargsf (positional count with
// the offset flag, never 0), or 0 when an operand is empty (its failure is
// already raised).
std::size_t lay_out(Slots& slots, PyObject* self, Args args, PyObject* keyword_names) {
    if (!ready(args)) return 0;
    std::size_t first = self ? 2 : 1;
    // Checked in every build: a call written with more operands than the
    // array holds is a fault of ours, to report and not to write past.
    if (first + args.size() > slots.size()) {
        PyErr_SetString(PyExc_SystemError, "velka: too many arguments for one call");
        return 0;
    }
    slots[0] = nullptr;
    slots[1] = self;
    std::size_t i = first;
    for (Arg arg : args) slots[i++] = arg.get();
    std::size_t keywords = keyword_names ? static_cast<std::size_t>(PyTuple_GET_SIZE(keyword_names)) : 0;
    return (i - 1 - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET;
}

// callable(self, *args), or callable(*args) without self; the last
// len(keyword_names) arguments by keyword.
Ref vectorcall(PyObject* callable, PyObject* self, Args args, PyObject* keyword_names) {
    Slots slots;  // as many as the call fills
    std::size_t nargsf = callable ? lay_out(slots, self, args, keyword_names) : 0;
    if (nargsf == 0) return {};
    // Held for the call: a kept built-in may be replaced by a load the call
    // itself brings about.
    Ref held = Ref::borrow(callable);
    return Ref::steal(PyObject_Vectorcall(callable, slots.data() + 1, nargsf, keyword_names));
}

Ref vectorcall_method(Arg object, PyObject* name, Args args, PyObject* keyword_names) {
    Slots slots;  // as many as the call fills
    std::size_t nargsf = object.get() ? lay_out(slots, object.get(), args, keyword_names) : 0;
    if (nargsf == 0) return {};
    return Ref::steal(PyObject_VectorcallMethod(name, slots.data() + 1, nargsf, keyword_names));
}

}  // namespace

Ref none() { return Ref::borrow(Py_None); }

Ref new_dict() {
    if (!nothing_raised()) return {};
    return Ref::steal(PyDict_New());
}

constinit thread_local const Frame* frame_in_force = nullptr;

Ref global(PyObject* name) {
    if (!nothing_raised()) return {};
    const Frame* frame = frame_in_force;
    if (!frame) {
        PyErr_SetString(PyExc_SystemError, "velka: global look-up outside a module function");
        return {};
    }
    // The value is owned before anything else can run and rebind the name.
    PyObject* value = PyDict_GetItemWithError(frame->globals(), name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(frame->builtins(), name);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref attr(Arg object, PyObject* name) {
    if (!ready({object})) return {};
    return Ref::steal(PyObject_GetAttr(object.get(), name));
}

Ref call(Arg callable, Args args) { return vectorcall(callable.get(), nullptr, args, nullptr); }

Ref call_kw(Arg callable, Args args, const Ref& keyword_names) {
    return vectorcall(callable.get(), nullptr, args, keyword_names.get());
}

Ref call_method(Arg object, PyObject* name, Args args) {
    return vectorcall_method(object, name, args, nullptr);
}

Ref call_method_kw(Arg object, PyObject* name, Args args, const Ref& keyword_names) {
    return vectorcall_method(object, name, args, keyword_names.get());
}

Method::Method(Arg object, PyObject* name) {
    if (!ready({object})) return;
    PyObject* found = nullptr;
    // The interpreter's private look-up for a method call (the C API has no
    // public one): what `object.name(...)` in Python finds, once, without
    // the bound method that PyObject_GetAttr would make at every call. For
    // the per-call figure: get_attr_value's soup.find.
    int unbound = _PyObject_GetMethod(object.get(), name, &found);
    callable_ = Ref::steal(found);
    if (callable_ && unbound) self_ = Ref::borrow(object.get());
}

Ref Method::call_kw(Args args, const Ref& keyword_names) const {
    return vectorcall(callable_.get(), self_.get(), args, keyword_names.get());
}

Ref print(Args args) { return call(state.print, args); }

Ref str(Arg object) { return unary(PyObject_Str, object); }

Ref repr(Arg object) { return unary(PyObject_Repr, object); }

Ref add(Arg left, Arg right) {
    if (!ready({left, right})) return {};
    return Ref::steal(PyNumber_Add(left.get(), right.get()));
}

Ref add_in_place(Arg left, Arg right) {
    if (!ready({left, right})) return {};
    return Ref::steal(PyNumber_InPlaceAdd(left.get(), right.get()));
}

namespace {

// Two exact str compare by their text, and cannot fail; the same object or
// another length decides at once. -1 when the operands are not both exact
// str, or op is no equality test. What the interpreter's str comparison
// gives, without the dispatch and the bool object between: for the per-call
// figure (get_attr_value's attr_name == "id") and the list readers' tests.
int str_equality(PyObject* left, PyObject* right, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyUnicode_CheckExact(left) || !PyUnicode_CheckExact(right))
        return -1;
    bool equal = left == right || (PyUnicode_GET_LENGTH(left) == PyUnicode_GET_LENGTH(right) &&
                                   PyUnicode_Compare(left, right) == 0);
    return equal == (op == Py_EQ);
}

}  // namespace

Ref compare(Arg left, Arg right, int op) {
    if (!ready({left, right})) return {};
    int known = str_equality(left.get(), right.get(), op);
    if (known >= 0) return Ref::borrow(known ? Py_True : Py_False);
    return Ref::steal(PyObject_RichCompare(left.get(), right.get(), op));
}

int compares(Arg left, Arg right, int op) {
    if (!ready({left, right})) return -1;
    int known = str_equality(left.get(), right.get(), op);
    if (known >= 0) return known;
    Ref result = Ref::steal(PyObject_RichCompare(left.get(), right.get(), op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

Ref dict_of(Arg key, Arg value) {
    if (!ready({key, value})) return {};
    Ref dict = Ref::steal(PyDict_New());
    if (dict && PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
    return dict;
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
    // What PyObject_SetItem comes to for an exact dict, without its two
    // hops: for the per-call figure (get_attr_value's vars[attr] = elem).
    if (PyDict_CheckExact(object.get())) return PyDict_SetItem(object.get(), key.get(), value.get());
    return PyObject_SetItem(object.get(), key.get(), value.get());
}

Ref iterate(Arg iterable) { return unary(PyObject_GetIter, iterable); }

Ref to_list(Arg iterable) { return unary(PySequence_List, iterable); }

int next(Arg iterator, Ref& item) {
    if (!ready({iterator})) return -1;
    item = Ref::steal(PyIter_Next(iterator.get()));
    if (item) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

int unpack_pair(Arg pair, Ref& first, Ref& second) {
    Ref iterator = iterate(pair);
    if (!iterator) {
        // Renamed only for an object that cannot be iterated at all, as the
        // interpreter's unpacking does; any other error keeps its own text.
        PyTypeObject* type = Py_TYPE(pair.get());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter &&
            !PySequence_Check(pair.get())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         type->tp_name);
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

// A new reference to the code object of the entry.
PyCodeObject* entry_code(const char* name, int line) {
    for (std::size_t i = 0; i < state.entry_codes_used; ++i) {
        const EntryCode& entry = state.entry_codes[i];
        if (entry.line == line && entry.name == name)
            return reinterpret_cast<PyCodeObject*>(Py_NewRef(entry.code.get()));
    }
    PyCodeObject* code = PyCode_NewEmpty("velkax", name, line);
    if (code && state.entry_codes_used < state.entry_codes.size()) {
        state.entry_codes[state.entry_codes_used++] = {
            name, line, Ref::borrow(reinterpret_cast<PyObject*>(code))};
    }
    return code;
}

}  // namespace

void add_traceback(const char* name, int line) {
    // Nothing raised means nothing to add to; the interpreter reports the
    // failure without an exception itself, where adding the entry would crash.
    const Frame* in_force = current_frame();
    if (!PyErr_Occurred() || !in_force) return;
    // The code object and frame are made with the exception put aside, then
    // the entry goes onto it; a failure to make them loses only the entry.
    PyObject* raised = PyErr_GetRaisedException();
    PyCodeObject* code = entry_code(name, line);
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), code, in_force->globals(), nullptr) : nullptr;
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
    // Saved and restored in the thread state's own stack item, as the
    // interpreter's except blocks do. PyErr_GetHandledException would give
    // an outer frame's exception when this one handles none (in a generator
    // started inside an except block), and restoring that would leave it
    // behind in this frame once the outer block has ended.
    stack_item_ = PyThreadState_Get()->exc_info;
    previously_handled_ =
        Ref::steal(std::exchange(stack_item_->exc_value, Py_NewRef(caught_.get())));
}

Handler::~Handler() {
    if (!caught_) return;
    Ref handled = Ref::steal(std::exchange(stack_item_->exc_value, previously_handled_.release()));
}

Failed Handler::reraise() const {
    PyErr_SetRaisedException(Py_NewRef(caught_.get()));
    return {};
}

Failed raise_error(PyObject* type, Arg value) {
    if (value.get()) PyErr_SetObject(type, value.get());
    return {};
}

PyObject* exit_exceptions() { return state.exit_exceptions.get(); }

}  // namespace velka
