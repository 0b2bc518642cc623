// The calls refused by the library lock, for every function of
// bathyra._bag.
#include "bag_calls.hpp"

#include "hdf5_access.hpp"
#include "owned_ref.hpp"

namespace bathyra {

PyObject *library_not_run(const char *files)
{
    bool closed;
    Py_BEGIN_ALLOW_THREADS
    closed = hdf5::library_is_closed();
    Py_END_ALLOW_THREADS
    if (!closed)
        return PyErr_NoMemory();
    PyErr_Format(PyExc_RuntimeError,
                 "the interpreter is exiting: %s files are no longer read",
                 files);
    return nullptr;
}

}  // namespace bathyra
