// A path argument as the file system names it, for the functions of every
// extension module that open files or data sources.
#pragma once

#include <string>

#include "host_compat.hpp"
#include "owned_ref.hpp"

namespace bathyra {

// Sets `name` to the path object `arg` (str, bytes or os.PathLike) encoded
// as the file system's names are (a name beyond UTF-8 keeps its bytes);
// false with the exception pending (ValueError for an embedded NUL).  May
// throw std::bad_alloc (the caller turns it into MemoryError).
inline bool file_name_of(PyObject *arg, std::string &name)
{
    PyObject *encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(arg, &encoded_raw))
        return false;
    OwnedRef encoded(encoded_raw);
    name.assign(PyBytes_AS_STRING(encoded.get()),
                static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

}  // namespace bathyra
