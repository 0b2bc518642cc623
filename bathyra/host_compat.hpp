// Every difference between host versions that the module depends on lives
// here.  Each shim carries the newest host's name and says which host
// version changed the behaviour; the rest of the module calls only these
// names and the stable part of the host API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace bathyra {
namespace compat {

// Code objects: 3.11 added the qualified name and the exception table to the
// constructor.
inline PyCodeObject *code_new_with_pos_only_args(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals,
    int stacksize, int flags, PyObject *code, PyObject *consts,
    PyObject *names, PyObject *varnames, PyObject *freevars,
    PyObject *cellvars, PyObject *filename, PyObject *name, int firstlineno,
    PyObject *linetable, PyObject *empty_bytes)
{
#if PY_VERSION_HEX >= 0x030B0000
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

// The version tag of a dictionary: changes whenever the dictionary does.
// Deprecated in 3.12.
inline uint64_t dict_version_tag(PyObject *dict)
{
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
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

}  // namespace compat
}  // namespace bathyra
