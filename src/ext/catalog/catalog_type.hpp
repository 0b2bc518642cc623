// The type bathyra._catalog.Catalog: an object that holds one store
// (ogr_store.hpp) and is the thin, typed writer and reader of its
// features.  The arguments are taken into C++ values with the interpreter
// lock held; the store's work on the dataset runs without it.  A Catalog
// serves one thread at a time: a call while another thread's call is in
// the store raises RuntimeError.
#pragma once

#include <string>

#include "host_compat.hpp"
#include "ogr_store.hpp"

namespace bathyra {

struct CatalogObject {
    PyObject_HEAD
    catalog::Store *store;
    PyObject *error_class;  // bathyra.errors.CatalogError
    PyObject *destination;  // str: the catalogue as its messages name it
    bool busy;
};

// The type's specification, for PyType_FromModuleAndSpec.
extern PyType_Spec catalog_spec;

// Raises CatalogError(destination, reason) of `error_class`; returns null.
PyObject *raise_catalog_error(PyObject *error_class, PyObject *destination,
                              const std::string &reason);

}  // namespace bathyra
