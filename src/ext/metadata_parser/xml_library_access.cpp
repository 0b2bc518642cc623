// Calls into the host's element-tree library and string operations, the
// import of the library, XML_NS, and the look-ups of the globals.
#include "xml_library_access.hpp"

#include "module_state.hpp"
#include "namespaces.hpp"
#include "owned_ref.hpp"

namespace bathyra {

namespace {

PyObject *lookup_global(GlobalSite site, Str name)
{
    PyObject *globals = state.globals;
    PyObject *key = str(name);
    SiteCache &cache = state.site_caches[static_cast<int>(site)];
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

// Reads obj.<name>; a missing attribute gives an empty owner with no
// exception pending.
OwnedRef attribute_or_absent(PyObject *obj, PyObject *name)
{
    OwnedRef value(PyObject_GetAttr(obj, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
    return value;
}

// The module table's entry for the dotted name when it is a complete
// module; otherwise empty, with no exception pending.  A None entry is the
// host's marker of a blocked import and counts as absent, so that the
// import function reports it.
OwnedRef complete_module_in_table(PyObject *dotted)
{
    OwnedRef module(PyImport_GetModule(dotted));
    if (!module || module.get() == Py_None) {
        PyErr_Clear();
        return OwnedRef();
    }
    bool initialising = false;
    OwnedRef spec = attribute_or_absent(module.get(), str(Str::dunder_spec));
    if (spec) {
        OwnedRef flag =
            attribute_or_absent(spec.get(), str(Str::_initializing));
        if (flag)
            initialising = PyObject_IsTrue(flag.get()) == 1;
    }
    PyErr_Clear();
    if (initialising)
        return OwnedRef();
    return module;
}

}  // namespace

PyObject *import_xml_library()
{
    PyObject *dotted = str(Str::xml_etree_ElementTree);
    OwnedRef module = complete_module_in_table(dotted);
    if (module)
        return module.release();
    OwnedRef locals(PyDict_New());
    if (!locals)
        return nullptr;
    OwnedRef package(PyImport_ImportModuleLevelObject(
        dotted, state.globals, locals.get(), nullptr, 0));
    if (!package)
        return nullptr;
    module.reset(PyImport_GetModule(dotted));
    if (module && module.get() != Py_None)
        return module.release();
    module.reset();
    PyErr_Clear();
    // Not in the table: walk the attributes from the package.
    OwnedRef current = std::move(package);
    const Str parts[] = {Str::etree, Str::ElementTree};
    const char *prefixes[] = {"xml.etree", "xml.etree.ElementTree"};
    for (int i = 0; i < 2; ++i) {
        OwnedRef next(PyObject_GetAttr(current.get(), str(parts[i])));
        if (!next) {
            PyErr_Clear();
            PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%s'",
                         prefixes[i]);
            return nullptr;
        }
        current = std::move(next);
    }
    return current.release();
}

PyObject *make_namespace_table()
{
    OwnedRef table(PyDict_New());
    if (!table)
        return nullptr;
    for (const auto &pair : namespace_pairs)
        if (PyDict_SetItem(table.get(), str(pair.prefix), str(pair.uri)) < 0)
            return nullptr;
    return table.release();
}

PyObject *bound_xml_library()
{
    PyObject *value = PyDict_GetItemWithError(state.globals, str(Str::ET));
    if (!value)
        PyErr_Clear();
    return value;
}

PyObject *bound_namespace_table()
{
    PyObject *value = PyDict_GetItemWithError(state.globals, str(Str::XML_NS));
    if (!value)
        PyErr_Clear();
    return value;
}

PyObject *xml_library(GlobalSite site)
{
    return lookup_global(site, Str::ET);
}

PyObject *namespace_table(GlobalSite site)
{
    return lookup_global(site, Str::XML_NS);
}

int register_namespace(PyObject *library, PyObject *prefix, PyObject *uri)
{
    OwnedRef function(PyObject_GetAttr(library, str(Str::register_namespace)));
    if (!function)
        return -1;
    PyObject *args[] = {nullptr, prefix, uri};
    OwnedRef result(PyObject_Vectorcall(function.get(), args + 1,
                                        2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    return result ? 0 : -1;
}

PyObject *parse_document(PyObject *library, PyObject *document)
{
    OwnedRef function(PyObject_GetAttr(library, str(Str::fromstring)));
    if (!function)
        return nullptr;
    PyObject *args[] = {nullptr, document};
    return PyObject_Vectorcall(function.get(), args + 1,
                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject *find_element(PyObject *element, Str path, PyObject *table)
{
    return call_method(Str::find, element, str(path), table);
}

PyObject *find_all_elements(PyObject *element, Str path, PyObject *table)
{
    return call_method(Str::findall, element, str(path), table);
}

PyObject *element_text(PyObject *element)
{
    return PyObject_GetAttr(element, str(Str::text));
}

PyObject *drop_last_nine(PyObject *text)
{
    PyMappingMethods *mapping = Py_TYPE(text)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    return mapping->mp_subscript(text, state.date_slice);
}

PyObject *replace_all(PyObject *text, PyObject *pair)
{
    OwnedRef method(PyObject_GetAttr(text, str(Str::replace)));
    if (!method)
        return nullptr;
    return PyObject_Call(method.get(), pair, nullptr);
}

PyObject *strip_chars(PyObject *text, PyObject *chars)
{
    return call_method(Str::strip, text, chars, nullptr);
}

}  // namespace bathyra
