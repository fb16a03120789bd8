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

// Everything the module says of one function, written once in the file of
// its body: its traceback entry (and so its name), `def` line, parameters,
// defaults and locals, and the C++ body that runs once the arguments are
// bound. The module's statements define the function from it, and its
// traceback entries name it.
struct FunctionSpec {
    const char* entry;  // "velka.read_url": the traceback entry; the name follows the dot
    int def_line;
    int min_args;  // parameters without default
    int max_args;  // parameters
    std::array<const char*, max_parameters> parameters;
    // The defaults of the parameters past min_args: a text, or null for None.
    std::array<const char*, max_parameters> defaults;
    std::array<const char*, 8> other_locals;  // in order, null-terminated
    // The parameter annotated `str`, which must be exactly a str, or -1.
    int str_parameter;
    Body body;

    constexpr const char* name() const { return entry + sizeof("velka.") - 1; }
};

// One-time set-up of the function type; -1 on failure.
int ready_function_type();

// A new function object for `spec`, carrying the globals of the frame in force.
Ref make_function(const FunctionSpec& spec);

}  // namespace velka
