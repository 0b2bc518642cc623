// Every difference between host versions that the module depends on lives
// here.  Each shim carries the newest host's name and says which host
// version changed the behaviour; the rest of the module calls only these
// names and the stable part of the host API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#if PY_VERSION_HEX >= 0x030B0000
#include <opcode.h>
#endif
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include <cstdint>

namespace bathyra {
namespace compat {

// Code objects: 3.11 added the qualified name and the exception table to the
// constructor; 3.12 renamed it PyUnstable_Code_NewWithPosOnlyArgs.
inline PyCodeObject *code_new_with_pos_only_args(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals,
    int stacksize, int flags, PyObject *code, PyObject *consts,
    PyObject *names, PyObject *varnames, PyObject *freevars,
    PyObject *cellvars, PyObject *filename, PyObject *name, int firstlineno,
    PyObject *linetable, PyObject *empty_bytes)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
        code, consts, names, varnames, freevars, cellvars, filename, name,
        name, firstlineno, linetable, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
        code, consts, names, varnames, freevars, cellvars, filename, name,
        name, firstlineno, linetable, empty_bytes);
#else
    (void)empty_bytes;
    PyCodeObject *made = PyCode_NewWithPosOnlyArgs(
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
        code, consts, names, varnames, freevars, cellvars, filename, name,
        firstlineno, linetable);
    // Before 3.11 the constructor adds CO_NOFREE by itself; the flags stay
    // those asked for (the code object is descriptive and never runs).
    if (made)
        made->co_flags = flags;
    return made;
#endif
}

// The byte code of the descriptive code object of extract_metadata.  Up to
// 3.10 it is empty (running it stops at once with "unknown opcode").  From
// 3.11 on an interpreter that runs empty byte code crashes, so the body is
// the smallest one that fails cleanly: a bare `raise` with no active
// exception (RuntimeError).  It needs no constant and no stack.
inline PyObject *descriptive_byte_code(PyObject *empty_bytes)
{
#if PY_VERSION_HEX >= 0x030B0000
    (void)empty_bytes;
    const char body[] = {static_cast<char>(RESUME), 0,
                         static_cast<char>(RAISE_VARARGS), 0};
    return PyBytes_FromStringAndSize(body, sizeof body);
#else
    Py_INCREF(empty_bytes);
    return empty_bytes;
#endif
}

// Its line table: empty up to 3.10; from 3.11 one entry that puts both
// code units on the first line (location kind "no columns", line delta 0),
// so that a traceback through it has a line.
inline PyObject *descriptive_line_table(PyObject *empty_bytes)
{
#if PY_VERSION_HEX >= 0x030B0000
    (void)empty_bytes;
    constexpr int no_columns = 13;  // the location kind, not a line
    const char table[] = {
        static_cast<char>(0x80 | (no_columns << 3) | (2 - 1)), 0};
    return PyBytes_FromStringAndSize(table, sizeof table);
#else
    Py_INCREF(empty_bytes);
    return empty_bytes;
#endif
}

// Frames: before 3.11 the frame's current line is a public field; from 3.11
// on the frame is opaque and reports the first line of its code object,
// which the traceback code objects set to the wanted line.
inline void frame_set_line(PyFrameObject *frame, int line)
{
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// The version tag of a dictionary, which changes whenever the dictionary
// does: the key of the global look-up caches.  Deprecated in 3.12 (and no
// longer bumped by every change from 3.13 on); those hosts do a plain
// look-up every time, with the hash that the name's str keeps.
#if PY_VERSION_HEX < 0x030C0000
constexpr bool has_dict_version_tag = true;
inline uint64_t dict_version_tag(PyObject *dict)
{
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
#else
constexpr bool has_dict_version_tag = false;
inline uint64_t dict_version_tag(PyObject *)
{
    return 0;
}
#endif

// Dictionary watchers, the change tracking of 3.12 on (the tracking itself
// is in dict_watch.cpp).  Earlier hosts have none and are never asked.
#if PY_VERSION_HEX >= 0x030C0000
using DictWatchEvent = PyDict_WatchEvent;
#else
using DictWatchEvent = int;
#endif
using DictWatchCallback = int (*)(DictWatchEvent, PyObject *, PyObject *,
                                  PyObject *);
inline int add_dict_watcher(DictWatchCallback callback)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyDict_AddWatcher(callback);
#else
    (void)callback;
    PyErr_SetString(PyExc_SystemError, "no dictionary watchers on this host");
    return -1;
#endif
}
inline int start_dict_watch(int watcher_id, PyObject *dict)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyDict_Watch(watcher_id, dict);
#else
    (void)watcher_id;
    (void)dict;
    PyErr_SetString(PyExc_SystemError, "no dictionary watchers on this host");
    return -1;
#endif
}

// The "ready" step of str objects: a no-op from 3.12 on.
inline int unicode_ready(PyObject *text)
{
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// Identity of the interpreter that runs the calling thread.
inline int64_t current_interpreter_id()
{
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// Members of types: 3.12 gave the type codes and flags public names.
#if PY_VERSION_HEX >= 0x030C0000
constexpr int member_ssize_t = Py_T_PYSSIZET;
constexpr int member_read_only = Py_READONLY;
#else
constexpr int member_ssize_t = T_PYSSIZET;
constexpr int member_read_only = READONLY;
#endif

// Types whose attributes host code cannot rebind: a flag from 3.10 on;
// before, a heap type stays mutable.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long type_flag_immutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long type_flag_immutable = 0;
#endif

// Module slots that newer hosts read: from 3.12 the module declares that
// it does not support sub-interpreters (its state is process-wide).
#if PY_VERSION_HEX >= 0x030C0000
#define BATHYRA_COMPAT_INTERPRETER_SLOT                                       \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define BATHYRA_COMPAT_INTERPRETER_SLOT
#endif

// Adding an object to a module without stealing the reference, and a new
// reference as an expression: both came in 3.10.  The modules call these
// names on every host.
#if PY_VERSION_HEX >= 0x030A0000
inline int module_add_object_ref(PyObject *module, const char *name,
                                 PyObject *value)
{
    return PyModule_AddObjectRef(module, name, value);
}
inline PyObject *new_ref(PyObject *object)
{
    return Py_NewRef(object);
}
#else
inline int module_add_object_ref(PyObject *module, const char *name,
                                 PyObject *value)
{
    // PyModule_AddObject steals only when it succeeds.
    Py_XINCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_XDECREF(value);
        return -1;
    }
    return 0;
}
inline PyObject *new_ref(PyObject *object)
{
    Py_INCREF(object);
    return object;
}
#endif

}  // namespace compat
}  // namespace bathyra
