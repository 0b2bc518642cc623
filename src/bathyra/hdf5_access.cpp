// The HDF5 library lock and its fork handlers.
#include "hdf5_access.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace bathyra {
namespace hdf5 {

namespace {

std::mutex lock;

#ifndef _WIN32
bool handlers_installed = false;

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

int install_fork_handlers()
{
#ifndef _WIN32
    if (handlers_installed)
        return 0;
    int failure = pthread_atfork(before_fork, after_fork, after_fork);
    if (failure == 0)
        handlers_installed = true;
    return failure;
#else
    return 0;
#endif
}

}  // namespace hdf5
}  // namespace bathyra
