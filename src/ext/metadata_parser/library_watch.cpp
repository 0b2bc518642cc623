// Whether the streaming reader may stand in for the XML library at a call.
//
// The library module, its ElementPath helper and the module's XML_NS are
// watched for changes from import on; a change that is undone (the same
// objects under the same names again) counts as no change.  Everything
// here compares by identity or looks at exact strs only, so that deciding
// runs no host code.
#include "library_watch.hpp"

#include <cstring>

#include "module_state.hpp"
#include "namespaces.hpp"
#include "owned_ref.hpp"
#include "streaming_reader.hpp"
#include "xml_library_access.hpp"

namespace bathyra {

namespace {

LibraryWatch &watched = state.library_watch;

// Whether `object` is an exact str with the characters of `constant`.
bool exact_text_equals(PyObject *object, PyObject *constant)
{
    if (!PyUnicode_CheckExact(object) || compat::unicode_ready(object) < 0) {
        PyErr_Clear();
        return false;
    }
    return same_characters(object, constant);
}

// Whether the registry holds what registering the six pairs in order
// leaves: those pairs last, in order, and no other entry with one of their
// namespace names or prefixes.  Registering them again would then change
// nothing.  Looks at exact strs only, so that no host code runs.
bool registry_is_registered()
{
    PyObject *map = state.library_watch.namespace_map;
    Py_ssize_t size = PyDict_GET_SIZE(map);
    if (size < namespace_pair_count)
        return false;
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(map, &position, &key, &value)) {
        Py_ssize_t ours = index - (size - namespace_pair_count);
        if (ours >= 0) {
            // The registry maps each namespace name to its prefix.
            if (!exact_text_equals(key, str(namespace_pairs[ours].uri)) ||
                !exact_text_equals(value, str(namespace_pairs[ours].prefix)))
                return false;
        } else {
            if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value))
                return false;
            for (const auto &pair : namespace_pairs)
                if (exact_text_equals(key, str(pair.uri)) ||
                    exact_text_equals(value, str(pair.prefix)))
                    return false;
        }
        ++index;
    }
    return index == size;
}

// Whether the table holds exactly the six pairs of import, in order.
bool table_is_as_made(PyObject *table)
{
    if (PyDict_GET_SIZE(table) != namespace_pair_count)
        return false;
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    for (const auto &pair : namespace_pairs) {
        if (!PyDict_Next(table, &position, &key, &value) ||
            !exact_text_equals(key, str(pair.prefix)) ||
            !exact_text_equals(value, str(pair.uri)))
            return false;
    }
    return true;
}

// Whether a namespace holds the very objects it held at import, under the
// same names and no others (a patch undone leaves it so).  Compares by
// identity, so no host code runs.
bool namespace_as_copied(PyObject *names, PyObject *copy)
{
    if (PyDict_GET_SIZE(names) != PyDict_GET_SIZE(copy))
        return false;
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(copy, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key))
            return false;
        PyObject *now = PyDict_GetItemWithError(names, key);
        if (now != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// True when the tracked dictionary is as it was, or holds again what it
// held (then that becomes the reference).
bool unchanged_or_restored(DictWatch &watch, bool (*restored)())
{
    if (dict_unchanged(watch))
        return true;
    if (!restored())
        return false;
    dict_accept_current(watch);
    return true;
}

}  // namespace

void watch_library(PyObject *library)
{
    if (watched.prepared || !PyModule_CheckExact(library))
        return;
    OwnedRef element_path(PyImport_GetModule(str(Str::xml_etree_ElementPath)));
    if (!element_path || !PyModule_CheckExact(element_path.get())) {
        PyErr_Clear();
        return;
    }
    PyObject *library_dict = PyModule_GetDict(library);
    PyObject *element_path_dict = PyModule_GetDict(element_path.get());
    PyObject *map =
        PyDict_GetItemWithError(library_dict, str(Str::_namespace_map));
    if (!map || !PyDict_CheckExact(map) || !load_expat()) {
        PyErr_Clear();
        return;
    }
    OwnedRef library_copy(PyDict_Copy(library_dict));
    OwnedRef element_path_copy(PyDict_Copy(element_path_dict));
    if (!library_copy || !element_path_copy) {
        PyErr_Clear();
        return;
    }
    if (watch_dict(watched.library_dict, library_dict) < 0 ||
        watch_dict(watched.element_path_dict, element_path_dict) < 0 ||
        watch_dict(watched.registry, map) < 0) {
        PyErr_Clear();
        return;
    }
    // The registry is checked before the first use.
    watched.registry.changed = true;
    Py_INCREF(library);
    replace_held(watched.library, library);
    replace_held(watched.element_path, element_path.release());
    replace_held(watched.library_copy, library_copy.release());
    replace_held(watched.element_path_copy, element_path_copy.release());
    Py_INCREF(map);
    replace_held(watched.namespace_map, map);
    watched.prepared = true;
}

void watch_namespace_table(PyObject *table)
{
    if (!watched.prepared)
        return;
    if (watch_dict(watched.table_dict, table) < 0) {
        PyErr_Clear();
        replace_held(watched.table, nullptr);
        return;
    }
    Py_INCREF(table);
    replace_held(watched.table, table);
}

bool streaming_allowed(PyObject *document)
{
    if (!watched.table ||
        (!PyBytes_CheckExact(document) && !PyUnicode_CheckExact(document)))
        return false;
    // Only the module namespace is looked at: a name found in the builtins
    // instead goes the library's way, which looks there.
    if (bound_xml_library() != watched.library ||
        bound_namespace_table() != watched.table ||
        !unchanged_or_restored(watched.library_dict,
                               [] {
                                   return namespace_as_copied(
                                       watched.library_dict.dict,
                                       watched.library_copy);
                               }) ||
        !unchanged_or_restored(watched.element_path_dict,
                               [] {
                                   return namespace_as_copied(
                                       watched.element_path_dict.dict,
                                       watched.element_path_copy);
                               }) ||
        !unchanged_or_restored(watched.table_dict,
                               [] { return table_is_as_made(watched.table); }))
        return false;
    if (!dict_unchanged(watched.registry)) {
        if (!registry_is_registered())
            return false;
        dict_accept_current(watched.registry);
    }
    return true;
}

}  // namespace bathyra
