#include "module/binding.hpp"

#include "module/runtime.hpp"

namespace velka {

namespace {

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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound_word, expected, expected == 1 ? "" : "s", given);
    return -1;
}

bool names_parameter(PyObject* parameter_names, Py_ssize_t from, Py_ssize_t to, PyObject* key) {
    for (Py_ssize_t i = from; i < to; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(parameter_names, i), key) == 0) return true;
    }
    return false;
}

// The keywords that filled no parameter: the first one decides the error.
int leftover_keyword_error(const FunctionSpec& spec, PyObject* parameter_names,
                           Py_ssize_t positional, PyObject* kwargs) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return -1;
        }
        if (names_parameter(parameter_names, positional, spec.max_args, key)) continue;
        if (names_parameter(parameter_names, 0, positional, key)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
        }
        return -1;
    }
    return 0;
}

int bind_with_parameters(const FunctionSpec& spec, PyObject* parameter_names, PyObject* defaults,
                         PyObject* args, PyObject* kwargs, Bound& bound) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (positional > spec.max_args || (keywords == 0 && positional < spec.min_args))
        return count_error(spec, positional);

    for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    Py_ssize_t taken = 0;
    for (Py_ssize_t i = positional; i < spec.max_args; ++i) {
        PyObject* value = nullptr;
        if (keywords > 0) {
            value = PyDict_GetItemWithError(kwargs, PyTuple_GET_ITEM(parameter_names, i));
            if (!value && PyErr_Occurred()) return -1;
        }
        if (value) {
            ++taken;
        } else if (i < spec.min_args) {
            return count_error(spec, i);
        } else {
            value = PyTuple_GET_ITEM(defaults, i - spec.min_args);
        }
        bound[i] = Ref::borrow(value);
    }
    if (taken < keywords) return leftover_keyword_error(spec, parameter_names, positional, kwargs);
    return 0;
}

int bind_without_parameters(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
        return -1;
    }
    if (PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", spec.name,
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

}  // namespace

int bind_arguments(const FunctionSpec& spec, PyObject* parameter_names, PyObject* defaults,
                   PyObject* args, PyObject* kwargs, Bound& bound) {
    if (spec.max_args == 0) return bind_without_parameters(spec, args, kwargs);
    if (bind_with_parameters(spec, parameter_names, defaults, args, kwargs, bound) < 0) {
        add_traceback(spec.traceback_name, spec.def_line);
        return -1;
    }
    return check_str_parameter(spec, bound);
}

int bind_positions(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                   Py_ssize_t count, Bound& bound) {
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = Ref::borrow(args[i]);
    for (Py_ssize_t i = count; i < spec.max_args; ++i)
        bound[i] = Ref::borrow(PyTuple_GET_ITEM(defaults, i - spec.min_args));
    return check_str_parameter(spec, bound);
}

}  // namespace velka
