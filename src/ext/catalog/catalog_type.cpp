// The methods of bathyra._catalog.Catalog over its store, each a call of
// the store without the interpreter lock (catalog_type.hpp).
#include "catalog_type.hpp"

#include <new>

#include "catalog_values.hpp"
#include "file_errors.hpp"
#include "owned_ref.hpp"

namespace bathyra {

// Raises CatalogError(destination, reason); returns null.
PyObject *raise_catalog_error(PyObject *error_class, PyObject *destination,
                              const std::string &reason)
{
    return raise_file_error(error_class, destination, reason);
}

namespace {

using catalog::Store;

CatalogObject *as_catalog(PyObject *self)
{
    return reinterpret_cast<CatalogObject *>(self);
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
        return raise_catalog_error(catalog->error_class, catalog->destination,
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
        return raise_catalog_error(catalog->error_class, catalog->destination,
                                   error);
    Py_RETURN_NONE;
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
    if (!catalog::converted([&] {
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
    if (!catalog::converted([&] {
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
    if (!catalog::converted(
            [&] { return catalog::text_from(where_arg, where); }))
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
    if (!catalog::converted([&] {
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

// execute(sql) -> the first value of its result, or None
PyObject *catalog_execute(PyObject *self, PyObject *args)
{
    PyObject *sql_arg;
    if (!PyArg_ParseTuple(args, "U:execute", &sql_arg))
        return nullptr;
    std::string sql;
    if (!catalog::converted([&] { return catalog::text_from(sql_arg, sql); }))
        return nullptr;
    catalog::Value first;
    OwnedRef done(run(self, [&](Store &store, std::string &error) {
        return store.execute(sql, first, error);
    }));
    if (!done)
        return nullptr;
    return catalog::value_to_python(first);
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
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
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
     "execute(sql) -> value\n\nRuns a statement in the dataset's own SQL "
     "dialect; the first value of its\nresult, or None."},
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

}  // namespace

PyType_Spec catalog_spec = {
    "bathyra._catalog.Catalog",
    sizeof(CatalogObject),
    0,
    Py_TPFLAGS_DEFAULT | compat::type_flag_immutable,
    catalog_slots,
};

}  // namespace bathyra
