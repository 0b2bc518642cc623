// The extension module bathyra._bag: reads the ISO 19139 document that a
// Bathymetric Attributed Grid file carries in /BAG_root/metadata, with the
// HDF5 C library, and writes minimal files of that layout for examples and
// tests.
//
// The HDF5 library of a serial build is not thread-safe: every use of it
// holds `hdf5_lock`, and the interpreter lock is released meanwhile, so
// other host threads run while a file is read.  The library's own error
// printing is switched off; its failures become exceptions that name the
// file and what was wrong with it.
#include <hdf5.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host_compat.hpp"
#include "owned_ref.hpp"

namespace bathyra {
namespace {

constexpr const char *metadata_path = "/BAG_root/metadata";
constexpr const char *root_group = "/BAG_root";
constexpr const char *version_attribute = "Bag Version";

std::mutex hdf5_lock;
PyObject *bag_error = nullptr;  // bathyra.bag.BagError, held for good

// Runs `work` with the HDF5 lock held; no C++ exception leaves it, so it
// can run between releasing and taking back the interpreter lock.
template <typename Work> bool run_locked(Work work) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(hdf5_lock);
        work();
        return true;
    } catch (...) {
        return false;
    }
}

// Closes an HDF5 identifier when it goes out of scope.
class Handle {
  public:
    using Closer = herr_t (*)(hid_t);
    Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle()
    {
        if (id_ >= 0)
            closer_(id_);
    }
    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }

  private:
    hid_t id_;
    Closer closer_;
};

// The outcome of a read, made without the interpreter lock; turned into a
// result or an exception once the lock is back.
struct ReadOutcome {
    enum Status {
        ok,
        not_hdf5,
        cannot_open,
        no_dataset,
        wrong_type,
        wrong_shape,
        empty,
        read_failed,
        no_memory,
    } status = ok;
    std::string document;
    bool has_version = false;
    std::string version;
    std::string detail;
};

const char *type_class_name(H5T_class_t type_class)
{
    switch (type_class) {
    case H5T_INTEGER:
        return "integer";
    case H5T_FLOAT:
        return "floating-point";
    case H5T_STRING:
        return "string";
    case H5T_COMPOUND:
        return "compound";
    case H5T_ARRAY:
        return "array";
    case H5T_VLEN:
        return "variable-length";
    case H5T_ENUM:
        return "enumeration";
    default:
        return "other";
    }
}

