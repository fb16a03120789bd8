// The module's function objects: a function type of the module's own, whose
// calls bind their arguments by the module's rules and then run a C++ body.
#pragma once

#include "module/ref.hpp"

#include <array>

namespace velka {

constexpr int max_parameters = 4;
// The bound arguments of one call, in parameter order.
using Bound = std::array<Ref, max_parameters>;
using Body = Ref (*)(const Bound&);

// What the module says of one function: its `def` line, parameters and
// locals, and the C++ body that runs once the arguments are bound.
struct FunctionSpec {
    const char* name;
    const char* traceback_name;  // "velka." + name
    int def_line;
    int min_args;  // parameters without default
    int max_args;  // parameters
    std::array<const char*, max_parameters> parameters;
    std::array<const char*, 8> other_locals;  // in order, null-terminated
    int str_parameter;  // index of the parameter that must be exactly a str, or -1
    Body body;
};

// A call from the module's own code of one of its function objects, by
// position, with a count the function accepts: bound and run without the
// argument tuple that a call through the interpreter makes. An empty Ref
// with no exception raised when `callable` is not such a call.
Ref call_module_function(PyObject* callable, PyObject* const* args, Py_ssize_t count);

// One-time set-up of the function type; -1 on failure.
int ready_function_type();

// A new function object for `spec`. `defaults` is None or the tuple of the
// last parameters' defaults, `annotations` a dict; both are used as given.
Ref make_function(const FunctionSpec& spec, PyObject* defaults, PyObject* annotations);

}  // namespace velka
