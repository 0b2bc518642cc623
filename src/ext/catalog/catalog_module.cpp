// The extension module bathyra._catalog: the Python face of the
// catalogue's store (ogr_store.hpp).  open() gives a Catalog, an object
// that holds one OGR dataset and is a thin, typed writer and reader of its
// features; what to write, and when, is decided in bathyra/catalog.py.
//
// The arguments are taken into C++ values with the interpreter lock held;
// the store's work on the dataset runs without it.  A Catalog serves one
// thread at a time: a call while another thread's call is in the store
// raises RuntimeError.  Failures of GDAL raise
// bathyra.errors.CatalogError(destination, reason).
#include <cstring>
#include <new>
#include <string>

#include "catalog_values.hpp"
#include "host_compat.hpp"
#include "ogr_store.hpp"
#include "owned_ref.hpp"

namespace bathyra {
namespace {

using catalog::Store;

struct CatalogObject {
    PyObject_HEAD
    Store *store;
    PyObject *error_class;  // bathyra.errors.CatalogError
    PyObject *destination;  // str: the catalogue as its messages name it
    bool busy;
};

struct ModuleState {
    PyObject *catalog_type;
    PyObject *error_class;
};

ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

CatalogObject *as_catalog(PyObject *self)
{
    return reinterpret_cast<CatalogObject *>(self);
}

// Raises CatalogError(destination, reason); returns null.
PyObject *raise_error(PyObject *error_class, PyObject *destination,
                      const std::string &reason)
{
    OwnedRef text(PyUnicode_DecodeUTF8(
        reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
    if (!text)
        return nullptr;
    OwnedRef error(PyObject_CallFunctionObjArgs(error_class, destination,
                                                text.get(), nullptr));
    if (!error)
        return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                    error.get());
    return nullptr;
}

// Runs `work(store, error)` without the interpreter lock; None, or the
// exception of its failure.  `work` must not touch Python objects.
template <typename Work> PyObject *run(PyObject *self, Work work)
{
    CatalogObject *catalog = as_catalog(self);
    if (catalog->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the catalogue is in use by another thread");
        return nullptr;
    }
    if (!catalog->store || !catalog->store->is_open())
        return raise_error(catalog->error_class, catalog->destination,
                           "the catalogue is closed");
    std::string error;
    bool done = false, memory = false;
    catalog->busy = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        done = work(*catalog->store, error);
    } catch (const std::bad_alloc &) {
        memory = true;
    }
    Py_END_ALLOW_THREADS
    catalog->busy = false;
    if (memory)
        return PyErr_NoMemory();
    if (!done)
        return raise_error(catalog->error_class, catalog->destination, error);
    Py_RETURN_NONE;
}

// The C++ work of argument conversion; false with an exception pending.
template <typename Convert> bool converted(Convert convert)
{
    try {
        return convert();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
}

// layer(name, geometry, fields, options=()) -> int
PyObject *catalog_layer(PyObject *self, PyObject *args)
{
    PyObject *name, *fields, *options_arg = nullptr;
    int geometry;
    if (!PyArg_ParseTuple(args, "UpO|O:layer", &name, &geometry, &fields,
                          &options_arg))
        return nullptr;
    catalog::LayerSpec spec;
    std::vector<std::string> options;
    if (!converted([&] {
            return layer_spec_from(name, geometry, fields, spec) &&
                   (!options_arg || catalog::names_from(options_arg, options));
        }))
        return nullptr;
    int index = -1;
    OwnedRef done(run(self, [&](Store &store, std::string &error) {
        return store.layer(spec, options, index, error);
    }));
    if (!done)
        return nullptr;
    return PyLong_FromLong(index);
}

PyObject *catalog_begin(PyObject *self, PyObject *)
{
    return run(self, [](Store &store, std::string &error) {
        return store.begin(error);
    });
}

PyObject *catalog_commit(PyObject *self, PyObject *)
{
    return run(self, [](Store &store, std::string &error) {
        return store.commit(error);
    });
}

PyObject *catalog_rollback(PyObject *self, PyObject *)
{
    return run(self, [](Store &store, std::string &error) {
        return store.rollback(error);
    });
}

// insert(layer, values, geometry) -> None
PyObject *catalog_insert(PyObject *self, PyObject *args)
{
    int layer;
    PyObject *values, *geometry;
    if (!PyArg_ParseTuple(args, "iOO:insert", &layer, &values, &geometry))
        return nullptr;
    catalog::Row row;
    std::string shape;
    bool has_shape = geometry != Py_None;
    if (!converted([&] {
            return catalog::row_from(values, row) &&
                   (!has_shape || catalog::text_from(geometry, shape));
        }))
        return nullptr;
    return run(self, [&](Store &store, std::string &error) {
        return store.insert(layer, row, has_shape ? &shape : nullptr, error);
    });
}

// remove(layer, where) -> int
PyObject *catalog_remove(PyObject *self, PyObject *args)
{
    int layer;
    PyObject *where_arg;
    if (!PyArg_ParseTuple(args, "iU:remove", &layer, &where_arg))
        return nullptr;
    std::string where;
    if (!converted([&] { return catalog::text_from(where_arg, where); }))
        return nullptr;
    int64_t removed = 0;
    OwnedRef done(run(self, [&](Store &store, std::string &error) {
        return store.remove(layer, where, removed, error);
    }));
    if (!done)
        return nullptr;
    return PyLong_FromLongLong(removed);
}

// read(layer, columns, box=None, where="", geometry=False) -> list
PyObject *catalog_read(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"layer", "columns",  "box",
                                     "where", "geometry", nullptr};
    int layer, geometry = 0;
    PyObject *columns, *box = Py_None, *where_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|OUp:read",
                                     const_cast<char **>(keywords), &layer,
                                     &columns, &box, &where_arg, &geometry))
        return nullptr;
    catalog::Selection selection;
    selection.with_geometry = geometry != 0;
    if (box != Py_None) {
        if (!PyArg_ParseTuple(box, "dddd:box", &selection.box[0],
                              &selection.box[1], &selection.box[2],
                              &selection.box[3]))
            return nullptr;
        selection.has_box = true;
    }
    if (!converted([&] {
            return catalog::names_from(columns, selection.columns) &&
                   (!where_arg ||
                    catalog::text_from(where_arg, selection.where));
        }))
        return nullptr;
    std::vector<catalog::Found> rows;
    OwnedRef done(run(self, [&](Store &store, std::string &error) {
        return store.read(layer, selection, rows, error);
    }));
    if (!done)
        return nullptr;
    return catalog::rows_to_python(rows, selection.with_geometry);
}

