// Access to the HDF5 C library for the BAG extension.
//
// The library is not thread-safe in a serial build: every use holds one
// process-wide lock, with the interpreter lock released meanwhile, so that
// other host threads run while a file is read.  The lock is also held
// across fork(), so that a child never starts with it (or the library's
// own lock) taken by a thread that does not exist there.
#pragma once

#include <hdf5.h>

#include <exception>
#include <mutex>

namespace bathyra {
namespace hdf5 {

std::mutex &library_lock();

// Whether the library is closed for the rest of the process; read and
// written with the library lock held.
bool &closed();

// Runs `work` with the library lock held; returns false when the library
// is closed, or the lock or the work ran out of resources.  Only
// std::exception is caught: a thread's forced unwind passes through.
template <typename Work> bool run_locked(Work work)
{
    try {
        std::lock_guard<std::mutex> guard(library_lock());
        if (closed())
            return false;
        work();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// Closes the library when the interpreter begins to exit: waits until no
// thread is inside it, and refuses every later call.  A daemon thread that
// were still inside it would otherwise come back to an interpreter torn
// down, or meet the library's own exit handler freeing its state.  Call it
// without the interpreter lock.
void close_library();
bool library_is_closed();

// Installs, once per process, the fork handlers (POSIX; Windows has no
// fork).  Returns 0, or an errno value.
int install_process_handlers();

// Closes an HDF5 identifier when it goes out of scope.
class Handle {
  public:
    using Closer = herr_t (*)(hid_t);
    Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    // Moving hands the identifier on; the handle moved from holds none.
    Handle(Handle &&other) noexcept : id_(other.id_), closer_(other.closer_)
    {
        other.id_ = H5I_INVALID_HID;
    }
    Handle &operator=(Handle &&other) noexcept
    {
        if (this != &other) {
            reset(other.id_);
            closer_ = other.closer_;
            other.id_ = H5I_INVALID_HID;
        }
        return *this;
    }
    ~Handle()
    {
        if (id_ >= 0)
            closer_(id_);
    }
    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }
    // Closes the identifier held, and holds `id` instead.
    void reset(hid_t id)
    {
        if (id_ >= 0)
            closer_(id_);
        id_ = id;
    }

  private:
    hid_t id_;
    Closer closer_;
};

// Whether the link at `path` is a hard link (the object it names lives in
// this file); links are looked at, not followed.
bool is_hard_link(hid_t file, const char *path);

// Whether the dataset's data are in this file: not in external raw files,
// not a virtual dataset mapping other files.
bool stored_in_file(hid_t dataset);

// Gives the compound types of a variable-resolution file's datasets their
// members: `cells` (12 bytes) those of /BAG_root/varres_metadata (index,
// dimensions_x, dimensions_y: 32-bit unsigned), `pairs` (8 bytes) those of
// /BAG_root/varres_refinements (depth, depth_uncrt: 32-bit floats).  False
// when a type is not valid or the library refuses a member.
bool add_refinement_members(const Handle &cells, const Handle &pairs);

// The layout of a BAG file that the reader and the writer share.
constexpr const char *root_group = "/BAG_root";
constexpr const char *metadata_path = "/BAG_root/metadata";
constexpr const char *version_attribute = "Bag Version";

}  // namespace hdf5
}  // namespace bathyra
