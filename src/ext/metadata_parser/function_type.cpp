// The module's own function type.
//
// Calls reach the call binding through vectorcall; the call slot is the
// host's PyVectorcall_Call, which turns a tuple and a dict into that form
// (refusing keys that are not strs).  The attribute surface mirrors that of
// the host's Python functions, with the setter checks and messages that host
// code expects.  Defaults and keyword defaults can be set but are never
// used by calls: the binding knows only `raster`, so setting them warns.
#include "function_type.hpp"

#include <cstddef>

#include "module_state.hpp"
#include "owned_ref.hpp"

namespace bathyra {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // the call binding
    PyObject *weakrefs;
    PyObject *dict;      // made on first access
    PyObject *name;      // always a str
    PyObject *qualname;  // always a str
    PyObject *module;    // any object; null reads as None
    PyObject *doc;       // any object; null reads as None
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;     // null or a tuple
    PyObject *kwdefaults;   // null or a dict
    PyObject *annotations;  // made on first access
};

FunctionObject *as_function(PyObject *self)
{
    return reinterpret_cast<FunctionObject *>(self);
}

PyObject *new_ref_or_none(PyObject *value)
{
    if (!value)
        value = Py_None;
    Py_INCREF(value);
    return value;
}

// Stores a new reference to `value` (or null) in `slot`.
void store(PyObject *&slot, PyObject *value)
{
    Py_XINCREF(value);
    replace_held(slot, value);
}

// Looked up through an instance, binds it as `raster`.
PyObject *descriptor_get(PyObject *self, PyObject *instance, PyObject *)
{
    if (!instance || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

// ---------------------------------------------------------------------------
// Attribute surface.

PyObject *get_name(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->name);
}

int set_name(PyObject *self, PyObject *value, void *)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__name__ must be set to a string object");
        return -1;
    }
    store(as_function(self)->name, value);
    return 0;
}

PyObject *get_qualname(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->qualname);
}

int set_qualname(PyObject *self, PyObject *value, void *)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__qualname__ must be set to a string object");
        return -1;
    }
    store(as_function(self)->qualname, value);
    return 0;
}

PyObject *get_module(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->module);
}

int set_module(PyObject *self, PyObject *value, void *)
{
    store(as_function(self)->module, value ? value : Py_None);
    return 0;
}

PyObject *get_doc(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->doc);
}

int set_doc(PyObject *self, PyObject *value, void *)
{
    store(as_function(self)->doc, value ? value : Py_None);
    return 0;
}

PyObject *get_dict(PyObject *self, void *)
{
    FunctionObject *f = as_function(self);
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict)
            return nullptr;
    }
    Py_INCREF(f->dict);
    return f->dict;
}

int set_dict(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError,
                        "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "setting function's dictionary to a non-dict");
        return -1;
    }
    store(as_function(self)->dict, value);
    return 0;
}

PyObject *get_globals(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->globals);
}

PyObject *get_closure(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyObject *get_code(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->code);
}

PyObject *get_defaults(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->defaults);
}

int set_defaults(PyObject *self, PyObject *value, void *)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changing __defaults__ of this function has no effect "
                     "on the values that its calls use",
                     1) < 0)
        return -1;
    store(as_function(self)->defaults, value);
    return 0;
}

PyObject *get_kwdefaults(PyObject *self, void *)
{
    return new_ref_or_none(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changing __kwdefaults__ of this function has no effect "
                     "on the values that its calls use",
                     1) < 0)
        return -1;
    store(as_function(self)->kwdefaults, value);
    return 0;
}

PyObject *get_annotations(PyObject *self, void *)
{
    FunctionObject *f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations)
            return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void *)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__annotations__ must be set to a dict object");
        return -1;
    }
    store(as_function(self)->annotations, value);
    return 0;
}

PyObject *get_is_coroutine(PyObject *, void *)
{
    Py_RETURN_FALSE;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference to its module-level name.
PyObject *reduce(PyObject *self, PyObject *)
{
    return new_ref_or_none(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Life cycle.

int traverse(PyObject *self, visitproc visit, void *arg)
{
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

// Name and qualified name are strs, which take part in no cycle; keeping
// them lets a cleared object still print.
int clear(PyObject *self)
{
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject *f = as_function(self);
    if (f->weakrefs)
        PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of heap types own their type
}

PyObject *repr(PyObject *self)
{
    return PyUnicode_FromFormat("<bathyra function %S at %p>",
                                as_function(self)->qualname, self);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", compat::member_ssize_t,
     offsetof(FunctionObject, vectorcall), compat::member_read_only, nullptr},
    {"__dictoffset__", compat::member_ssize_t, offsetof(FunctionObject, dict),
     compat::member_read_only, nullptr},
    {"__weaklistoffset__", compat::member_ssize_t,
     offsetof(FunctionObject, weakrefs), compat::member_read_only, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void *>(PyObject_GenericGetAttr)},
    {Py_tp_setattro, reinterpret_cast<void *>(PyObject_GenericSetAttr)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_descr_get, reinterpret_cast<void *>(descriptor_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "bathyra.metadata_parser.function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | compat::type_flag_immutable,
    function_slots,
};

}  // namespace

int prepare_function_type()
{
    if (state.function_type)
        return 0;
    PyObject *made = PyType_FromSpec(&function_spec);
    if (!made) {
        // Some hosts fail here on an allocation without saying so.
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        return -1;
    }
    state.function_type = reinterpret_cast<PyTypeObject *>(made);
    return 0;
}

PyObject *function_new(vectorcallfunc call, PyObject *name, PyObject *qualname,
                       PyObject *module_name, PyObject *globals,
                       PyObject *code)
{
    FunctionObject *f = PyObject_GC_New(FunctionObject, state.function_type);
    if (!f)
        return nullptr;
    f->vectorcall = call;
    f->weakrefs = nullptr;
    f->dict = nullptr;
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nullptr;
    f->doc = nullptr;
    f->globals = nullptr;
    f->code = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    store(f->name, name);
    store(f->qualname, qualname);
    store(f->module, module_name);
    store(f->doc, Py_None);
    store(f->globals, globals);
    store(f->code, code);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace bathyra
