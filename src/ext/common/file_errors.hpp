// Raising the package's exceptions of a file (BagError, CatalogError: a
// class called with the path and the reason) from C++.  Header only.
#pragma once

#include <Python.h>

#include <string>

#include "owned_ref.hpp"

namespace bathyra {

// Raises error_class(path, reason): `path` is the caller's object (the
// exception makes it a str), `reason` UTF-8 text (bytes that are not
// UTF-8 replaced).  Returns null, with that exception or the one that
// making it raised pending.
inline PyObject *raise_file_error(PyObject *error_class, PyObject *path,
                                  const std::string &reason)
{
    OwnedRef text(PyUnicode_DecodeUTF8(
        reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
    if (!text)
        return nullptr;
    OwnedRef error(
        PyObject_CallFunctionObjArgs(error_class, path, text.get(), nullptr));
    if (!error)
        return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                    error.get());
    return nullptr;
}

}  // namespace bathyra
