// The HDF5 library lock and its fork handlers.
#include "hdf5_access.hpp"

#include <cerrno>
#include <cstdlib>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace bathyra {
namespace hdf5 {

namespace {

std::mutex lock;

bool handlers_installed = false;

void hold_lock_at_exit()
{
    lock.lock();
}

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

int install_process_handlers()
{
    if (handlers_installed)
        return 0;
    // The library registers its exit handler when it starts; exit handlers
    // run in reverse order, so the guard registered after it runs first.
    if (H5open() < 0)
        return EIO;
    if (std::atexit(hold_lock_at_exit) != 0)
        return ENOMEM;
#ifndef _WIN32
    int failure = pthread_atfork(before_fork, after_fork, after_fork);
    if (failure != 0)
        return failure;
#endif
    handlers_installed = true;
    return 0;
}

}  // namespace hdf5
}  // namespace bathyra
