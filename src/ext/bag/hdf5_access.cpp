// The HDF5 library lock, its closing at exit and its fork handlers.
#include "hdf5_access.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace bathyra {
namespace hdf5 {

namespace {

std::mutex lock;

bool handlers_installed = false;
bool library_closed = false;

#ifndef _WIN32

// fork() waits until no thread is inside the library; the forking thread
// holds the lock through the fork and both processes release it after.
void before_fork()
{
    lock.lock();
}
void after_fork()
{
    lock.unlock();
}
#endif

}  // namespace

std::mutex &library_lock()
{
    return lock;
}

bool &closed()
{
    return library_closed;
}

void close_library()
{
    std::lock_guard<std::mutex> guard(lock);
    if (library_closed)
        return;
    library_closed = true;
}

bool library_is_closed()
{
    std::lock_guard<std::mutex> guard(lock);
    return library_closed;
}

// Whether the link at `path` is a hard link (the object it names lives in
// this file).  Links are looked at, not followed.
bool is_hard_link(hid_t file, const char *path)
{
    H5L_info_t info;
    if (H5Lget_info(file, path, &info, H5P_DEFAULT) < 0)
        return false;
    return info.type == H5L_TYPE_HARD;
}

// The dataset's data are in this file: not in external raw files, not a
// virtual dataset mapping other files.
bool stored_in_file(hid_t dataset)
{
    Handle properties(H5Dget_create_plist(dataset), H5Pclose);
    if (!properties.valid())
        return false;
    if (H5Pget_external_count(properties.get()) != 0)
        return false;
    H5D_layout_t layout = H5Pget_layout(properties.get());
    return layout == H5D_COMPACT || layout == H5D_CONTIGUOUS ||
           layout == H5D_CHUNKED;
}

int install_process_handlers()
{
    if (handlers_installed)
        return 0;
#ifndef _WIN32
    int failure = pthread_atfork(before_fork, after_fork, after_fork);
    if (failure != 0)
        return failure;
#endif
    handlers_installed = true;
    return 0;
}

bool add_refinement_members(const Handle &cells, const Handle &pairs)
{
    return cells.valid() && pairs.valid() &&
           H5Tinsert(cells.get(), "index", 0, H5T_NATIVE_UINT32) >= 0 &&
           H5Tinsert(cells.get(), "dimensions_x", 4, H5T_NATIVE_UINT32) >= 0 &&
           H5Tinsert(cells.get(), "dimensions_y", 8, H5T_NATIVE_UINT32) >= 0 &&
           H5Tinsert(pairs.get(), "depth", 0, H5T_NATIVE_FLOAT) >= 0 &&
           H5Tinsert(pairs.get(), "depth_uncrt", 4, H5T_NATIVE_FLOAT) >= 0;
}

}  // namespace hdf5
}  // namespace bathyra