// Reads the "Bag Version" attribute of the root group, when it is text.
void read_version(hid_t file, ReadOutcome &outcome)
{
    if (H5Aexists_by_name(file, root_group, version_attribute, H5P_DEFAULT) <=
        0)
        return;
    Handle attribute(H5Aopen_by_name(file, root_group, version_attribute,
                                     H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose);
    if (!attribute.valid())
        return;
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    if (!type.valid() || H5Tget_class(type.get()) != H5T_STRING)
        return;
    Handle space(H5Aget_space(attribute.get()), H5Sclose);
    if (!space.valid() || H5Sget_simple_extent_npoints(space.get()) != 1)
        return;
    std::string text;
    if (H5Tis_variable_str(type.get()) > 0) {
        char *value = nullptr;
        if (H5Aread(attribute.get(), type.get(), &value) < 0 || !value)
            return;
        text = value;
        H5free_memory(value);
    } else {
        size_t size = H5Tget_size(type.get());
        if (size == 0)
            return;
        text.assign(size, '\0');
        if (H5Aread(attribute.get(), type.get(), &text[0]) < 0)
            return;
    }
    // A fixed-length string ends at its first NUL; what follows is padding
    // (which some writers leave uninitialised).
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    outcome.has_version = true;
    outcome.version = text;
}

// Everything that touches the HDF5 library; runs with hdf5_lock held and
// without the interpreter lock.
void read_file(const char *path, ReadOutcome &outcome)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    htri_t is_hdf5 = H5Fis_hdf5(path);
    if (is_hdf5 == 0) {
        outcome.status = ReadOutcome::not_hdf5;
        return;
    }
    Handle file(is_hdf5 > 0 ? H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT)
                            : H5I_INVALID_HID,
                H5Fclose);
    if (!file.valid()) {
        outcome.status = ReadOutcome::cannot_open;
        return;
    }
    if (H5Lexists(file.get(), root_group, H5P_DEFAULT) <= 0 ||
        H5Lexists(file.get(), metadata_path, H5P_DEFAULT) <= 0) {
        outcome.status = ReadOutcome::no_dataset;
        return;
    }
    Handle dataset(H5Dopen2(file.get(), metadata_path, H5P_DEFAULT), H5Dclose);
    if (!dataset.valid() || H5Iget_type(dataset.get()) != H5I_DATASET) {
        outcome.status = ReadOutcome::no_dataset;
        return;
    }
    Handle type(H5Dget_type(dataset.get()), H5Tclose);
    if (!type.valid()) {
        outcome.status = ReadOutcome::read_failed;
        return;
    }
    H5T_class_t type_class = H5Tget_class(type.get());
    size_t element_size = H5Tget_size(type.get());
    bool characters =
        element_size == 1 &&
        ((type_class == H5T_STRING && H5Tis_variable_str(type.get()) == 0) ||
         type_class == H5T_INTEGER);
    if (!characters) {
        outcome.status = ReadOutcome::wrong_type;
        outcome.detail = std::string(type_class_name(type_class)) +
                         " elements of " + std::to_string(element_size) +
                         " bytes";
        return;
    }
    Handle space(H5Dget_space(dataset.get()), H5Sclose);
    if (!space.valid()) {
        outcome.status = ReadOutcome::read_failed;
        return;
    }
    int rank = H5Sget_simple_extent_ndims(space.get());
    hssize_t count = H5Sget_simple_extent_npoints(space.get());
    if (rank != 1 || count < 0) {
        outcome.status = ReadOutcome::wrong_shape;
        outcome.detail = std::to_string(rank) + " dimensions";
        return;
    }
    if (count > 0) {
        try {
            outcome.document.assign(static_cast<size_t>(count), '\0');
        } catch (const std::bad_alloc &) {
            outcome.status = ReadOutcome::no_memory;
            return;
        }
        // Read in the dataset's own type: single bytes, no conversion.
        if (H5Dread(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT,
                    &outcome.document[0]) < 0) {
            outcome.status = ReadOutcome::read_failed;
            return;
        }
    }
    // The document usually ends in a NUL byte; all trailing NULs go.
    size_t end = outcome.document.find_last_not_of('\0');
    outcome.document.resize(end == std::string::npos ? 0 : end + 1);
    if (outcome.document.empty()) {
        outcome.status = ReadOutcome::empty;
        return;
    }
    read_version(file.get(), outcome);
}

PyObject *raise_read_failure(PyObject *path, const ReadOutcome &outcome)
{
    switch (outcome.status) {
    case ReadOutcome::not_hdf5:
        PyErr_Format(bag_error, "%U: not an HDF5 file", path);
        break;
    case ReadOutcome::cannot_open:
        PyErr_Format(bag_error,
                     "%U: the HDF5 library cannot open it (damaged or "
                     "truncated file?)",
                     path);
        break;
    case ReadOutcome::no_dataset:
        PyErr_Format(bag_error, "%U: no metadata dataset %s", path,
                     metadata_path);
        break;
    case ReadOutcome::wrong_type:
        PyErr_Format(bag_error,
                     "%U: the metadata dataset %s holds %s, not single "
                     "characters",
                     path, metadata_path, outcome.detail.c_str());
        break;
    case ReadOutcome::wrong_shape:
        PyErr_Format(bag_error, "%U: the metadata dataset %s has %s, not one",
                     path, metadata_path, outcome.detail.c_str());
        break;
    case ReadOutcome::empty:
        PyErr_Format(bag_error, "%U: the metadata dataset %s is empty", path,
                     metadata_path);
        break;
    case ReadOutcome::read_failed:
        PyErr_Format(bag_error,
                     "%U: the metadata dataset %s cannot be read (damaged "
                     "or truncated file?)",
                     path, metadata_path);
        break;
    case ReadOutcome::no_memory:
        PyErr_NoMemory();
        break;
    case ReadOutcome::ok:
        PyErr_SetString(PyExc_SystemError, "no failure to report");
        break;
    }
    return nullptr;
}

