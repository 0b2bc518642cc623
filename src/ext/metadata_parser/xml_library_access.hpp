// Access to the host's XML library and to the module globals that name it.
//
// The only code that names `ET`, `XML_NS` and the library's functions: the
// import of the library, the making of XML_NS, the look-ups of both globals
// and the calls into the library and the string operations on its texts.
// Globals are looked up at every use (module namespace, then builtins);
// each use site keeps a cache keyed on the namespace dictionary's version
// tag, so that an unchanged namespace costs no dictionary search.
#pragma once

#include <cstdint>

#include "host_compat.hpp"
#include "string_constants.hpp"

namespace bathyra {

// The use sites of module globals in the extraction routine.
enum class GlobalSite : int {
    namespace_loop,      // XML_NS, Line::namespace_loop
    register_namespace,  // ET, Line::register_namespace
    parse,               // ET, Line::parse_document
    begin_position,      // XML_NS, Line::find_begin_position
    end_position,        // XML_NS, Line::find_end_position
    minimum_value,       // XML_NS, Line::find_minimum_value
    maximum_value,       // XML_NS, Line::find_maximum_value
    platforms,           // XML_NS, Line::find_platforms
    citation,            // XML_NS, Line::find_citation
    count_
};

constexpr int global_site_count = static_cast<int>(GlobalSite::count_);

// What a use site saw at its last look-up in the module namespace: the
// value (borrowed: the dictionary holds it for as long as its version tag
// stays the same) or its absence.
struct SiteCache {
    bool filled = false;
    uint64_t tag = 0;
    PyObject *globals = nullptr;
    PyObject *value = nullptr;
};

// The import of xml.etree.ElementTree that binds `ET`: a complete module
// of the module table is taken as it is, else the host's import function
// runs.  New reference, or null.
PyObject *import_xml_library();

// A new XML_NS table: the six pairs in order.  New reference, or null.
PyObject *make_namespace_table();

// New reference to the global `ET` or `XML_NS` as seen from `site`, or null
// with NameError "name '...' is not defined" (or a host error) pending.
PyObject *xml_library(GlobalSite site);
PyObject *namespace_table(GlobalSite site);

// Borrowed references to what the module namespace binds to `ET` and
// `XML_NS` now, or null; runs no host code and leaves no exception.
PyObject *bound_xml_library();
PyObject *bound_namespace_table();

// ET.register_namespace(prefix, uri); returns 0 or -1.
int register_namespace(PyObject *library, PyObject *prefix, PyObject *uri);

// ET.fromstring(document): new reference to the root element, or null.
PyObject *parse_document(PyObject *library, PyObject *document);

// element.find(path, table) and element.findall(path, table): new
// references, or null.
PyObject *find_element(PyObject *element, Str path, PyObject *table);
PyObject *find_all_elements(PyObject *element, Str path, PyObject *table);

// element.text: new reference, or null.
PyObject *element_text(PyObject *element);

// text[:-9] through the subscript operation of the text's type; new
// reference, or null (TypeError "'...' object is unsliceable" when the type
// has none).
PyObject *drop_last_nine(PyObject *text);

// text.replace(*pair) with a constant argument pair; new reference or null.
PyObject *replace_all(PyObject *text, PyObject *pair);

// text.strip(chars); new reference or null.
PyObject *strip_chars(PyObject *text, PyObject *chars);

}  // namespace bathyra
