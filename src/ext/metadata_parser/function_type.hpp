// The function type of extract_metadata: its object layout, its ways in
// (vectorcall and the call slot), its attribute surface, descriptor binding,
// pickling by name, weak references and cyclic GC support.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// Prepares the type once per process.  Returns 0, or -1 with an exception
// pending.
int prepare_function_type();

// Returns a new function object that `call` runs, or null with an exception
// pending.  The other arguments are borrowed.
PyObject *function_new(vectorcallfunc call, PyObject *name, PyObject *qualname,
                       PyObject *module_name, PyObject *globals,
                       PyObject *code);

}  // namespace bathyra
