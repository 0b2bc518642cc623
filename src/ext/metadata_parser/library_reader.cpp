// The library way: namespace registration, parsing and the searches, each
// a call into the host's XML library with the globals of its moment.
#include "library_reader.hpp"

#include "module_state.hpp"
#include "xml_library_access.hpp"

namespace bathyra {

namespace {

// Registers one pair with whatever `ET` is bound to now.  Returns 0 or -1.
int register_pair(PyObject *prefix, PyObject *uri)
{
    OwnedRef library(xml_library(GlobalSite::register_namespace));
    if (!library)
        return -1;
    return register_namespace(library.get(), prefix, uri);
}

// Splits one item of an items() result into two values, as the unpacking
// of a two-name for loop does.  Returns 0 or -1.
int unpack_pair(PyObject *item, OwnedRef &first, OwnedRef &second)
{
    if (PyTuple_Check(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size == 2) {
            first = OwnedRef::borrow(PyTuple_GET_ITEM(item, 0));
            second = OwnedRef::borrow(PyTuple_GET_ITEM(item, 1));
            return 0;
        }
        if (size > 2)
            PyErr_Format(PyExc_ValueError,
                         "too many values to unpack (expected %zd)",
                         static_cast<Py_ssize_t>(2));
        else
            PyErr_Format(PyExc_ValueError,
                         "need more than %zd value%.1s to unpack", size,
                         size == 1 ? "" : "s");
        return -1;
    }
    OwnedRef iterator(PyObject_GetIter(item));
    if (!iterator)
        return -1;
    OwnedRef values[2];
    for (Py_ssize_t got = 0; got < 2; ++got) {
        values[got].reset(PyIter_Next(iterator.get()));
        if (!values[got]) {
            if (PyErr_Occurred())
                return -1;
            PyErr_Format(PyExc_ValueError,
                         "need more than %zd value%.1s to unpack", got,
                         got == 1 ? "" : "s");
            return -1;
        }
    }
    OwnedRef extra(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError,
                     "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
        return -1;
    }
    if (PyErr_Occurred())
        return -1;
    first = std::move(values[0]);
    second = std::move(values[1]);
    return 0;
}

// The element of a list or tuple at `i`, or null past its end; the length
// is read again at every step, as iteration by index does.
PyObject *sequence_item(PyObject *sequence, Py_ssize_t i)
{
    if (PyList_CheckExact(sequence))
        return i < PyList_GET_SIZE(sequence) ? PyList_GET_ITEM(sequence, i)
                                             : nullptr;
    return i < PyTuple_GET_SIZE(sequence) ? PyTuple_GET_ITEM(sequence, i)
                                          : nullptr;
}

bool is_list_or_tuple(PyObject *value)
{
    return PyList_CheckExact(value) || PyTuple_CheckExact(value);
}

// The text of the first element that `path` finds.  New reference or null.
PyObject *first_text(GlobalSite site, Str path, PyObject *root)
{
    OwnedRef table(namespace_table(site));
    if (!table)
        return nullptr;
    OwnedRef element(find_element(root, path, table.get()));
    if (!element)
        return nullptr;
    return element_text(element.get());
}

// Appends `text` followed by "," to `platform_text`.  Returns 0 or -1.
int append_platform(PyObject *text, OwnedRef &platform_text)
{
    OwnedRef with_comma(PyNumber_Add(text, str(Str::comma)));
    if (!with_comma)
        return -1;
    if (PyUnicode_CheckExact(platform_text.get()) &&
        PyUnicode_CheckExact(with_comma.get())) {
        // The same str as the in-place addition gives, grown in place when
        // this is its only reference: many names cost linear time, as
        // they do in a Python loop.
        PyObject *joined = platform_text.release();
        PyUnicode_Append(&joined, with_comma.get());
        platform_text.reset(joined);
        return joined ? 0 : -1;
    }
    OwnedRef joined(
        PyNumber_InPlaceAdd(platform_text.get(), with_comma.get()));
    if (!joined)
        return -1;
    platform_text = std::move(joined);
    return 0;
}

// Appends the text of one acquisition element unless it is None (an
// element without text) or a placeholder.  Returns the failing line.
Line add_platform(PyObject *element, PyObject *placeholders,
                  OwnedRef &platform_text)
{
    OwnedRef text(element_text(element));
    if (!text)
        return Line::test_platform;
    if (text.get() == Py_None)
        return no_failure;
    int placeholder = PySet_Contains(placeholders, text.get());
    if (placeholder < 0)
        return Line::test_platform;
    text.reset();
    if (placeholder)
        return no_failure;
    text.reset(element_text(element));
    if (!text || append_platform(text.get(), platform_text) < 0)
        return Line::append_platform;
    return no_failure;
}

PyObject *make_placeholders()
{
    OwnedRef placeholders(PySet_New(nullptr));
    if (!placeholders)
        return nullptr;
    if (PySet_Add(placeholders.get(), str(Str::platform_name)) < 0 ||
        PySet_Add(placeholders.get(), str(Str::instrument_unknown)) < 0 ||
        PySet_Add(placeholders.get(), str(Str::instrument_type_unknown)) < 0)
        return nullptr;
    return placeholders.release();
}

constexpr struct {
    GlobalSite site;
    Str path;
    Line line;
} extent_finds[] = {
    {GlobalSite::begin_position, Str::path_begin_position,
     Line::find_begin_position},
    {GlobalSite::end_position, Str::path_end_position,
     Line::find_end_position},
    {GlobalSite::minimum_value, Str::path_minimum_value,
     Line::find_minimum_value},
    {GlobalSite::maximum_value, Str::path_maximum_value,
     Line::find_maximum_value},
};

}  // namespace

// Walks the namespace table and registers every pair; prefix_ and uri_
// keep the last pair.
Line LibraryReader::register_namespaces()
{
    OwnedRef table(namespace_table(GlobalSite::namespace_loop));
    if (!table)
        return Line::namespace_loop;
    if (table.get() == Py_None) {
        PyErr_Format(PyExc_AttributeError,
                     "'NoneType' object has no attribute '%.30s'", "items");
        return Line::namespace_loop;
    }
    if (PyDict_CheckExact(table.get())) {
        // Walked in place; the size is checked before every step, the last
        // one included, as dictionary iteration does.
        const Py_ssize_t size = PyDict_GET_SIZE(table.get());
        Py_ssize_t position = 0;
        for (;;) {
            if (PyDict_GET_SIZE(table.get()) != size) {
                PyErr_SetString(PyExc_RuntimeError,
                                "dictionary changed size during iteration");
                return Line::namespace_loop;
            }
            PyObject *key;
            PyObject *value;
            if (!PyDict_Next(table.get(), &position, &key, &value))
                return no_failure;
            prefix_ = OwnedRef::borrow(key);
            uri_ = OwnedRef::borrow(value);
            if (register_pair(prefix_.get(), uri_.get()) < 0)
                return Line::register_namespace;
        }
    }
    OwnedRef items_method(PyObject_GetAttr(table.get(), str(Str::items)));
    if (!items_method)
        return Line::namespace_loop;
    OwnedRef items(PyObject_CallNoArgs(items_method.get()));
    items_method.reset();
    if (!items)
        return Line::namespace_loop;
    OwnedRef iterator;
    if (!is_list_or_tuple(items.get())) {
        iterator.reset(PyObject_GetIter(items.get()));
        if (!iterator)
            return Line::namespace_loop;
    }
    for (Py_ssize_t i = 0;; ++i) {
        OwnedRef item;
        if (iterator) {
            item.reset(PyIter_Next(iterator.get()));
            if (!item && PyErr_Occurred())
                return Line::namespace_loop;
        } else {
            item = OwnedRef::borrow(sequence_item(items.get(), i));
        }
        if (!item)
            return no_failure;
        if (unpack_pair(item.get(), prefix_, uri_) < 0)
            return Line::namespace_loop;
        if (register_pair(prefix_.get(), uri_.get()) < 0)
            return Line::register_namespace;
    }
}

Line LibraryReader::open(PyObject *metadata_xml)
{
    Line line = register_namespaces();
    if (failed(line))
        return line;
    OwnedRef library(xml_library(GlobalSite::parse));
    if (!library)
        return Line::parse_document;
    root_.reset(parse_document(library.get(), metadata_xml));
    return root_ ? no_failure : Line::parse_document;
}

Line LibraryReader::extent_text(ExtentField field, OwnedRef &text)
{
    const auto &find = extent_finds[static_cast<int>(field)];
    text.reset(first_text(find.site, find.path, root_.get()));
    return text ? no_failure : find.line;
}

// Walks the elements that findall returned, binding each to p_ (the
// previous one is released when the next is bound, and the last stays
// bound).
Line LibraryReader::collect_platforms(OwnedRef &text)
{
    PyObject *platforms = platforms_.get();
    PyObject *placeholders = platform_novalid_.get();
    if (is_list_or_tuple(platforms)) {
        for (Py_ssize_t i = 0;; ++i) {
            PyObject *element = sequence_item(platforms, i);
            if (!element)
                return no_failure;
            p_ = OwnedRef::borrow(element);
            Line line = add_platform(p_.get(), placeholders, text);
            if (failed(line))
                return line;
        }
    }
    OwnedRef iterator(PyObject_GetIter(platforms));
    if (!iterator)
        return Line::platform_loop;
    iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (;;) {
        OwnedRef element(next(iterator.get()));
        if (!element) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration))
                    return Line::platform_loop;
                PyErr_Clear();
            }
            return no_failure;
        }
        p_ = std::move(element);
        Line line = add_platform(p_.get(), placeholders, text);
        if (failed(line))
            return line;
    }
}

Line LibraryReader::platform_text(OwnedRef &text)
{
    text = OwnedRef::borrow(str(Str::empty));
    platform_novalid_.reset(make_placeholders());
    if (!platform_novalid_)
        return Line::make_placeholders;
    {
        OwnedRef table(namespace_table(GlobalSite::platforms));
        if (!table)
            return Line::find_platforms;
        platforms_.reset(
            find_all_elements(root_.get(), Str::path_platforms, table.get()));
        if (!platforms_)
            return Line::find_platforms;
    }
    return collect_platforms(text);
}

Line LibraryReader::citation_text(OwnedRef &text)
{
    {
        OwnedRef table(namespace_table(GlobalSite::citation));
        if (!table)
            return Line::find_citation;
        objnam_tag_.reset(
            find_element(root_.get(), Str::path_citation, table.get()));
        if (!objnam_tag_)
            return Line::find_citation;
    }
    if (objnam_tag_.get() == Py_None) {
        text = OwnedRef::borrow(str(Str::VACIO));
        return no_failure;
    }
    text.reset(element_text(objnam_tag_.get()));
    return text ? no_failure : Line::citation_text;
}

}  // namespace bathyra
