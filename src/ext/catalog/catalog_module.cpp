// The extension module bathyra._catalog: the Python face of the
// catalogue's store (ogr_store.hpp).  open() gives a Catalog
// (catalog_type.hpp), an object that holds one OGR dataset and is a thin,
// typed writer and reader of its features; what to write, and when, is
// decided in bathyra/survey_catalog.py.  Failures of GDAL raise
// bathyra.errors.CatalogError(destination, reason), the class that the
// module's state holds.
#include <cstring>
#include <new>
#include <string>

#include "catalog_type.hpp"
#include "catalog_values.hpp"
#include "file_names.hpp"
#include "host_compat.hpp"
#include "ogr_store.hpp"
#include "owned_ref.hpp"
#include "s57_call.hpp"

namespace bathyra {
namespace {

using catalog::Store;

struct ModuleState {
    PyObject *catalog_type;
    PyObject *error_class;
};

ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// open(destination, name, driver, mode) -> Catalog: `name` is how the
// messages name it (a database's connection text without its password),
// `mode` "read", "update" or "create".
PyObject *open_catalog(PyObject *module, PyObject *args)
{
    PyObject *destination_arg, *name;
    const char *driver_arg, *mode_arg;
    if (!PyArg_ParseTuple(args, "UUss:open", &destination_arg, &name,
                          &driver_arg, &mode_arg))
        return nullptr;
    catalog::Mode mode;
    if (std::strcmp(mode_arg, "read") == 0)
        mode = catalog::Mode::read;
    else if (std::strcmp(mode_arg, "update") == 0)
        mode = catalog::Mode::update;
    else if (std::strcmp(mode_arg, "create") == 0)
        mode = catalog::Mode::create;
    else {
        PyErr_Format(PyExc_ValueError, "unknown mode '%s'", mode_arg);
        return nullptr;
    }
    ModuleState *state = state_of(module);
    if (!state)
        return nullptr;
    std::string destination, driver;
    if (!catalog::converted([&] {
            driver = driver_arg;
            return file_name_of(destination_arg, destination);
        }))
        return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(state->catalog_type);
    OwnedRef self(PyType_GenericAlloc(type, 0));
    if (!self)
        return nullptr;
    auto *catalog = reinterpret_cast<CatalogObject *>(self.get());
    catalog->store = new (std::nothrow) Store();
    if (!catalog->store)
        return PyErr_NoMemory();
    catalog->error_class = compat::new_ref(state->error_class);
    catalog->destination = compat::new_ref(name);
    std::string error;
    bool opened = false, memory = false;
    Store *store = catalog->store;
    Py_BEGIN_ALLOW_THREADS
    try {
        opened = store->open(destination, driver, mode, error);
    } catch (const std::bad_alloc &) {
        memory = true;
    }
    Py_END_ALLOW_THREADS
    if (memory)
        return PyErr_NoMemory();
    if (!opened)
        return raise_catalog_error(state->error_class, name, error);
    return self.release();
}

// write_s57(path, name, options, agency, areas, coverage): s57_call.hpp.
PyObject *write_exchange(PyObject *module, PyObject *args)
{
    ModuleState *state = state_of(module);
    if (!state)
        return nullptr;
    return write_s57(state->error_class, args);
}

PyMethodDef module_methods[] = {
    {"open", open_catalog, METH_VARARGS,
     "open(destination, name, driver, mode) -> Catalog\n\n"
     "Opens an OGR dataset to be read (mode 'read') or for update "
     "('update'); with\n'create', makes it with the GDAL driver named when "
     "it cannot be opened."},
    {"write_s57", write_exchange, METH_VARARGS,
     "write_s57(path, name, options, agency, areas, coverage)\n\n"
     "Writes an S-57 exchange file of meta-objects: areas, each a GeoJSON "
     "text and\nits objects (class, names, values), and an object over "
     "their union."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_catalog(PyObject *module)
{
    ModuleState *state = state_of(module);
    if (!state)
        return -1;
    OwnedRef errors(PyImport_ImportModule("bathyra.errors"));
    if (!errors)
        return -1;
    OwnedRef error_class(PyObject_GetAttrString(errors.get(), "CatalogError"));
    if (!error_class)
        return -1;
    if (!PyExceptionClass_Check(error_class.get())) {
        PyErr_SetString(PyExc_TypeError, "bathyra.errors.CatalogError is "
                                         "not an exception class");
        return -1;
    }
    replace_held(state->error_class, error_class.release());
    OwnedRef type(PyType_FromModuleAndSpec(module, &catalog_spec, nullptr));
    if (!type)
        return -1;
    replace_held(state->catalog_type, type.release());
    if (compat::module_add_object_ref(module, "Catalog", state->catalog_type) <
        0)
        return -1;
    return compat::module_add_object_ref(module, "CatalogError",
                                         state->error_class);
}

int traverse_catalog(PyObject *module, visitproc visit, void *arg)
{
    ModuleState *state = state_of(module);
    if (state) {
        Py_VISIT(state->catalog_type);
        Py_VISIT(state->error_class);
    }
    return 0;
}

int clear_catalog(PyObject *module)
{
    ModuleState *state = state_of(module);
    if (state) {
        Py_CLEAR(state->catalog_type);
        Py_CLEAR(state->error_class);
    }
    return 0;
}

void free_catalog(void *module)
{
    clear_catalog(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_catalog)},
    {0, nullptr},
};

PyModuleDef catalog_definition = {
    PyModuleDef_HEAD_INIT,
    "_catalog",
    "The survey catalogue's writer and reader of OGR layers.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    traverse_catalog,
    clear_catalog,
    free_catalog,
};

}  // namespace
}  // namespace bathyra

extern "C" PyMODINIT_FUNC PyInit__catalog(void)
{
    return PyModuleDef_Init(&bathyra::catalog_definition);
}