// execute(sql) -> None
PyObject *catalog_execute(PyObject *self, PyObject *args)
{
    PyObject *sql_arg;
    if (!PyArg_ParseTuple(args, "U:execute", &sql_arg))
        return nullptr;
    std::string sql;
    if (!converted([&] { return catalog::text_from(sql_arg, sql); }))
        return nullptr;
    return run(self, [&](Store &store, std::string &error) {
        return store.execute(sql, error);
    });
}

PyObject *text_result(const std::string &text)
{
    return PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// describe_layer(layer) -> (fid column, geometry column, deletes)
PyObject *catalog_describe_layer(PyObject *self, PyObject *args)
{
    int layer;
    if (!PyArg_ParseTuple(args, "i:describe_layer", &layer))
        return nullptr;
    std::string fid, geometry;
    bool deletes = false;
    OwnedRef done(run(self, [&](Store &store, std::string &) {
        fid = store.fid_column(layer);
        geometry = store.geometry_column(layer);
        deletes = store.deletes(layer);
        return true;
    }));
    if (!done)
        return nullptr;
    OwnedRef first(text_result(fid));
    if (!first)
        return nullptr;
    OwnedRef second(text_result(geometry));
    if (!second)
        return nullptr;
    return Py_BuildValue("(OON)", first.get(), second.get(),
                         PyBool_FromLong(deletes));
}

// describe() -> (driver short name, has transactions)
PyObject *catalog_describe(PyObject *self, PyObject *)
{
    std::string driver;
    bool transactions = false;
    OwnedRef done(run(self, [&](Store &store, std::string &) {
        driver = store.driver_name();
        transactions = store.has_transactions();
        return true;
    }));
    if (!done)
        return nullptr;
    OwnedRef name(text_result(driver));
    if (!name)
        return nullptr;
    return Py_BuildValue("(ON)", name.get(), PyBool_FromLong(transactions));
}

// close() -> None: writes what the driver keeps back and closes the
// dataset; a closed Catalog refuses every other call.
PyObject *catalog_close(PyObject *self, PyObject *)
{
    CatalogObject *catalog = as_catalog(self);
    if (!catalog->store || !catalog->store->is_open())
        Py_RETURN_NONE;
    return run(self, [](Store &store, std::string &) {
        store.close();
        return true;
    });
}

void catalog_dealloc(PyObject *self)
{
    CatalogObject *catalog = as_catalog(self);
    PyTypeObject *type = Py_TYPE(self);
    if (catalog->store) {
        // Closing writes the dataset's last pages: not under the lock.
        Store *store = catalog->store;
        catalog->store = nullptr;
        Py_BEGIN_ALLOW_THREADS
        delete store;
        Py_END_ALLOW_THREADS
    }
    Py_CLEAR(catalog->error_class);
    Py_CLEAR(catalog->destination);
    PyObject_Free(self);
    Py_DECREF(type);
}

// Catalogs are made by open() alone.
PyObject *refuse_new(PyTypeObject *, PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError,
                    "a Catalog is made by bathyra._catalog.open()");
    return nullptr;
}

