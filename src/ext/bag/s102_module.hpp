// The S-102 functions of the module bathyra._bag (bag_module.cpp lists
// them): reading a file in this process and writing test files.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// read_s102(path, grid) -> (kind, document: bytes): kind is "S-102",
// "BAG" or "HDF5" (what the file is), or "failed" with the reason (UTF-8)
// in the document's place; the document is s102_answer's.
PyObject *read_s102(PyObject *module, PyObject *args);

// write_s102(path, groups, datasets) -> str: "" once written, else what
// failed.  groups: [(path, attributes)], datasets: [(path, dims, chunk,
// compress, members, data, attributes)], attributes: [(name, kind,
// value)], members: [(name, kind, size)] (s102_writer.hpp).
PyObject *write_s102(PyObject *module, PyObject *args);

}  // namespace bathyra
