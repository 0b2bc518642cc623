// The module's process-wide state: every object and value that outlives a
// call, in one place.
//
// Every pointer here holds one strong reference from the moment it is made
// until the process ends.  They are plain pointers on purpose: the host may
// already be finalised when static destructors run, so nothing here may be
// released at exit.  They are written with the interpreter lock held: the
// constants by the exec step of import, the caches by calls, between two
// host operations that run no host code.
#pragma once

#include <cstdint>

#include "dict_watch.hpp"
#include "expat_pass.hpp"
#include "host_compat.hpp"
#include "library_watch.hpp"
#include "string_constants.hpp"
#include "traceback_entry.hpp"
#include "xml_library_access.hpp"

namespace bathyra {

struct ModuleState {
    // Import.
    int64_t interpreter_id = -1;   // the importing interpreter, for good
    uint32_t runtime_version = 0;  // packed, parsed once
    PyObject *module = nullptr;    // held module; null until an exec succeeds
    PyObject *globals = nullptr;   // its namespace, the globals of frames
    PyObject *builtins = nullptr;  // the host's builtins module
    PyTypeObject *function_type = nullptr;

    // Constants.
    PyObject *strings[string_count] = {};  // see string_constants.hpp
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *minus_nine = nullptr;   // int -9
    PyObject *date_slice = nullptr;   // slice(None, -9, None)
    PyObject *hyphen_args = nullptr;  // ("-", "")
    PyObject *csar_args = nullptr;    // (".csar", "")
    PyObject *code = nullptr;         // __code__ of extract_metadata

    // Code objects of traceback entries, made on first use.
    PyObject *entry_codes[entry_owner_count][line_slots] = {};

    // Look-ups of ET and XML_NS, per use site.
    SiteCache site_caches[global_site_count];

    // The streaming reader: the host's expat, the salt of its name hashing,
    // and what decides whether the reader may stand in for the library.
    expat::Library expat;
    LibraryWatch library_watch;
    DictWatchRegistry dict_watches;
};

extern ModuleState state;

// Borrowed reference to a string constant.
inline PyObject *str(Str id)
{
    return state.strings[static_cast<int>(id)];
}

}  // namespace bathyra