// read_metadata(path) -> (document: bytes, bag_version: str or None)
PyObject *read_metadata(PyObject *, PyObject *arg) noexcept
{
    PyObject *encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(arg, &encoded_raw))
        return nullptr;
    OwnedRef encoded(encoded_raw);
    OwnedRef path(PyOS_FSPath(arg));
    if (!path)
        return nullptr;
    if (!PyUnicode_Check(path.get())) {
        path.reset(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(path.get())));
        if (!path)
            return nullptr;
    }
    ReadOutcome outcome;
    const char *file_name = PyBytes_AS_STRING(encoded.get());
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = run_locked([&] { read_file(file_name, outcome); });
    Py_END_ALLOW_THREADS
    if (!finished)
        outcome.status = ReadOutcome::no_memory;
    if (outcome.status != ReadOutcome::ok)
        return raise_read_failure(path.get(), outcome);
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
    return PyTuple_Pack(2, document.get(), version.get());
}

// ---------------------------------------------------------------------------
// Writer.

struct WriteRequest {
    std::string path;
    std::string data;
    bool has_version = false;
    std::string version;
    int64_t chunk = 0;
    int compress = 0;
    std::string element;  // "string", "int8", "float64" or "none"
};

// Returns an empty string on success, else what failed.
std::string write_file(const WriteRequest &request)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    Handle file(H5Fcreate(request.path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT,
                          H5P_DEFAULT),
                H5Fclose);
    if (!file.valid())
        return "cannot create the file";
    Handle group(H5Gcreate2(file.get(), root_group, H5P_DEFAULT, H5P_DEFAULT,
                            H5P_DEFAULT),
                 H5Gclose);
    if (!group.valid())
        return "cannot create the group /BAG_root";
    if (request.has_version) {
        Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        if (!type.valid() || !space.valid() ||
            H5Tset_size(type.get(), request.version.size() + 1) < 0)
            return "cannot make the version attribute";
        Handle attribute(H5Acreate2(group.get(), version_attribute, type.get(),
                                    space.get(), H5P_DEFAULT, H5P_DEFAULT),
                         H5Aclose);
        if (!attribute.valid() ||
            H5Awrite(attribute.get(), type.get(), request.version.c_str()) < 0)
            return "cannot write the version attribute";
    }
    if (request.element == "none")
        return "";
    hsize_t count = request.data.size();
    if (request.element == "float64")
        count /= sizeof(double);
    Handle space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!space.valid() || !properties.valid())
        return "cannot make the dataset's properties";
    if (request.chunk > 0 && count > 0) {
        hsize_t chunk = static_cast<hsize_t>(request.chunk);
        if (H5Pset_chunk(properties.get(), 1, &chunk) < 0)
            return "cannot set the chunk size";
        if (request.compress > 0 &&
            H5Pset_deflate(properties.get(),
                           static_cast<unsigned>(request.compress)) < 0)
            return "cannot set the compression";
    }
    hid_t file_type;
    Handle string_type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (request.element == "string") {
        if (!string_type.valid() || H5Tset_size(string_type.get(), 1) < 0 ||
            H5Tset_strpad(string_type.get(), H5T_STR_NULLPAD) < 0)
            return "cannot make the character type";
        file_type = string_type.get();
    } else if (request.element == "int8") {
        file_type = H5T_STD_I8LE;
    } else {
        file_type = H5T_IEEE_F64LE;
    }
    Handle dataset(H5Dcreate2(file.get(), metadata_path, file_type,
                              space.get(), H5P_DEFAULT, properties.get(),
                              H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.valid())
        return "cannot create the metadata dataset";
    if (count > 0) {
        hid_t memory_type =
            request.element == "float64" ? H5T_NATIVE_DOUBLE : file_type;
        if (H5Dwrite(dataset.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                     request.data.data()) < 0)
            return "cannot write the metadata dataset";
    }
    return "";
}

