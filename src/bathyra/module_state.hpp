// Process-wide state of the module, shared by its units.
//
// Every pointer here holds one strong reference from the moment it is made
// until the process ends.  They are plain pointers on purpose: the host may
// already be finalised when static destructors run, so nothing here may be
// released at exit.  They are written only by the exec step of import, on
// the importing thread and with the interpreter lock held.
#pragma once

#include "host_compat.hpp"

namespace bathyra {

struct ModuleState {
    PyObject *module = nullptr;    // held module; null until an exec succeeds
    PyObject *globals = nullptr;   // its namespace, the globals of frames
    PyObject *builtins = nullptr;  // the host's builtins module
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *empty_text = nullptr;
    PyObject *minus_nine = nullptr;         // int -9
    PyObject *date_slice = nullptr;         // slice(None, -9, None)
    PyObject *hyphen_args = nullptr;        // ("-", "")
    PyObject *csar_args = nullptr;          // (".csar", "")
    PyObject *xml_library_parts = nullptr;  // ("xml", "etree", "ElementTree")
    PyObject *code = nullptr;               // __code__ of extract_metadata
};

extern ModuleState state;

// The fixed names that traceback entries carry.
constexpr const char *file_name = "bathyra/metadata_parser";
constexpr const char *import_function_name = "init bathyra.metadata_parser";
constexpr const char *call_function_name =
    "bathyra.metadata_parser.extract_metadata";

}  // namespace bathyra
