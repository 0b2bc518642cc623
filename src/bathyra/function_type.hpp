// The function type of extract_metadata: its object layout, its two ways in
// (vectorcall and the call slot), its attribute surface, descriptor binding,
// pickling by name, weak references and cyclic GC support.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// Prepares the type once per process.  Returns 0, or -1 with an exception
// pending.
int prepare_function_type() noexcept;

// Returns a new function object, or null with an exception pending.
// `method` must outlive the object; the other arguments are borrowed.
PyObject *function_new(PyMethodDef *method, PyObject *name,
                       PyObject *qualname, PyObject *module_name,
                       PyObject *globals, PyObject *code) noexcept;

}  // namespace bathyra
