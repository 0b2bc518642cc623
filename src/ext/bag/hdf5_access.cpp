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

}  // namespace hdf5
}  // namespace bathyra