PyMethodDef catalog_methods[] = {
    {"layer", catalog_layer, METH_VARARGS,
     "layer(name, geometry, fields, options=()) -> int\n\n"
     "Opens the layer; for update, creates it (MultiPolygon on WGS 84 when "
     "geometry,\nelse a table) with its fields, (name, kind) pairs, and the "
     "driver's layer\ncreation options when missing, and adds the fields "
     "it lacks.  Returns its\nindex."},
    {"begin", catalog_begin, METH_NOARGS, "Begins a transaction."},
    {"commit", catalog_commit, METH_NOARGS, "Commits the transaction."},
    {"rollback", catalog_rollback, METH_NOARGS, "Rolls the transaction back."},
    {"insert", catalog_insert, METH_VARARGS,
     "insert(layer, values, geometry)\n\n"
     "Writes a feature: values in the order of the layer's fields, the "
     "geometry\nas GeoJSON text or None."},
    {"remove", catalog_remove, METH_VARARGS,
     "remove(layer, where) -> int\n\n"
     "Deletes the features that the OGR SQL filter selects (all when "
     "empty)."},
    {"read",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(catalog_read)),
     METH_VARARGS | METH_KEYWORDS,
     "read(layer, columns, box=None, where='', geometry=False) -> list\n\n"
     "A tuple of the columns' values per feature within the box (west, "
     "south,\neast, north) that the filter selects, the GeoJSON geometry "
     "last when asked."},
    {"execute", catalog_execute, METH_VARARGS,
     "execute(sql)\n\nRuns a statement in the dataset's own SQL dialect."},
    {"describe_layer", catalog_describe_layer, METH_VARARGS,
     "describe_layer(layer) -> (fid column, geometry column, deletes)"},
    {"describe", catalog_describe, METH_NOARGS,
     "describe() -> (driver, transactions)"},
    {"close", catalog_close, METH_NOARGS, "Closes the dataset."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot catalog_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(catalog_dealloc)},
    {Py_tp_new, reinterpret_cast<void *>(refuse_new)},
    {Py_tp_methods, catalog_methods},
    {Py_tp_doc, const_cast<char *>("An OGR dataset of the survey catalogue; "
                                   "made by bathyra._catalog.open().")},
    {0, nullptr},
};

PyType_Spec catalog_spec = {
    "bathyra._catalog.Catalog",
    sizeof(CatalogObject),
    0,
    Py_TPFLAGS_DEFAULT | compat::type_flag_immutable,
    catalog_slots,
};

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
    if (!converted([&] {
            driver = driver_arg;
            return catalog::text_from(destination_arg, destination);
        }))
        return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(state->catalog_type);
    OwnedRef self(PyType_GenericAlloc(type, 0));
    if (!self)
        return nullptr;
    CatalogObject *catalog = as_catalog(self.get());
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
        return raise_error(state->error_class, name, error);
    return self.release();
}

PyMethodDef module_methods[] = {
    {"open", open_catalog, METH_VARARGS,
     "open(destination, name, driver, mode) -> Catalog\n\n"
     "Opens an OGR dataset to be read (mode 'read') or for update "
     "('update'); with\n'create', makes it with the GDAL driver named when "
     "it cannot be opened."},
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
