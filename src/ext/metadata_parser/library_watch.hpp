// Whether the streaming reader may stand in for the XML library: when, at
// the moment of a call, `ET` is the library module of import and `XML_NS`
// the module's own table, neither library module's namespace (nor the
// table) changed since (or a change was undone), and the library's
// namespace registry is in the state that the six registrations give.
#pragma once

#include "dict_watch.hpp"
#include "host_compat.hpp"

namespace bathyra {

// What the watch holds: references held for good, like the constants.
struct LibraryWatch {
    bool prepared = false;
    PyObject *library = nullptr;        // the module `ET` of import
    PyObject *element_path = nullptr;   // xml.etree.ElementPath
    PyObject *namespace_map = nullptr;  // the library's registry
    PyObject *table = nullptr;          // the module's XML_NS
    // Copies of the two library namespaces as they were at import.
    PyObject *library_copy = nullptr;
    PyObject *element_path_copy = nullptr;
    DictWatch library_dict;
    DictWatch element_path_dict;
    DictWatch registry;
    DictWatch table_dict;
};

// Set up once per process by the import; a failure there only leaves the
// streaming reader unused (no exception pending).
void watch_library(PyObject *library);
void watch_namespace_table(PyObject *table);

// Whether this call may read `document` with the streaming reader.  Runs
// no host code; never fails.
bool streaming_allowed(PyObject *document);

}  // namespace bathyra
