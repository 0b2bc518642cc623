// bathyra._catalog.write_s57: the Python face of the S-57 exchange file
// (s57_writer.hpp).
#pragma once

#include "host_compat.hpp"

namespace bathyra {

// write_s57(path, name, options, agency, areas, coverage) -> None, with
// `areas` a sequence of (GeoJSON text, objects), each object a tuple
// (class, attribute names, values), and `coverage` one such object or
// None.  Failures raise `error_class`(name, reason).
PyObject *write_s57(PyObject *error_class, PyObject *args);

}  // namespace bathyra
