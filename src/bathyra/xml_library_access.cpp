// Calls into the host's element-tree library and string operations, and the
// look-ups of the module globals that reach them.
#include "xml_library_access.hpp"

#include <cstdint>
#include <cstring>

#include "module_state.hpp"
#include "owned_ref.hpp"
#include "streaming_reader.hpp"

namespace bathyra {

namespace {

// What a use site saw at its last look-up in the module namespace: the
// value (borrowed: the dictionary holds it for as long as its version tag
// stays the same) or its absence.
struct SiteCache {
    bool filled = false;
    uint64_t tag = 0;
    PyObject *globals = nullptr;
    PyObject *value = nullptr;
};

SiteCache site_caches[static_cast<int>(GlobalSite::count_)];

PyObject *lookup_global(GlobalSite site, Str name)
{
    PyObject *globals = state.globals;
    PyObject *key = str(name);
    SiteCache &cache = site_caches[static_cast<int>(site)];
    uint64_t tag = compat::dict_version_tag(globals);
    PyObject *value;
    if (compat::has_dict_version_tag && cache.filled && cache.tag == tag &&
        cache.globals == globals) {
        value = cache.value;
    } else {
        value = PyDict_GetItemWithError(globals, key);
        if (!value && PyErr_Occurred())
            return nullptr;
        // Only stored when the search ran no host code that changed the
        // dictionary (a key's __eq__ could).
        if (compat::has_dict_version_tag &&
            compat::dict_version_tag(globals) == tag) {
            cache.filled = true;
            cache.tag = tag;
            cache.globals = globals;
            cache.value = value;
        }
    }
    if (value) {
        Py_INCREF(value);
        return value;
    }
    value = PyObject_GetAttr(state.builtins, key);
    if (value)
        return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return nullptr;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return nullptr;
}

PyObject *call_method(Str name, PyObject *receiver, PyObject *argument1,
                      PyObject *argument2)
{
    PyObject *args[] = {receiver, argument1, argument2};
    size_t count = argument2 ? 3 : 2;
    return PyObject_VectorcallMethod(
        str(name), args, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---------------------------------------------------------------------------
// When the streaming reader may stand in for the library.

struct StreamingState {
    bool prepared = false;
    PyObject *library = nullptr;        // the module `ET` of import
    PyObject *element_path = nullptr;   // xml.etree.ElementPath
    PyObject *namespace_map = nullptr;  // the library's registry
    PyObject *table = nullptr;          // the module's XML_NS
    // Copies of the two library namespaces as they were at import.
    PyObject *library_copy = nullptr;
    PyObject *element_path_copy = nullptr;
    compat::DictWatch library_dict;
    compat::DictWatch element_path_dict;
    compat::DictWatch registry;
    compat::DictWatch table_dict;
};

// Process-wide; the references are held for good, like the constants.
StreamingState streaming;

bool exact_text_equals(PyObject *object, PyObject *constant)
{
    if (!PyUnicode_CheckExact(object) || compat::unicode_ready(object) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(object);
    int kind = PyUnicode_KIND(object);
    return length == PyUnicode_GET_LENGTH(constant) &&
           kind == PyUnicode_KIND(constant) &&
           std::memcmp(PyUnicode_DATA(object), PyUnicode_DATA(constant),
                       static_cast<size_t>(length) * kind) == 0;
}

const Str registered_pairs[6][2] = {
    {Str::ns_gmi, Str::gmi}, {Str::ns_gmd, Str::gmd},
    {Str::ns_xsi, Str::xsi}, {Str::ns_gml, Str::gml},
    {Str::ns_gco, Str::gco}, {Str::ns_xlink, Str::xlink},
};

// Whether the registry holds what registering the six pairs in order
// leaves: those pairs last, in order, and no other entry with one of their
// namespace names or prefixes.  Registering them again would then change
// nothing.  Looks at exact strs only, so that no host code runs.
bool registry_is_registered()
{
    PyObject *map = streaming.namespace_map;
    Py_ssize_t size = PyDict_GET_SIZE(map);
    if (size < 6)
        return false;
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(map, &position, &key, &value)) {
        Py_ssize_t ours = index - (size - 6);
        if (ours >= 0) {
            if (!exact_text_equals(key, str(registered_pairs[ours][0])) ||
                !exact_text_equals(value, str(registered_pairs[ours][1])))
                return false;
        } else {
            if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value))
                return false;
            for (const auto &pair : registered_pairs)
                if (exact_text_equals(key, str(pair[0])) ||
                    exact_text_equals(value, str(pair[1])))
                    return false;
        }
        ++index;
    }
    return index == size;
}

// Whether the table holds exactly the six pairs of import, in order.
bool table_is_as_made(PyObject *table)
{
    if (PyDict_GET_SIZE(table) != 6)
        return false;
    static const Str pairs[6][2] = {
        {Str::gmi, Str::ns_gmi}, {Str::gmd, Str::ns_gmd},
        {Str::xsi, Str::ns_xsi}, {Str::gml, Str::ns_gml},
        {Str::gco, Str::ns_gco}, {Str::xlink, Str::ns_xlink},
    };
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    for (const auto &pair : pairs) {
        if (!PyDict_Next(table, &position, &key, &value) ||
            !exact_text_equals(key, str(pair[0])) ||
            !exact_text_equals(value, str(pair[1])))
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
bool unchanged_or_restored(compat::DictWatch &watch, bool (*restored)())
{
    if (compat::dict_unchanged(watch))
        return true;
    if (!restored())
        return false;
    compat::dict_accept_current(watch);
    return true;
}

}  // namespace

void prepare_streaming(PyObject *library) noexcept
{
    if (streaming.prepared || !PyModule_CheckExact(library))
        return;
    OwnedRef element_path(PyImport_GetModule(
        str(Str::xml_etree_ElementPath)));
    if (!element_path || !PyModule_CheckExact(element_path.get())) {
        PyErr_Clear();
        return;
    }
    PyObject *library_dict = PyModule_GetDict(library);
    PyObject *element_path_dict = PyModule_GetDict(element_path.get());
    PyObject *map = PyDict_GetItemWithError(library_dict,
                                            str(Str::_namespace_map));
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
    if (compat::watch_dict(streaming.library_dict, library_dict) < 0 ||
        compat::watch_dict(streaming.element_path_dict, element_path_dict) <
            0 ||
        compat::watch_dict(streaming.registry, map) < 0) {
        PyErr_Clear();
        return;
    }
    // The registry is checked before the first use.
    streaming.registry.changed = true;
    Py_INCREF(library);
    replace_held(streaming.library, library);
    replace_held(streaming.element_path, element_path.release());
    replace_held(streaming.library_copy, library_copy.release());
    replace_held(streaming.element_path_copy, element_path_copy.release());
    Py_INCREF(map);
    replace_held(streaming.namespace_map, map);
    streaming.prepared = true;
}

void note_namespace_table(PyObject *table) noexcept
{
    if (!streaming.prepared)
        return;
    if (compat::watch_dict(streaming.table_dict, table) < 0) {
        PyErr_Clear();
        replace_held(streaming.table, nullptr);
        return;
    }
    Py_INCREF(table);
    replace_held(streaming.table, table);
}

bool streaming_allowed(PyObject *document) noexcept
{
    if (!streaming.table ||
        (!PyBytes_CheckExact(document) && !PyUnicode_CheckExact(document)))
        return false;
    // Only the module namespace is looked at: a name found in the builtins
    // instead goes the library's way, which looks there.
    PyObject *library = PyDict_GetItemWithError(state.globals, str(Str::ET));
    PyObject *table = library ? PyDict_GetItemWithError(state.globals,
                                                        str(Str::XML_NS))
                              : nullptr;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (library != streaming.library || table != streaming.table ||
        !unchanged_or_restored(streaming.library_dict,
                               [] {
                                   return namespace_as_copied(
                                       streaming.library_dict.dict,
                                       streaming.library_copy);
                               }) ||
        !unchanged_or_restored(streaming.element_path_dict,
                               [] {
                                   return namespace_as_copied(
                                       streaming.element_path_dict.dict,
                                       streaming.element_path_copy);
                               }) ||
        !unchanged_or_restored(streaming.table_dict, [] {
            return table_is_as_made(streaming.table);
        }))
        return false;
    if (!compat::dict_unchanged(streaming.registry)) {
        if (!registry_is_registered())
            return false;
        compat::dict_accept_current(streaming.registry);
    }
    return true;
}

PyObject *xml_library(GlobalSite site) noexcept
{
    return lookup_global(site, Str::ET);
}

PyObject *namespace_table(GlobalSite site) noexcept
{
    return lookup_global(site, Str::XML_NS);
}

int register_namespace(PyObject *library, PyObject *prefix,
                       PyObject *uri) noexcept
{
    OwnedRef function(PyObject_GetAttr(library, str(Str::register_namespace)));
    if (!function)
        return -1;
    PyObject *args[] = {nullptr, prefix, uri};
    OwnedRef result(PyObject_Vectorcall(
        function.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
    return result ? 0 : -1;
}

PyObject *parse_document(PyObject *library, PyObject *document) noexcept
{
    OwnedRef function(PyObject_GetAttr(library, str(Str::fromstring)));
    if (!function)
        return nullptr;
    PyObject *args[] = {nullptr, document};
    return PyObject_Vectorcall(function.get(), args + 1,
                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject *find_element(PyObject *element, Str path, PyObject *table) noexcept
{
    return call_method(Str::find, element, str(path), table);
}

PyObject *find_all_elements(PyObject *element, Str path,
                            PyObject *table) noexcept
{
    return call_method(Str::findall, element, str(path), table);
}

PyObject *element_text(PyObject *element) noexcept
{
    return PyObject_GetAttr(element, str(Str::text));
}

PyObject *drop_last_nine(PyObject *text) noexcept
{
    PyMappingMethods *mapping = Py_TYPE(text)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    return mapping->mp_subscript(text, state.date_slice);
}

PyObject *replace_all(PyObject *text, PyObject *pair) noexcept
{
    OwnedRef method(PyObject_GetAttr(text, str(Str::replace)));
    if (!method)
        return nullptr;
    return PyObject_Call(method.get(), pair, nullptr);
}

PyObject *strip_chars(PyObject *text, PyObject *chars) noexcept
{
    return call_method(Str::strip, text, chars, nullptr);
}

}  // namespace bathyra
