// Binding of calls of extract_metadata to the extraction routine.
#include "call_binding.hpp"

#include "extraction_routine.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "traceback_entry.hpp"

namespace bathyra {

namespace {

// ---------------------------------------------------------------------------
// Keyword matching.

// The function name in the binding's messages is fixed: renaming the
// function object does not change them.
constexpr const char *bound_name = "extract_metadata";

PyObject *arity_error(Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 bound_name, "exactly", static_cast<Py_ssize_t>(1), "", given);
    return nullptr;
}

// Compares an exact str with the parameter's name by stored hash, then
// characters.  `name` may not be ready yet; returns 1, 0 or -1.
int exact_text_equal(PyObject *name, PyObject *parameter)
{
    Py_hash_t name_hash = PyObject_Hash(name);
    if (name_hash == -1)
        return -1;
    if (compat::unicode_ready(name) < 0)
        return -1;
    if (name_hash != PyObject_Hash(parameter))
        return 0;
    return same_characters(name, parameter);
}

// Whether a keyword name denotes `raster`: 1, 0, or -1 with an exception
// pending (hashing or comparing a str subclass runs host code).
int names_raster(PyObject *name)
{
    PyObject *parameter = str(Str::raster);
    if (name == parameter)
        return 1;
    if (PyUnicode_CheckExact(name))
        return exact_text_equal(name, parameter);
    if (PyUnicode_Check(name))
        return PyObject_RichCompareBool(name, parameter, Py_EQ);
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                 bound_name);
    return -1;
}

PyObject *binding_failed()
{
    return call_failed(Line::define_function);
}

}  // namespace

PyObject *bind_call(PyObject *, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs != 1 && (keyword_count == 0 || nargs > 1)) {
        arity_error(nargs);
        return binding_failed();
    }
    OwnedRef raster;
    if (nargs == 1)
        raster = OwnedRef::borrow(args[0]);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        int match = names_raster(name);
        if (match < 0) {
            raster.reset();
            return binding_failed();
        }
        if (match && nargs == 0) {
            raster = OwnedRef::borrow(args[nargs + i]);
            continue;
        }
        raster.reset();
        if (match)
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         bound_name, name);
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         bound_name, name);
        return binding_failed();
    }
    if (!raster) {
        arity_error(nargs);
        return binding_failed();
    }
    // The routine adds its own traceback entry when it fails.
    return run_extraction(raster.get());
}

}  // namespace bathyra
