#include "module/binding.hpp"

#include "module/runtime.hpp"

#include <cstddef>

namespace velka {

namespace {

// A short ASCII message built in place: PyErr_Format would spend more on
// its two numbers (through sprintf) than the rest of a wrong call costs.
class Message {
public:
    Message& operator<<(const char* text) {
        while (*text && size_ < sizeof(text_)) text_[size_++] = *text++;
        return *this;
    }
    Message& operator<<(Py_ssize_t number) {  // a count: never negative
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number > 0 && count < sizeof(digits));
        while (count > 0 && size_ < sizeof(text_)) text_[size_++] = digits[--count];
        return *this;
    }
    int raise(PyObject* type) const {
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(text_, static_cast<Py_ssize_t>(size_)));
        if (text) PyErr_SetObject(type, text.get());
        return -1;
    }

private:
    char text_[256];  // the function's name is short: nothing is cut
    std::size_t size_ = 0;
};

// "takes exactly/at least/at most N positional argument(s) (G given)"
int count_error(const FunctionSpec& spec, Py_ssize_t given) {
    const char* bound_word;
    Py_ssize_t expected;
    if (spec.min_args == spec.max_args) {
        bound_word = "exactly";
        expected = spec.min_args;
    } else if (given < spec.min_args) {
        bound_word = "at least";
        expected = spec.min_args;
    } else {
        bound_word = "at most";
        expected = spec.max_args;
    }
    return (Message() << spec.name() << "() takes " << bound_word << " " << expected
                      << " positional argument" << (expected == 1 ? "" : "s") << " (" << given
                      << " given)")
        .raise(PyExc_TypeError);
}

constexpr Py_ssize_t unmatched = -1;

// The parameter that a keyword names, by identity first and then by
// equality, as the interpreter binds keywords: a str subclass with a hash of
// its own still names its parameter. `unmatched` when it names none; -2
// with the error raised when the comparison fails.
Py_ssize_t parameter_named(const FunctionSpec& spec, PyObject* parameter_names, PyObject* key) {
    for (Py_ssize_t i = 0; i < spec.max_args; ++i) {
        if (PyTuple_GET_ITEM(parameter_names, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < spec.max_args; ++i) {
        int equal = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(parameter_names, i), Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return unmatched;
}

// Binds by the module's rules: positional arguments first; then each
// remaining parameter from the keyword that names it, a missing one without
// default being the count error; then the first keyword left over decides
// the error. The keywords are read from a snapshot of their items, since
// comparing a key may run code that changes the caller's dict.
int bind_with_parameters(const FunctionSpec& spec, PyObject* parameter_names, PyObject* defaults,
                         PyObject* args, PyObject* kwargs, Bound& bound) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (positional > spec.max_args || (keywords == 0 && positional < spec.min_args))
        return count_error(spec, positional);
    for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));

    PyObject* leftover = nullptr;  // the first keyword that fills nothing
    Py_ssize_t leftover_names = unmatched;
    Ref items = Ref::steal(keywords > 0 ? PyDict_Items(kwargs) : nullptr);
    if (keywords > 0 && !items) return -1;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* pair = PyList_GET_ITEM(items.get(), k);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        Py_ssize_t named = unmatched;
        if (PyUnicode_Check(key)) {
            named = parameter_named(spec, parameter_names, key);
            if (named == -2) return -1;
            if (named >= positional && !bound[named]) {
                bound[named] = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
                continue;
            }
        }
        if (!leftover) {
            leftover = key;
            leftover_names = named;
        }
    }
    for (Py_ssize_t i = positional; i < spec.max_args; ++i) {
        if (bound[i]) continue;
        if (i < spec.min_args) return count_error(spec, i);
        bound[i] = Ref::borrow(PyTuple_GET_ITEM(defaults, i - spec.min_args));
    }
    if (!leftover) return 0;
    if (!PyUnicode_Check(leftover)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name());
    } else if (leftover_names != unmatched) {  // filled already, by position or keyword
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     spec.name(), leftover);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name(),
                     leftover);
    }
    return -1;
}

int bind_without_parameters(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name());
        return -1;
    }
    if (PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", spec.name(),
                     PyTuple_GET_SIZE(args));
        return -1;
    }
    return 0;
}

// The argument that must be exactly a str (read_url's url): no entry.
int check_str_parameter(const FunctionSpec& spec, const Bound& bound) {
    if (spec.str_parameter < 0) return 0;
    PyObject* value = bound[spec.str_parameter].get();
    if (PyUnicode_CheckExact(value)) return 0;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 spec.parameters[spec.str_parameter], "str", Py_TYPE(value)->tp_name);
    return -1;
}

// A call by position with a count that spec accepts (between min_args and
// max_args): the arguments in order, then the defaults.
int bind_positions(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                   Py_ssize_t count, Bound& bound) {
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = Ref::borrow(args[i]);
    for (Py_ssize_t i = count; i < spec.max_args; ++i)
        bound[i] = Ref::borrow(PyTuple_GET_ITEM(defaults, i - spec.min_args));
    return check_str_parameter(spec, bound);
}

}  // namespace

int bind_arguments(const FunctionSpec& spec, PyObject* parameter_names, PyObject* defaults,
                   PyObject* args, PyObject* kwargs, Bound& bound) {
    if (spec.max_args == 0) return bind_without_parameters(spec, args, kwargs);
    // By position alone, with a count the function takes: nothing to match,
    // so the keyword matching is skipped (the per-call figure's calls).
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if ((!kwargs || PyDict_GET_SIZE(kwargs) == 0) && given >= spec.min_args &&
        given <= spec.max_args)
        return bind_positions(spec, defaults, &PyTuple_GET_ITEM(args, 0), given, bound);
    if (bind_with_parameters(spec, parameter_names, defaults, args, kwargs, bound) < 0) {
        add_traceback(spec.entry, spec.def_line);
        return -1;
    }
    return check_str_parameter(spec, bound);
}

}  // namespace velka
