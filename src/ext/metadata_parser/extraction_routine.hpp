// The body of extract_metadata(raster).
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// Reads the metadata document that `raster` (borrowed) carries and returns
// a new reference to the result record, or null with an exception pending
// and the traceback entry of the failing line added.
PyObject *run_extraction(PyObject *raster);

}  // namespace bathyra
