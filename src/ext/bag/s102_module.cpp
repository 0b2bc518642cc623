// The Python face of the S-102 reader and writer in bathyra._bag.
#include "s102_module.hpp"

#include <string>

#include "bag_calls.hpp"
#include "elevation_summary.hpp"
#include "hdf5_access.hpp"
#include "owned_ref.hpp"
#include "s102_reader.hpp"
#include "s102_writer.hpp"

namespace bathyra {

namespace {

bool text_of(PyObject *object, std::string &text)
{
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data)
        return false;
    text.assign(data, static_cast<size_t>(size));
    return true;
}

// Fills `into` from a list of (name, kind, value); false with an
// exception pending.
bool attributes_of(PyObject *list, std::vector<S102Attribute> &into)
{
    OwnedRef items(PySequence_Fast(list, "attributes must be a sequence"));
    if (!items)
        return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name, *value;
        const char *kind;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i),
                              "UsO:attribute", &name, &kind, &value))
            return false;
        S102Attribute attribute;
        attribute.kind = kind[0];
        if (!text_of(name, attribute.name))
            return false;
        if (attribute.kind == 's') {
            if (!text_of(value, attribute.text))
                return false;
        } else {
            attribute.number = PyFloat_AsDouble(value);
            if (attribute.number == -1.0 && PyErr_Occurred())
                return false;
        }
        into.push_back(std::move(attribute));
    }
    return true;
}

bool dataset_of(PyObject *spec, S102Dataset &dataset)
{
    PyObject *path, *dims, *members, *attributes;
    unsigned long long chunk;
    int compress;
    Py_buffer data;
    if (!PyArg_ParseTuple(spec, "UOKiOy*O:dataset", &path, &dims, &chunk,
                          &compress, &members, &data, &attributes))
        return false;
    dataset.data.assign(static_cast<const char *>(data.buf),
                        static_cast<size_t>(data.len));
    PyBuffer_Release(&data);
    dataset.chunk = chunk;
    dataset.compress = compress;
    if (!text_of(path, dataset.path))
        return false;
    OwnedRef sizes(PySequence_Fast(dims, "dims must be a sequence"));
    if (!sizes)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sizes.get()); ++i) {
        const unsigned long long size = PyLong_AsUnsignedLongLong(
            PySequence_Fast_GET_ITEM(sizes.get(), i));
        if (PyErr_Occurred())
            return false;
        dataset.dims.push_back(size);
    }
    OwnedRef parts(PySequence_Fast(members, "members must be a sequence"));
    if (!parts)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(parts.get()); ++i) {
        PyObject *name;
        const char *kind;
        unsigned long long size;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(parts.get(), i),
                              "UsK:member", &name, &kind, &size))
            return false;
        S102Member member;
        member.kind = kind[0];
        member.size = size;
        if (!text_of(name, member.name))
            return false;
        dataset.members.push_back(std::move(member));
    }
    return attributes_of(attributes, dataset.attributes);
}

bool request_of(PyObject *groups, PyObject *datasets, S102Request &request)
{
    OwnedRef group_items(PySequence_Fast(groups, "groups must be a sequence"));
    if (!group_items)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(group_items.get());
         ++i) {
        PyObject *path, *attributes;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(group_items.get(), i),
                              "UO:group", &path, &attributes))
            return false;
        S102Group group;
        if (!text_of(path, group.path) ||
            !attributes_of(attributes, group.attributes))
            return false;
        request.groups.push_back(std::move(group));
    }
    OwnedRef dataset_items(
        PySequence_Fast(datasets, "datasets must be a sequence"));
    if (!dataset_items)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(dataset_items.get());
         ++i) {
        S102Dataset dataset;
        if (!dataset_of(PySequence_Fast_GET_ITEM(dataset_items.get(), i),
                        dataset))
            return false;
        request.datasets.push_back(std::move(dataset));
    }
    return true;
}

}  // namespace

PyObject *read_s102(PyObject *, PyObject *args)
{
    PyObject *path;
    int with_grid;
    if (!PyArg_ParseTuple(args, "Op:read_s102", &path, &with_grid))
        return nullptr;
    std::string name, kind, document;
    try {
        if (!file_name_of(path, name))
            return nullptr;
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    S102Outcome outcome;
    finished = hdf5::run_locked(
        [&] { read_s102_file(name.c_str(), with_grid != 0, outcome); });
    if (finished) {
        try {
            if (outcome.status == S102Outcome::failed) {
                kind = "failed";
                document = outcome.failure;
            } else if (outcome.status == S102Outcome::ok) {
                kind = "S-102";
                document = s102_answer(outcome);
            } else {
                kind = outcome.is_bag ? "BAG" : "HDF5";
            }
        } catch (const std::exception &) {
            finished = false;
        }
    }
    Py_END_ALLOW_THREADS
    if (!finished)
        return library_not_run("S-102");
    OwnedRef kind_text(PyUnicode_DecodeUTF8(
        kind.data(), static_cast<Py_ssize_t>(kind.size()), "replace"));
    if (!kind_text)
        return nullptr;
    OwnedRef bytes(PyBytes_FromStringAndSize(
        document.data(), static_cast<Py_ssize_t>(document.size())));
    if (!bytes)
        return nullptr;
    return PyTuple_Pack(2, kind_text.get(), bytes.get());
}

PyObject *write_s102(PyObject *, PyObject *args)
{
    PyObject *path, *groups, *datasets;
    if (!PyArg_ParseTuple(args, "OOO:write_s102", &path, &groups, &datasets))
        return nullptr;
    S102Request request;
    try {
        if (!file_name_of(path, request.path) ||
            !request_of(groups, datasets, request))
            return nullptr;
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    std::string failure;
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = hdf5::run_locked([&] { failure = write_s102_file(request); });
    Py_END_ALLOW_THREADS
    if (!finished)
        return library_not_run("S-102");
    return PyUnicode_DecodeUTF8(
        failure.data(), static_cast<Py_ssize_t>(failure.size()), "replace");
}

}  // namespace bathyra
