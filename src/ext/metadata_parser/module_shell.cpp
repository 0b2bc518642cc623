// The module shell: the definition record, the create and exec steps of
// import, the runtime version check and the process-wide constants.
//
// One interpreter and one module object per process: the first create step
// records the importing interpreter, the first successful exec step holds
// the module, and every later import of the name gets that same module.
#include <cstdint>
#include <cstdio>

#include "call_binding.hpp"
#include "function_type.hpp"
#include "library_watch.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "traceback_entry.hpp"
#include "xml_library_access.hpp"

#ifndef BATHYRA_TARGET_MAJOR
#define BATHYRA_TARGET_MAJOR PY_MAJOR_VERSION
#endif
#ifndef BATHYRA_TARGET_MINOR
#define BATHYRA_TARGET_MINOR PY_MINOR_VERSION
#endif

namespace bathyra {

ModuleState state;

namespace {

// ---------------------------------------------------------------------------
// Create step.

// Copies spec.<attribute> into the module namespace under `key`.  A missing
// attribute skips the entry; returns 0 or -1.
int copy_spec_attribute(PyObject *spec, PyObject *ns, const char *attribute,
                        const char *key, bool skip_none)
{
    OwnedRef value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(ns, key, value.get());
}

PyObject *create_module(PyObject *spec, PyModuleDef *)
{
    int64_t current = compat::current_interpreter_id();
    if (current == -1)
        return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = current;
    } else if (state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) {
        Py_INCREF(state.module);
        return state.module;
    }
    OwnedRef name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    OwnedRef module(PyModule_NewObject(name.get()));
    name.reset();
    if (!module)
        return nullptr;
    PyObject *ns = PyModule_GetDict(module.get());
    if (!ns)
        return nullptr;
    if (copy_spec_attribute(spec, ns, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, ns, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, ns, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__",
                            true) < 0)
        return nullptr;
    return module.release();
}

// ---------------------------------------------------------------------------
// Runtime version check.

// Packs up to four dot-separated numbers from the start of the host's
// version text, one byte each from the top: '3.9.18 (...)' -> 0x03091200.
uint32_t parse_runtime_version(const char *text)
{
    uint32_t packed = 0;
    int shift = 24;
    const char *at = text;
    for (int part = 0; part < 4; ++part) {
        uint32_t number = 0;
        while (*at >= '0' && *at <= '9') {
            number = number * 10 + static_cast<uint32_t>(*at - '0');
            ++at;
        }
        packed |= (number & 0xFFu) << shift;
        shift -= 8;
        if (*at != '.')
            break;
        ++at;
    }
    return packed;
}

int check_runtime_version()
{
    if (state.runtime_version == 0)
        state.runtime_version = parse_runtime_version(Py_GetVersion());
    unsigned major = (state.runtime_version >> 24) & 0xFFu;
    unsigned minor = (state.runtime_version >> 16) & 0xFFu;
    if (major == BATHYRA_TARGET_MAJOR && minor == BATHYRA_TARGET_MINOR)
        return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s "
                  "runtime version %d.%d",
                  BATHYRA_TARGET_MAJOR, BATHYRA_TARGET_MINOR,
                  "bathyra.metadata_parser", "does not match",
                  static_cast<int>(major), static_cast<int>(minor));
    return PyErr_WarnEx(nullptr, message, 1);
}

// ---------------------------------------------------------------------------
// Import of the XML library.

// ---------------------------------------------------------------------------
// Exec step.

// Gives up the module after a failure, adding the import traceback entry
// for `line` when there is one.
int exec_failed()
{
    replace_held(state.module, nullptr);
    return -1;
}

int exec_failed(Line line)
{
    add_traceback_entry(EntryOwner::import_step, line);
    return exec_failed();
}

// Stores `value` (stolen) in the module globals under a string constant.
int store_global(Str key, OwnedRef value)
{
    return PyDict_SetItem(state.globals, str(key), value.get());
}

// Puts `made` (stolen) into a process-wide slot.  Returns 0, or -1 when
// `made` is null.
int hold(PyObject *&slot, PyObject *made)
{
    if (!made)
        return -1;
    replace_held(slot, made);
    return 0;
}

