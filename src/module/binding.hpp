// Argument binding of the module functions.
#pragma once

#include "module/function.hpp"

namespace velka {

// Binds `args` and `kwargs` (null or a dict) to the parameters of `spec`,
// whose names are `parameter_names` and whose last ones default to
// `defaults`. -1 with the TypeError raised; nothing of the body has run.
int bind_arguments(const FunctionSpec& spec, PyObject* parameter_names, PyObject* defaults,
                   PyObject* args, PyObject* kwargs, Bound& bound);

// The same for a call by position with a count that spec accepts (between
// min_args and max_args): the arguments in order, then the defaults.
int bind_positions(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                   Py_ssize_t count, Bound& bound);

}  // namespace velka
