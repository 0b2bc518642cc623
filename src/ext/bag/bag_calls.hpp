// What the Python functions of bathyra._bag (bag_module.cpp for BAG
// files, s102_module.cpp for S-102 files) share: a path argument taken as
// the file's name, and the exception of a call that the HDF5 library lock
// did not run.
#pragma once

#include <string>

#include "file_names.hpp"
#include "host_compat.hpp"

namespace bathyra {

// Raises what stopped hdf5::run_locked and returns null: RuntimeError once
// the interpreter is exiting ("`files` files are no longer read"), else
// MemoryError.  Takes the interpreter lock as given, and releases it while
// it asks the library.
PyObject *library_not_run(const char *files);

}  // namespace bathyra
