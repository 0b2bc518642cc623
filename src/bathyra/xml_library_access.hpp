// Access to the host's XML library and to the module globals that name it.
//
// The only code that names `ET`, `XML_NS` and the library's functions.
// Globals are looked up at every use (module namespace, then builtins);
// each use site keeps a cache keyed on the namespace dictionary's version
// tag, so that an unchanged namespace costs no dictionary search.
#pragma once

#include "host_compat.hpp"
#include "string_constants.hpp"

namespace bathyra {

// The use sites of module globals in the extraction routine.
enum class GlobalSite : int {
    namespace_loop,      // XML_NS, line 15
    register_namespace,  // ET, line 16
    parse,               // ET, line 17
    begin_position,      // XML_NS, line 19
    end_position,        // XML_NS, line 20
    minimum_value,       // XML_NS, line 21
    maximum_value,       // XML_NS, line 22
    platforms,           // XML_NS, line 33
    citation,            // XML_NS, line 39
    count_
};

// New reference to the global `ET` or `XML_NS` as seen from `site`, or null
// with NameError "name '...' is not defined" (or a host error) pending.
PyObject *xml_library(GlobalSite site) noexcept;
PyObject *namespace_table(GlobalSite site) noexcept;

// The streaming reader may stand in for the library when, at the moment of
// a call, `ET` is the library module of import and `XML_NS` the module's
// own table, neither library module's namespace (nor the table) changed
// since, and the library's namespace registry is in the state that the six
// registrations give.  Set up once per process by the import; a failure
// there only leaves the reader unused.
void prepare_streaming(PyObject *library) noexcept;
void note_namespace_table(PyObject *table) noexcept;

// Whether this call may read `document` with the streaming reader.  Runs
// no host code; never fails.
bool streaming_allowed(PyObject *document) noexcept;

// ET.register_namespace(prefix, uri); returns 0 or -1.
int register_namespace(PyObject *library, PyObject *prefix,
                       PyObject *uri) noexcept;

// ET.fromstring(document): new reference to the root element, or null.
PyObject *parse_document(PyObject *library, PyObject *document) noexcept;

// element.find(path, table) and element.findall(path, table): new
// references, or null.
PyObject *find_element(PyObject *element, Str path, PyObject *table) noexcept;
PyObject *find_all_elements(PyObject *element, Str path,
                            PyObject *table) noexcept;

// element.text: new reference, or null.
PyObject *element_text(PyObject *element) noexcept;

// text[:-9] through the subscript operation of the text's type; new
// reference, or null (TypeError "'...' object is unsliceable" when the type
// has none).
PyObject *drop_last_nine(PyObject *text) noexcept;

// text.replace(*pair) with a constant argument pair; new reference or null.
PyObject *replace_all(PyObject *text, PyObject *pair) noexcept;

// text.strip(chars); new reference or null.
PyObject *strip_chars(PyObject *text, PyObject *chars) noexcept;

}  // namespace bathyra