PyObject *make_code_object()
{
    static const Str varnames[] = {
        Str::raster,
        Str::metadata_xml,
        Str::prefix,
        Str::uri,
        Str::root,
        Str::begin_position_tag,
        Str::end_position_tag,
        Str::min_depth,
        Str::max_depth,
        Str::val1,
        Str::val2,
        Str::drval1,
        Str::drval2,
        Str::sursta,
        Str::surend,
        Str::platform_text,
        Str::platform_novalid,
        Str::platforms,
        Str::p,
        Str::planam,
        Str::objnam_tag,
        Str::objnam,
    };
    constexpr int nlocals = sizeof varnames / sizeof varnames[0];
    OwnedRef names(PyTuple_New(nlocals));
    if (!names)
        return nullptr;
    for (int i = 0; i < nlocals; ++i) {
        PyObject *name = str(varnames[i]);
        Py_INCREF(name);
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    OwnedRef byte_code(compat::descriptive_byte_code(state.empty_bytes));
    if (!byte_code)
        return nullptr;
    OwnedRef line_table(compat::descriptive_line_table(state.empty_bytes));
    if (!line_table)
        return nullptr;
    return reinterpret_cast<PyObject *>(compat::code_new_with_pos_only_args(
        1, 0, 0, nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, byte_code.get(),
        state.empty_tuple, state.empty_tuple, names.get(), state.empty_tuple,
        state.empty_tuple, str(Str::file_name), str(Str::extract_metadata),
        static_cast<int>(Line::define_function), line_table.get(),
        state.empty_bytes));
}

PyObject *make_pair(Str first, Str second)
{
    return PyTuple_Pack(2, str(first), str(second));
}

int exec_module(PyObject *module)
{
    if (state.module) {
        if (state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'metadata_parser' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    state.module = module;

    // Failures up to the string constants carry no traceback entry.
    PyObject *ns = PyModule_GetDict(module);
    if (!ns)
        return exec_failed();
    Py_INCREF(ns);
    replace_held(state.globals, ns);
    PyObject *builtins = PyImport_AddModule("builtins");
    if (!builtins)
        return exec_failed();
    Py_INCREF(builtins);
    replace_held(state.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0 ||
        check_runtime_version() < 0 ||
        hold(state.empty_tuple, PyTuple_New(0)) < 0 ||
        hold(state.empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0 ||
        prepare_function_type() < 0 || make_string_constants() < 0 ||
        hold(state.minus_nine, PyLong_FromLong(-9)) < 0)
        return exec_failed();

    PyObject *table = PyImport_GetModuleDict();
    int present = PyDict_Contains(table, str(Str::module_name));
    if (present < 0 ||
        (!present &&
         PyDict_SetItem(table, str(Str::module_name), module) < 0) ||
        hold(state.date_slice,
             PySlice_New(Py_None, state.minus_nine, Py_None)) < 0 ||
        hold(state.hyphen_args, make_pair(Str::hyphen, Str::empty)) < 0 ||
        hold(state.csar_args, make_pair(Str::csar_suffix, Str::empty)) < 0 ||
        hold(state.code, make_code_object()) < 0)
        return exec_failed(Line::import_setup);

    OwnedRef library(import_xml_library());
    if (!library)
        return exec_failed(Line::import_xml_library);
    // Not a step of its own: a failure only leaves the streaming reader
    // unused.
    watch_library(library.get());
    if (store_global(Str::ET, std::move(library)) < 0)
        return exec_failed(Line::import_xml_library);

    OwnedRef xml_ns(make_namespace_table());
    if (!xml_ns)
        return exec_failed(Line::build_xml_ns);
    PyObject *xml_ns_table = xml_ns.get();
    if (store_global(Str::XML_NS, std::move(xml_ns)) < 0)
        return exec_failed(Line::store_xml_ns);
    watch_namespace_table(xml_ns_table);

    OwnedRef function(function_new(
        bind_call, str(Str::extract_metadata), str(Str::extract_metadata),
        str(Str::module_name), state.globals, state.code));
    if (!function ||
        store_global(Str::extract_metadata, std::move(function)) < 0)
        return exec_failed(Line::define_function);

    OwnedRef test_table(PyDict_New());
    if (!test_table ||
        store_global(Str::dunder_test, std::move(test_table)) < 0)
        return exec_failed(Line::import_setup);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    BATHYRA_COMPAT_INTERPRETER_SLOT{0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "metadata_parser",
    nullptr,  // no documentation: __doc__ stays None
    0,        // all state is process-wide
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace bathyra

extern "C" PyMODINIT_FUNC PyInit_metadata_parser(void)
{
    return PyModuleDef_Init(&bathyra::module_definition);
}
