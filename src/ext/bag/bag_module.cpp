// The extension module bathyra._bag: the Python face of the BAG reader and
// writer.  Every HDF5 call runs under the library lock without the
// interpreter lock; the library's own error printing is off, and its
// failures become bathyra.errors.BagError exceptions that name the file and
// what was wrong with it.
//
// The module object holds what it uses (BagError) in its state.  The HDF5
// library, its lock and the fork handlers are the process's, so the module
// loads only into the main interpreter.
#include <cerrno>
#include <cstdint>
#include <string>

#include "bag_calls.hpp"
#include "bag_reader.hpp"
#include "bag_service.hpp"
#include "bag_writer.hpp"
#include "elevation_summary.hpp"
#include "file_errors.hpp"
#include "georef_request.hpp"
#include "hdf5_access.hpp"
#include "host_compat.hpp"
#include "owned_ref.hpp"
#include "s102_module.hpp"

namespace bathyra {
namespace {

// The state of one module object.
struct BagState {
    PyObject *bag_error;  // bathyra.errors.BagError
};

// The state of `module`, or null with an exception pending.
BagState *state_of(PyObject *module)
{
    return static_cast<BagState *>(PyModule_GetState(module));
}

// Raises BagError(path, reason): `path` is the caller's path object (the
// exception turns it into a str), `reason` UTF-8 text.  Returns null.
PyObject *raise_bag_error(PyObject *module, PyObject *path,
                          const std::string &reason)
{
    BagState *state = state_of(module);
    if (!state)
        return nullptr;
    return raise_file_error(state->bag_error, path, reason);
}

PyObject *raise_read_failure(PyObject *module, PyObject *path,
                             const ReadOutcome &outcome, uint64_t limit)
{
    if (outcome.status == ReadOutcome::no_memory)
        return PyErr_NoMemory();
    std::string reason;
    try {
        reason = failure_reason(outcome, limit);
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    return raise_bag_error(module, path, reason);
}

// close_library() -> None: at exit, waits until no thread is inside the
// HDF5 library and refuses every later call.
PyObject *close_library(PyObject *, PyObject *)
{
    Py_BEGIN_ALLOW_THREADS
    hdf5::close_library();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// The file's parts read in this process: (document: bytes, bag_version:
// str or None), and the encoded elevation summary too when `with_summary`.
PyObject *read_parts(PyObject *module, PyObject *arg, unsigned long long limit,
                     unsigned parts, bool with_summary)
{
    // No reference is held while the interpreter lock is released: a
    // thread that the exiting interpreter ends there unwinds without it.
    std::string file_name;
    try {
        if (!file_name_of(arg, file_name))
            return nullptr;
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    ReadOutcome outcome;
    std::string summary;
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = hdf5::run_locked([&] {
        read_bag_file(file_name.c_str(), limit, parts, outcome);
        if (with_summary)
            summary = encode_summary(outcome.elevation);
    });
    Py_END_ALLOW_THREADS
    if (!finished)
        return library_not_run("BAG");
    if (outcome.status != ReadOutcome::ok)
        return raise_read_failure(module, arg, outcome, limit);
    OwnedRef document(PyBytes_FromStringAndSize(
        outcome.document.data(),
        static_cast<Py_ssize_t>(outcome.document.size())));
    if (!document)
        return nullptr;
    OwnedRef version;
    if (outcome.has_version)
        version.reset(PyUnicode_DecodeUTF8(
            outcome.version.data(),
            static_cast<Py_ssize_t>(outcome.version.size()), "replace"));
    else
        version = OwnedRef::borrow(Py_None);
    if (!version)
        return nullptr;
    if (!with_summary)
        return PyTuple_Pack(2, document.get(), version.get());
    OwnedRef encoded(PyBytes_FromStringAndSize(
        summary.data(), static_cast<Py_ssize_t>(summary.size())));
    if (!encoded)
        return nullptr;
    return PyTuple_Pack(3, document.get(), version.get(), encoded.get());
}

// read_metadata(path, limit) -> (document: bytes, bag_version: str or None)
PyObject *read_metadata(PyObject *module, PyObject *args)
{
    PyObject *arg;
    unsigned long long limit;
    if (!PyArg_ParseTuple(args, "OK:read_metadata", &arg, &limit))
        return nullptr;
    return read_parts(module, arg, limit, part_metadata, false);
}

// read_file(path, limit, parts) -> (document, bag_version, summary: bytes)
PyObject *read_file(PyObject *module, PyObject *args)
{
    PyObject *arg;
    unsigned long long limit;
    unsigned int parts;
    if (!PyArg_ParseTuple(args, "OKI:read_file", &arg, &limit, &parts))
        return nullptr;
    return read_parts(module, arg, limit, parts, true);
}

// Fills `request` from the Python arguments; returns false with an
// exception pending.
bool make_request(PyObject *path_arg, const Py_buffer &data,
                  PyObject *version_arg, long long chunk, int compress,
                  const char *element, const char *layout,
                  WriteRequest &request)
{
    try {
        request.data.assign(static_cast<const char *>(data.buf),
                            static_cast<size_t>(data.len));
        request.chunk = chunk;
        request.compress = compress;
        request.element = element;
        request.layout = layout;
        if (request.element != "string" && request.element != "int8" &&
            request.element != "float64" && request.element != "none") {
            PyErr_Format(PyExc_ValueError, "unknown element kind '%s'",
                         element);
            return false;
        }
        if (version_arg != Py_None) {
            Py_ssize_t size;
            const char *text = PyUnicode_AsUTF8AndSize(version_arg, &size);
            if (!text)
                return false;
            request.has_version = true;
            request.version.assign(text, static_cast<size_t>(size));
        }
        return file_name_of(path_arg, request.path);
    } catch (const std::exception &) {
        PyErr_NoMemory();
        return false;
    }
}

// Fills `grid` from the tuple (rows, cols, tile_rows, tile_cols, chunk,
// compress, elevation, uncertainty or None, (minimum, maximum) or None,
// cells or None, refinements or None, layout[, layers]); false with an
// exception pending.
bool make_grid_request(PyObject *spec, GridRequest &grid)
{
    unsigned long long rows, cols, tile_rows, tile_cols, chunk;
    int compress;
    Py_buffer elevation, uncertainty, cells, refinements;
    PyObject *range;
    const char *layout;
    PyObject *layers = Py_None;
    if (!PyArg_ParseTuple(spec, "KKKKKiy*z*Oz*z*s|O:grid", &rows, &cols,
                          &tile_rows, &tile_cols, &chunk, &compress,
                          &elevation, &uncertainty, &range, &cells,
                          &refinements, &layout, &layers))
        return false;
    bool made = true;
    try {
        grid.wanted = true;
        grid.rows = rows;
        grid.cols = cols;
        grid.tile_rows = tile_rows;
        grid.tile_cols = tile_cols;
        grid.chunk = chunk;
        grid.compress = compress;
        grid.layout = layout;
        const Py_buffer *parts[] = {&elevation, &uncertainty, &cells,
                                    &refinements};
        std::string *targets[] = {&grid.elevation, &grid.uncertainty,
                                  &grid.cells, &grid.refinements};
        for (int i = 0; i < 4; ++i)
            if (parts[i]->buf)
                targets[i]->assign(static_cast<const char *>(parts[i]->buf),
                                   static_cast<size_t>(parts[i]->len));
        const uint64_t tile = tile_rows * tile_cols * sizeof(float);
        if (tile == 0 || grid.elevation.size() != tile ||
            (!grid.uncertainty.empty() && grid.uncertainty.size() != tile)) {
            PyErr_SetString(PyExc_ValueError,
                            "the grid's tiles do not have its tile shape");
            made = false;
        } else if (range != Py_None) {
            made = PyArg_ParseTuple(range, "dd:attributes", &grid.minimum,
                                    &grid.maximum) != 0;
            grid.has_attributes = made;
        }
        if (made && layers != Py_None)
            made = make_layer_requests(layers, grid.layers);
    } catch (const std::exception &) {
        PyErr_NoMemory();
        made = false;
    }
    for (Py_buffer *buffer : {&elevation, &uncertainty, &cells, &refinements})
        if (buffer->obj)
            PyBuffer_Release(buffer);
    return made;
}

// write_bag(path, data, version, chunk, compress, element, layout='',
//           grid=None) -> None
PyObject *write_bag(PyObject *module, PyObject *args)
{
    PyObject *path_arg;
    Py_buffer data;
    PyObject *version_arg;
    long long chunk;
    int compress;
    const char *element;
    const char *layout = "";
    PyObject *grid = Py_None;
    if (!PyArg_ParseTuple(args, "Oy*OLis|sO:write_bag", &path_arg, &data,
                          &version_arg, &chunk, &compress, &element, &layout,
                          &grid))
        return nullptr;
    WriteRequest request;
    bool made = make_request(path_arg, data, version_arg, chunk, compress,
                             element, layout, request);
    PyBuffer_Release(&data);
    if (!made)
        return nullptr;
    if (grid != Py_None && !make_grid_request(grid, request.grid))
        return nullptr;
    std::string failure;
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = hdf5::run_locked([&] { failure = write_bag_file(request); });
    Py_END_ALLOW_THREADS
    if (!finished)
        return library_not_run("BAG");
    if (!failure.empty())
        return raise_bag_error(module, path_arg, failure);
    Py_RETURN_NONE;
}

PyObject *library_version(PyObject *, PyObject *)
{
    unsigned major = 0, minor = 0, release = 0;
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished =
        hdf5::run_locked([&] { H5get_libversion(&major, &minor, &release); });
    Py_END_ALLOW_THREADS
    if (!finished)
        return library_not_run("BAG");
    return PyUnicode_FromFormat("%u.%u.%u", major, minor, release);
}

// serve(input_fd, output_fd) -> None: the helper process's loop.
PyObject *serve(PyObject *, PyObject *args)
{
    int input;
    int output;
    if (!PyArg_ParseTuple(args, "ii:serve", &input, &output))
        return nullptr;
    int failure;
    Py_BEGIN_ALLOW_THREADS
    failure = serve_bag_requests(input, output);
    Py_END_ALLOW_THREADS
    if (failure) {
        errno = failure;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

// end_with_parent(parent_pid) -> bool: in the helper process, asks to be
// killed when the thread that started it ends; False when the parent has
// already ended.
PyObject *end_with_parent(PyObject *, PyObject *args)
{
    long parent;
    if (!PyArg_ParseTuple(args, "l:end_with_parent", &parent))
        return nullptr;
    int failure = tie_to_parent(parent);
    if (failure > 0) {
        errno = failure;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyBool_FromLong(failure == 0);
}

PyMethodDef bag_methods[] = {
    {"read_metadata", read_metadata, METH_VARARGS,
     "read_metadata(path, limit) -> (document, bag_version)\n\n"
     "The document of /BAG_root/metadata without its trailing NUL bytes, "
     "and the\nroot group's 'Bag Version' attribute (None when absent)."},
    {"read_file", read_file, METH_VARARGS,
     "read_file(path, limit, parts) -> (document, bag_version, summary)\n\n"
     "The parts of the file that `parts` asks for (1 the metadata, 2 the "
     "elevation\nattributes, 4 the grid), and the encoded summary of its "
     "elevation."},
    {"write_bag", write_bag, METH_VARARGS,
     "write_bag(path, data, version, chunk, compress, element, layout='', "
     "grid=None)\n\n"
     "Writes a minimal file of the layout that read_metadata reads."},
    {"serve", serve, METH_VARARGS,
     "serve(input_fd, output_fd)\n\n"
     "Answers read requests of the BAG helper process until input ends."},
    {"end_with_parent", end_with_parent, METH_VARARGS,
     "end_with_parent(parent_pid) -> bool\n\n"
     "In the helper process: to be killed when the thread that started it "
     "ends\n(Linux); False when that parent has already ended."},
    {"close_library", close_library, METH_NOARGS,
     "close_library()\n\n"
     "Waits until no thread reads with the HDF5 library and refuses every "
     "later\nread; registered to run when the interpreter begins to "
     "exit."},
    {"read_s102", read_s102, METH_VARARGS,
     "read_s102(path, grid) -> (kind, document)\n\n"
     "What the HDF5 file is (\"S-102\", \"BAG\", \"HDF5\", or \"failed\" "
     "with the\nreason as document), and of an S-102 file the reader's "
     "lines."},
    {"write_s102", write_s102, METH_VARARGS,
     "write_s102(path, groups, datasets) -> str\n\n"
     "Writes a file of an S-102 layout; \"\" or what failed."},
    {"hdf5_version", library_version, METH_NOARGS,
     "The version of the HDF5 library in use."},
    {nullptr, nullptr, 0, nullptr},
};

// Refuses every interpreter but the main one: the HDF5 library and its
// lock serve the whole process.  Returns 0, or -1 with ImportError.
int refuse_subinterpreter()
{
    if (PyInterpreterState_Get() == PyInterpreterState_Main())
        return 0;
    PyErr_SetString(PyExc_ImportError,
                    "bathyra._bag can only be loaded into the main "
                    "interpreter: the HDF5 library it reads BAG files with "
                    "is shared by the whole process");
    return -1;
}

int exec_bag(PyObject *module)
{
    if (refuse_subinterpreter() < 0)
        return -1;
    if (int failure = hdf5::install_process_handlers()) {
        errno = failure;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    BagState *state = state_of(module);
    if (!state)
        return -1;
    OwnedRef errors(PyImport_ImportModule("bathyra.errors"));
    if (!errors)
        return -1;
    OwnedRef bag_error(PyObject_GetAttrString(errors.get(), "BagError"));
    if (!bag_error)
        return -1;
    if (!PyExceptionClass_Check(bag_error.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "bathyra.errors.BagError is not an exception class");
        return -1;
    }
    replace_held(state->bag_error, bag_error.release());
    return compat::module_add_object_ref(module, "BagError", state->bag_error);
}

int traverse_bag(PyObject *module, visitproc visit, void *arg)
{
    BagState *state = state_of(module);
    if (state)
        Py_VISIT(state->bag_error);
    return 0;
}

int clear_bag(PyObject *module)
{
    BagState *state = state_of(module);
    if (state)
        Py_CLEAR(state->bag_error);
    return 0;
}

void free_bag(void *module)
{
    clear_bag(static_cast<PyObject *>(module));
}

PyModuleDef_Slot bag_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_bag)},
    BATHYRA_COMPAT_INTERPRETER_SLOT{0, nullptr},
};

PyModuleDef bag_definition = {
    PyModuleDef_HEAD_INIT,
    "_bag",
    "Reading and writing the metadata of BAG files with the HDF5 library.",
    sizeof(BagState),
    bag_methods,
    bag_slots,
    traverse_bag,
    clear_bag,
    free_bag,
};

}  // namespace
}  // namespace bathyra

extern "C" PyMODINIT_FUNC PyInit__bag(void)
{
    return PyModuleDef_Init(&bathyra::bag_definition);
}
