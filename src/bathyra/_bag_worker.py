"""The helper process that reads BAG files for bathyra.bag, and the format
of what it says.

The HDF5 library can crash on a damaged file; here a crash ends only this
process, and the caller turns it into a BagError for that one file.  The
caller (bathyra._bag_helper) starts it as

    python FLAGS -c BOOT PACKAGE_PARENT REQUESTS ANSWERS LIMIT PARENT TIE

with the isolation flags of its own interpreter; BOOT puts PACKAGE_PARENT
first on the path of imports and calls ``main``.  Requests come on the
descriptor REQUESTS and answers go out on ANSWERS, pipes of their own: its
standard input and output are /dev/null, so that nothing printed at
start-up (a site hook, a banner) mixes with the answers.  Once started it
writes READY on ANSWERS; until then its standard error is the caller's
record of why it could not start, and after that /dev/null.  It serves
until REQUESTS ends (the request loop and its format are in the
extension), and ends with the process that started it: killed by the
system when TIE is 1 (Linux), else once it notices that its parent is gone.
"""
import os
import signal
import struct
import sys

# Path length, size limit, parts; then the path.
REQUEST = struct.Struct("!IQB")
# Kind, three lengths; then the version, the document and the summary of
# the elevation.
ANSWER = struct.Struct("!BIII")
# The parts of a file a request reads: the metadata document and the
# version, the elevation's minimum and maximum attributes, the grid, and
# with the grid its footprint (the request then ends with the grid's
# georeferencing, FOOTPRINT_REQUEST and the CRS, after its length).
METADATA, ATTRIBUTES, GRID, FOOTPRINT = 1, 2, 4, 8
FOOTPRINT_REQUEST = struct.Struct("!QQ6dI")
NO_VERSION = 0xFFFFFFFF
OK, FAILURE, NO_MEMORY = range(3)
READY = b"bathyra BAG reader 2\n"
#: Python code that runs the process: sys.argv[1] is the folder holding
#: the bathyra package, the rest are main's arguments.
BOOT = ("import sys; sys.path.insert(0, sys.argv[1]); "
        "from bathyra._bag_worker import main; main(sys.argv[2:])")


def limit_memory(limit):
    """Bounds the address space, so that a file that makes the library
    allocate without end fails here rather than drain the machine.  Not
    under AddressSanitizer, which reserves vast address space."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return
    try:
        import resource
    except ImportError:  # not on this platform
        return
    bound = 2 * 1024 ** 3 + 4 * limit
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard != resource.RLIM_INFINITY:
        bound = min(bound, hard)
    if soft == resource.RLIM_INFINITY or soft > bound:
        try:
            resource.setrlimit(resource.RLIMIT_AS, (bound, hard))
        except (ValueError, OSError):
            pass  # the system refuses the bound: read without it


def watch_parent(parent):
    """Ends this process soon after `parent` ends, even in the middle of a
    file: a thread that looks once a second (the request loop runs without
    the interpreter lock)."""
    import threading
    import time

    def watch():
        while os.getppid() == parent:
            time.sleep(1)
        os._exit(0)

    threading.Thread(target=watch, name="parent watch", daemon=True).start()


def main(argv):
    requests, answers, limit, parent, tie = (int(arg) for arg in argv)
    # An interrupt at the terminal is the caller's to handle.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from bathyra import _bag
    limit_memory(limit)
    if tie and not _bag.end_with_parent(parent):
        return  # the parent has already ended
    if not (tie and sys.platform.startswith("linux")) and os.name == "posix":
        watch_parent(parent)
    quiet = os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 2)
    os.close(quiet)
    view = memoryview(READY)
    while view:
        view = view[os.write(answers, view):]
    _bag.serve(requests, answers)


if __name__ == "__main__":
    main(sys.argv[1:])
