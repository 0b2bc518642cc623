// Calls into the host's element-tree library and string operations, and the
// look-ups of the module globals that reach them.
#include "xml_library_access.hpp"

#include <cstdint>

#include "module_state.hpp"
#include "owned_ref.hpp"

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

}  // namespace

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
