// The extraction routine: reads the document and builds the result record.
#include "extraction_routine.hpp"

#include "call_binding.hpp"

namespace bathyra {

PyObject *run_extraction(PyObject *self, PyObject *raster) noexcept
{
    (void)self;
    (void)raster;
    PyErr_SetString(PyExc_NotImplementedError,
                    "the extraction routine is not built yet");
    add_traceback_entry(EntryOwner::call, 14);
    return nullptr;
}

}  // namespace bathyra
