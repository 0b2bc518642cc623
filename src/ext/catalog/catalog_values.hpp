// The catalogue's values between the interpreter and the store: layer
// specifications and rows of values taken from Python objects, and values
// read back turned into them.  Called with the interpreter lock held.
#pragma once

#include <new>

#include "host_compat.hpp"
#include "ogr_store.hpp"

namespace bathyra {
namespace catalog {

// Runs `convert()`, the taking of arguments into C++ values, which may
// allocate: a failed allocation becomes MemoryError.  False with an
// exception pending.
template <typename Convert> bool converted(Convert convert)
{
    try {
        return convert();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
}

// `spec` from a layer's name (str), whether it has a geometry and its
// fields, a sequence of (name, kind) with the kinds "text", "real",
// "integer", "date" and "datetime".  False with an exception pending.
bool layer_spec_from(PyObject *name, int geometry, PyObject *fields,
                     LayerSpec &spec);

// `row` from a sequence of values: None, bool and int, float, str.  False
// with an exception pending.
bool row_from(PyObject *values, Row &row);

// `names` from a sequence of str.  False with an exception pending.
bool names_from(PyObject *sequence, std::vector<std::string> &names);

// UTF-8 text of a str, into `text` (lone surrogates as \udcNN).  False
// with an exception pending.
bool text_from(PyObject *object, std::string &text);

// The value as an int, a float, a str or None.  Null with an exception
// pending.
PyObject *value_to_python(const Value &value);

// A list with a tuple per feature: its values, then (`with_geometry`) its
// GeoJSON geometry as str, or None.  Null with an exception pending.
PyObject *rows_to_python(const std::vector<Found> &rows, bool with_geometry);

}  // namespace catalog
}  // namespace bathyra
