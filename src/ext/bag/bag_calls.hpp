// What the Python functions of bathyra._bag (bag_module.cpp for BAG
// files, s102_module.cpp for S-102 files) share: a path argument taken as
// the file's name, and the exception of a call that the HDF5 library lock
// did not run.
#pragma once

#include <string>

#include "host_compat.hpp"

namespace bathyra {

// Sets `name` to the path object `arg` (str, bytes or os.PathLike) encoded
// as the file system's names are; false with the exception pending.  May
// throw std::bad_alloc (the caller turns it into MemoryError).
bool file_name_of(PyObject *arg, std::string &name);

// Raises what stopped hdf5::run_locked and returns null: RuntimeError once
// the interpreter is exiting ("`files` files are no longer read"), else
// MemoryError.  Takes the interpreter lock as given, and releases it while
// it asks the library.
PyObject *library_not_run(const char *files);

}  // namespace bathyra
