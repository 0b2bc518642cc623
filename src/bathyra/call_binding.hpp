// Binding of calls of extract_metadata, and the traceback entries that
// failures leaving module code carry.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// Who adds a traceback entry: decides the function name that it shows.
enum class EntryOwner : int { import_step = 0, call = 1 };

// Appends one entry (file "bathyra/metadata_parser", the owner's function
// name, `line`) to the traceback of the pending exception and leaves the
// exception pending.  When the entry cannot be made it is skipped.
void add_traceback_entry(EntryOwner owner, int line) noexcept;

// The binding of a call: the host's fast calling convention with keywords.
// `args` holds `nargs` positional arguments followed by one value per name
// of `kwnames` (a tuple, or null).  Returns a new reference to the result,
// or null with an exception pending and one traceback entry added.
PyObject *bind_call(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames) noexcept;

}  // namespace bathyra
