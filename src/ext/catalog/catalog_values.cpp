// Conversions of the catalogue's values: Python objects to the store's
// specifications and rows, and the rows read back to tuples.
#include "catalog_values.hpp"

#include <cstring>

#include "owned_ref.hpp"

namespace bathyra {
namespace catalog {
namespace {

struct KindName {
    const char *name;
    FieldKind kind;
};
const KindName kind_names[] = {
    {"text", FieldKind::text},         {"real", FieldKind::real},
    {"integer", FieldKind::integer},   {"date", FieldKind::date},
    {"datetime", FieldKind::datetime},
};

bool kind_from(PyObject *object, FieldKind &kind)
{
    std::string name;
    if (!text_from(object, name))
        return false;
    for (const KindName &known : kind_names)
        if (name == known.name) {
            kind = known.kind;
            return true;
        }
    PyErr_Format(PyExc_ValueError, "unknown kind of field '%s'", name.c_str());
    return false;
}

bool value_from(PyObject *object, Value &value)
{
    if (object == Py_None) {
        value.kind = Value::none;
    } else if (PyLong_Check(object)) {
        long long number = PyLong_AsLongLong(object);
        if (number == -1 && PyErr_Occurred())
            return false;
        value.kind = Value::whole;
        value.integer = number;
    } else if (PyFloat_Check(object)) {
        value.kind = Value::number;
        value.real = PyFloat_AS_DOUBLE(object);
    } else if (PyUnicode_Check(object)) {
        value.kind = Value::words;
        if (!text_from(object, value.text))
            return false;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "a catalogue value must be None, int, float or str, "
                     "not %.200s",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    return true;
}

}  // namespace

bool text_from(PyObject *object, std::string &text)
{
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.200s",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(object, &size);
    OwnedRef escaped;
    if (!data) {
        // Lone surrogates (a name's bytes that are no UTF-8) have no
        // UTF-8 form: they are kept as \udcNN rather than stop the run.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            return false;
        PyErr_Clear();
        escaped.reset(
            PyUnicode_AsEncodedString(object, "utf-8", "backslashreplace"));
        char *raw;
        if (!escaped ||
            PyBytes_AsStringAndSize(escaped.get(), &raw, &size) < 0)
            return false;
        data = raw;
    }
    if (std::memchr(data, '\0', static_cast<size_t>(size))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    text.assign(data, static_cast<size_t>(size));
    return true;
}

bool layer_spec_from(PyObject *name, int geometry, PyObject *fields,
                     LayerSpec &spec)
{
    if (!text_from(name, spec.name))
        return false;
    spec.geometry = geometry != 0;
    OwnedRef items(PySequence_Fast(fields, "the fields must be a sequence"));
    if (!items)
        return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(items.get(), i);
        PyObject *field_name, *kind_name;
        if (!PyArg_ParseTuple(item, "UU:field", &field_name, &kind_name))
            return false;
        FieldSpec field;
        if (!text_from(field_name, field.name) ||
            !kind_from(kind_name, field.kind))
            return false;
        spec.fields.push_back(std::move(field));
    }
    return true;
}

bool row_from(PyObject *values, Row &row)
{
    OwnedRef items(PySequence_Fast(values, "the values must be a sequence"));
    if (!items)
        return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    row.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!value_from(PySequence_Fast_GET_ITEM(items.get(), i),
                        row[static_cast<size_t>(i)]))
            return false;
    return true;
}

bool names_from(PyObject *sequence, std::vector<std::string> &names)
{
    OwnedRef items(
        PySequence_Fast(sequence, "the columns must be a sequence"));
    if (!items)
        return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    names.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!text_from(PySequence_Fast_GET_ITEM(items.get(), i),
                       names[static_cast<size_t>(i)]))
            return false;
    return true;
}

PyObject *value_to_python(const Value &value)
{
    switch (value.kind) {
    case Value::whole:
        return PyLong_FromLongLong(value.integer);
    case Value::number:
        return PyFloat_FromDouble(value.real);
    case Value::words:
        return PyUnicode_DecodeUTF8(value.text.data(),
                                    static_cast<Py_ssize_t>(value.text.size()),
                                    "replace");
    case Value::none:
        break;
    }
    return compat::new_ref(Py_None);
}

PyObject *rows_to_python(const std::vector<Found> &rows, bool with_geometry)
{
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Found &found = rows[i];
        size_t width = found.values.size() + (with_geometry ? 1 : 0);
        OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(width)));
        if (!tuple)
            return nullptr;
        for (size_t j = 0; j < found.values.size(); ++j) {
            PyObject *item = value_to_python(found.values[j]);
            if (!item)
                return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(j), item);
        }
        if (with_geometry) {
            PyObject *shape =
                found.has_geometry
                    ? PyUnicode_DecodeUTF8(
                          found.geometry.data(),
                          static_cast<Py_ssize_t>(found.geometry.size()),
                          "replace")
                    : compat::new_ref(Py_None);
            if (!shape)
                return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(width - 1),
                             shape);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        tuple.release());
    }
    return list.release();
}

}  // namespace catalog
}  // namespace bathyra
