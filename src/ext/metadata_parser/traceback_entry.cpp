// Traceback entries, with one code object per owner and line, made on
// first use and kept for the life of the process.
#include "traceback_entry.hpp"

#include "module_state.hpp"
#include "owned_ref.hpp"

namespace bathyra {

#define BATHYRA_LINE_FITS(name, number)                                       \
    static_assert((number) > 0 && (number) < line_slots,                      \
                  "line_slots must exceed every traceback line");
BATHYRA_TRACEBACK_LINES(BATHYRA_LINE_FITS)
#undef BATHYRA_LINE_FITS

namespace {

// The fixed names that entries carry.
constexpr const char *file_name = "bathyra/metadata_parser";
constexpr const char *function_names[entry_owner_count] = {
    "init bathyra.metadata_parser",
    "bathyra.metadata_parser.extract_metadata",
};

// Holds the pending exception aside while an entry is being built.
class SavedException {
  public:
    SavedException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    SavedException(const SavedException &) = delete;
    SavedException &operator=(const SavedException &) = delete;
    void restore()
    {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }
    ~SavedException()
    {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

  private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
};

}  // namespace

void add_traceback_entry(EntryOwner owner, Line line)
{
    if (!state.globals)
        return;
    const int owner_index = static_cast<int>(owner);
    const int number = static_cast<int>(line);
    PyObject *&slot = state.entry_codes[owner_index][number];
    SavedException saved;
    if (!slot) {
        PyObject *made = reinterpret_cast<PyObject *>(
            PyCode_NewEmpty(file_name, function_names[owner_index], number));
        if (!made) {
            // The failure of making the code object is the exception that
            // stays pending: the saved one is released with `saved`.  Some
            // hosts fail here without an exception; then the caller's goes
            // back, without its entry.
            if (!PyErr_Occurred())
                saved.restore();
            return;
        }
        replace_held(slot, made);
    }
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(),
                                       reinterpret_cast<PyCodeObject *>(slot),
                                       state.globals, nullptr);
    // Whatever the attempt left pending is dropped: the caller's exception
    // goes back in place, with or without its entry.
    saved.restore();
    if (!frame)
        return;
    compat::frame_set_line(frame, number);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace bathyra
