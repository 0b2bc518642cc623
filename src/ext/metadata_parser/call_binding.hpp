// Binding of calls of extract_metadata: the one parameter `raster`, given
// by position or keyword, and the messages of the calls that do not fit.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// The vectorcall function of extract_metadata: `args` holds the positional
// arguments (their count in `nargsf`) followed by one value per name of
// `kwnames` (a tuple, or null).  Returns a new reference to the result, or
// null with an exception pending and one traceback entry added.
PyObject *bind_call(PyObject *self, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames);

}  // namespace bathyra