// Fills `request` from the Python arguments; returns false with an
// exception pending.
bool make_request(PyObject *path_arg, const Py_buffer &data,
                  PyObject *version_arg, long long chunk, int compress,
                  const char *element, WriteRequest &request)
{
    try {
        request.data.assign(static_cast<const char *>(data.buf),
                            static_cast<size_t>(data.len));
        request.chunk = chunk;
        request.compress = compress;
        request.element = element;
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
        PyObject *encoded_raw = nullptr;
        if (!PyUnicode_FSConverter(path_arg, &encoded_raw))
            return false;
        OwnedRef encoded(encoded_raw);
        request.path = PyBytes_AS_STRING(encoded.get());
        return true;
    } catch (const std::exception &) {
        PyErr_NoMemory();
        return false;
    }
}

// write_bag(path, data, version, chunk, compress, element) -> None
PyObject *write_bag(PyObject *, PyObject *args) noexcept
{
    PyObject *path_arg;
    Py_buffer data;
    PyObject *version_arg;
    long long chunk;
    int compress;
    const char *element;
    if (!PyArg_ParseTuple(args, "Oy*OLis:write_bag", &path_arg, &data,
                          &version_arg, &chunk, &compress, &element))
        return nullptr;
    WriteRequest request;
    bool made = make_request(path_arg, data, version_arg, chunk, compress,
                             element, request);
    PyBuffer_Release(&data);
    if (!made)
        return nullptr;
    std::string failure;
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = run_locked([&] { failure = write_file(request); });
    Py_END_ALLOW_THREADS
    if (!finished)
        return PyErr_NoMemory();
    if (!failure.empty()) {
        PyErr_Format(bag_error, "%s: %s", request.path.c_str(),
                     failure.c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *library_version(PyObject *, PyObject *) noexcept
{
    unsigned major = 0, minor = 0, release = 0;
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = run_locked([&] { H5get_libversion(&major, &minor, &release); });
    Py_END_ALLOW_THREADS
    if (!finished)
        return PyErr_NoMemory();
    return PyUnicode_FromFormat("%u.%u.%u", major, minor, release);
}

PyMethodDef bag_methods[] = {
    {"read_metadata", read_metadata, METH_O,
     "read_metadata(path) -> (document, bag_version)\n\n"
     "The document of /BAG_root/metadata without its trailing NUL bytes, "
     "and the\nroot group's 'Bag Version' attribute (None when absent)."},
    {"write_bag", write_bag, METH_VARARGS,
     "write_bag(path, data, version, chunk, compress, element)\n\n"
     "Writes a minimal file of the layout that read_metadata reads."},
    {"hdf5_version", library_version, METH_NOARGS,
     "The version of the HDF5 library in use."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_bag(PyObject *module) noexcept
{
    if (!bag_error) {
        bag_error = PyErr_NewExceptionWithDoc(
            "bathyra.bag.BagError",
            "A file cannot be read as a BAG file; the message names the "
            "file and what was wrong.",
            nullptr, nullptr);
        if (!bag_error)
            return -1;
    }
    Py_INCREF(bag_error);
    if (PyModule_AddObject(module, "BagError", bag_error) < 0) {
        Py_DECREF(bag_error);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot bag_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_bag)},
    {0, nullptr},
};

PyModuleDef bag_definition = {
    PyModuleDef_HEAD_INIT,
    "_bag",
    "Reading and writing the metadata of BAG files with the HDF5 library.",
    0,
    bag_methods,
    bag_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace bathyra

extern "C" PyMODINIT_FUNC PyInit__bag(void)
{
    return PyModuleDef_Init(&bathyra::bag_definition);
}
