// Binding of calls of extract_metadata to the extraction routine, and the
// traceback entries (with their per-line cache of code objects).
#include "call_binding.hpp"

#include <cstring>

#include "extraction_routine.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "string_constants.hpp"

namespace bathyra {

namespace {

// ---------------------------------------------------------------------------
// Traceback code cache: code objects by (line, owner), sorted, grown by 64
// pairs when full, never shrunk.  Only touched with the interpreter lock
// held and without running host code in between.

struct CachedCode {
    int line;
    int owner;
    PyObject *code;  // strong reference, held for the life of the process
};

CachedCode *code_cache = nullptr;
Py_ssize_t code_cache_used = 0;
Py_ssize_t code_cache_room = 0;
constexpr Py_ssize_t code_cache_step = 64;

bool cache_key_less(const CachedCode &entry, int line, int owner)
{
    return entry.line < line || (entry.line == line && entry.owner < owner);
}

// Index of the first pair not less than (line, owner).
Py_ssize_t cache_lower_bound(int line, int owner)
{
    Py_ssize_t low = 0;
    Py_ssize_t high = code_cache_used;
    while (low < high) {
        Py_ssize_t mid = low + (high - low) / 2;
        if (cache_key_less(code_cache[mid], line, owner))
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// Borrowed reference to the cached code object, or null.
PyObject *cache_find(int line, int owner)
{
    Py_ssize_t at = cache_lower_bound(line, owner);
    if (at < code_cache_used && code_cache[at].line == line &&
        code_cache[at].owner == owner)
        return code_cache[at].code;
    return nullptr;
}

// Stores a new reference to `code`; does nothing when no memory is left
// (the caller then uses the code object once without caching it).
void cache_store(int line, int owner, PyObject *code)
{
    Py_ssize_t at = cache_lower_bound(line, owner);
    if (at < code_cache_used && code_cache[at].line == line &&
        code_cache[at].owner == owner) {
        Py_INCREF(code);
        replace_held(code_cache[at].code, code);
        return;
    }
    if (code_cache_used == code_cache_room) {
        Py_ssize_t room = code_cache_room + code_cache_step;
        auto *grown = static_cast<CachedCode *>(
            PyMem_Realloc(code_cache, sizeof(CachedCode) * room));
        if (!grown)
            return;
        code_cache = grown;
        code_cache_room = room;
    }
    std::memmove(code_cache + at + 1, code_cache + at,
                 sizeof(CachedCode) * (code_cache_used - at));
    Py_INCREF(code);
    code_cache[at] = CachedCode{line, owner, code};
    ++code_cache_used;
}

// Holds the pending exception aside while an entry is being built.
struct SavedException {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    SavedException() { PyErr_Fetch(&type, &value, &traceback); }
    void restore()
    {
        PyErr_Restore(type, value, traceback);
        type = value = traceback = nullptr;
    }
    ~SavedException()
    {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
};

// ---------------------------------------------------------------------------
// Keyword matching.

// The function name in the binding's messages is fixed: renaming the
// function object does not change them.
constexpr const char *bound_name = "extract_metadata";

PyObject *arity_error(Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 bound_name, "exactly", static_cast<Py_ssize_t>(1), "",
                 given);
    return nullptr;
}

// Compares two exact, ready strs by stored hash, length, character width
// and characters.  `name` may not be ready yet; returns 1, 0 or -1.
int exact_text_equal(PyObject *name, PyObject *parameter)
{
    Py_hash_t name_hash = PyObject_Hash(name);
    if (name_hash == -1)
        return -1;
    if (compat::unicode_ready(name) < 0)
        return -1;
    if (name_hash != PyObject_Hash(parameter))
        return 0;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length != PyUnicode_GET_LENGTH(parameter))
        return 0;
    int kind = PyUnicode_KIND(name);
    if (kind != PyUnicode_KIND(parameter))
        return 0;
    return std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(parameter),
                       static_cast<size_t>(length) * kind) == 0;
}

// Whether a keyword name denotes `raster`: 1, 0, or -1 with an exception
// pending (hashing or comparing a str subclass runs host code).
int names_raster(PyObject *name)
{
    PyObject *parameter = str(Str::raster);
    if (name == parameter)
        return 1;
    if (PyUnicode_CheckExact(name))
        return exact_text_equal(name, parameter);
    if (PyUnicode_Check(name))
        return PyObject_RichCompareBool(name, parameter, Py_EQ);
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                 bound_name);
    return -1;
}

PyObject *binding_failed()
{
    add_traceback_entry(EntryOwner::call, 13);
    return nullptr;
}

}  // namespace

void add_traceback_entry(EntryOwner owner, int line) noexcept
{
    if (!state.globals)
        return;
    const int owner_key = static_cast<int>(owner);
    const char *function_name = owner == EntryOwner::call
                                    ? call_function_name
                                    : import_function_name;
    SavedException saved;
    OwnedRef code = OwnedRef::borrow(cache_find(line, owner_key));
    if (!code) {
        code.reset(reinterpret_cast<PyObject *>(
            PyCode_NewEmpty(file_name, function_name, line)));
        if (!code) {
            // The failure of making the code object is the exception that
            // stays pending: the saved one is released with `saved`.  Some
            // hosts fail here without an exception; then the caller's goes
            // back, without its entry.
            if (!PyErr_Occurred())
                saved.restore();
            return;
        }
        cache_store(line, owner_key, code.get());
    }
    PyFrameObject *frame =
        PyFrame_New(PyThreadState_Get(),
                    reinterpret_cast<PyCodeObject *>(code.get()),
                    state.globals, nullptr);
    // Whatever the attempt left pending is dropped: the caller's exception
    // goes back in place, with or without its entry.
    saved.restore();
    if (!frame)
        return;
    compat::frame_set_line(frame, line);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject *bind_call(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames) noexcept
{
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs != 1 && (keyword_count == 0 || nargs > 1)) {
        arity_error(nargs);
        return binding_failed();
    }
    OwnedRef raster;
    if (nargs == 1)
        raster = OwnedRef::borrow(args[0]);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        int match = names_raster(name);
        if (match < 0) {
            raster.reset();
            return binding_failed();
        }
        if (match && nargs == 0) {
            raster = OwnedRef::borrow(args[nargs + i]);
            continue;
        }
        raster.reset();
        if (match)
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         bound_name, name);
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         bound_name, name);
        return binding_failed();
    }
    if (!raster) {
        arity_error(nargs);
        return binding_failed();
    }
    // The routine adds its own traceback entry when it fails.
    return run_extraction(self, raster.get());
}

}  // namespace bathyra
