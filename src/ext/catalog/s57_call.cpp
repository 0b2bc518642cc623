// The arguments of write_s57 taken into an ExchangeFile with the
// interpreter lock held, and the file written without it.
#include "s57_call.hpp"

#include <new>

#include "catalog_type.hpp"
#include "catalog_values.hpp"
#include "file_names.hpp"
#include "owned_ref.hpp"
#include "s57_writer.hpp"

namespace bathyra {
namespace {

using catalog::S57Object;

// (class, names, values), or None for no object.  False with an
// exception pending.
bool object_from(PyObject *item, S57Object &object)
{
    if (item == Py_None)
        return true;
    PyObject *object_class, *names, *values;
    if (!PyArg_ParseTuple(item, "UOO:an S-57 object", &object_class, &names,
                          &values))
        return false;
    if (!catalog::text_from(object_class, object.object_class) ||
        !catalog::names_from(names, object.names) ||
        !catalog::row_from(values, object.values))
        return false;
    if (object.names.size() != object.values.size()) {
        PyErr_SetString(PyExc_ValueError,
                        "an S-57 object has as many values as names");
        return false;
    }
    return true;
}

bool areas_from(PyObject *sequence, std::vector<catalog::S57Area> &areas)
{
    OwnedRef items(PySequence_Fast(sequence, "the areas must be a sequence"));
    if (!items)
        return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    areas.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        catalog::S57Area &area = areas[static_cast<size_t>(i)];
        PyObject *geometry, *objects;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i),
                              "UO:an S-57 area", &geometry, &objects) ||
            !catalog::text_from(geometry, area.geometry))
            return false;
        OwnedRef list(
            PySequence_Fast(objects, "the objects must be a sequence"));
        if (!list)
            return false;
        Py_ssize_t number = PySequence_Fast_GET_SIZE(list.get());
        area.objects.resize(static_cast<size_t>(number));
        for (Py_ssize_t j = 0; j < number; ++j)
            if (!object_from(PySequence_Fast_GET_ITEM(list.get(), j),
                             area.objects[static_cast<size_t>(j)]))
                return false;
    }
    return true;
}

}  // namespace

PyObject *write_s57(PyObject *error_class, PyObject *args)
{
    PyObject *path_arg, *name, *options, *areas, *coverage;
    int agency;
    if (!PyArg_ParseTuple(args, "UUOiOO:write_s57", &path_arg, &name, &options,
                          &agency, &areas, &coverage))
        return nullptr;
    std::string path;
    catalog::ExchangeFile file;
    file.agency = agency;
    if (!catalog::converted([&] {
            return file_name_of(path_arg, path) &&
                   catalog::names_from(options, file.options) &&
                   areas_from(areas, file.areas) &&
                   object_from(coverage, file.coverage);
        }))
        return nullptr;
    std::string error;
    bool written = false, memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        written = catalog::write_exchange_file(path, file, error);
    } catch (const std::bad_alloc &) {
        memory = true;
    }
    Py_END_ALLOW_THREADS
    if (memory)
        return PyErr_NoMemory();
    if (!written)
        return raise_catalog_error(error_class, name, error);
    Py_RETURN_NONE;
}

}  // namespace bathyra
