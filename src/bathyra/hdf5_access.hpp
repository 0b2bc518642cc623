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

// Runs `work` with the library lock held; returns false when the lock or
// the work ran out of resources.  Only std::exception is caught: a
// thread's forced unwind passes through.
template <typename Work> bool run_locked(Work work)
{
    try {
        std::lock_guard<std::mutex> guard(library_lock());
        work();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// Installs, once per process, the fork handlers (POSIX; Windows has no
// fork) and the exit guard: when the process exits, the library's own exit
// handler frees its state, and a thread still inside the library (a daemon
// thread of the host) would then crash the process.  The guard runs before
// that handler, waits for the thread to leave the library and keeps the
// lock, so that no thread enters it again.  Returns 0, or an errno value.
int install_process_handlers();

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

// The layout of a BAG file that the reader and the writer share.
constexpr const char *root_group = "/BAG_root";
constexpr const char *metadata_path = "/BAG_root/metadata";
constexpr const char *version_attribute = "Bag Version";

}  // namespace hdf5
}  // namespace bathyra
