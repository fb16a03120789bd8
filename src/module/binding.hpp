// Argument binding of the module functions.
#pragma once

#include "module/function.hpp"

namespace velka {

// Binds `args` and `kwargs` (null or a dict) to the parameters of `spec`,
// whose names are `parameter_names` and whose last ones default to
// `defaults`. -1 with the TypeError raised; nothing of the body has run.
int bind_arguments(const FunctionSpec& spec, PyObject* parameter_names, PyObject* defaults,
                   PyObject* args, PyObject* kwargs, Bound& bound);

}  // namespace velka
