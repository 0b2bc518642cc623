"""The helper process that reads BAG files for bathyra.bag.

The HDF5 library can crash on a damaged file; here a crash ends only this
process, and the caller turns it into a BagError for that one file.  The
process answers read requests on its standard output until its standard
input ends (the request loop and its format are in the extension).
"""
import os
import signal
import struct
import sys

REQUEST = struct.Struct("!IQ")  # path length, size limit; then the path
ANSWER = struct.Struct("!BII")  # kind, two lengths; then two payloads
NO_VERSION = 0xFFFFFFFF
OK, FAILURE, NO_MEMORY = range(3)


def limit_memory():
    """Bounds the address space, so that a file that makes the library
    allocate without end fails here rather than drain the machine.  Not
    under AddressSanitizer, which reserves vast address space."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return
    try:
        import resource
    except ImportError:  # not on this platform
        return
    limit = int(os.environ.get("BATHYRA_BAG_LIMIT", 64 * 1024 * 1024))
    bound = 2 * 1024 ** 3 + 4 * limit
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard != resource.RLIM_INFINITY:
        bound = min(bound, hard)
    if soft == resource.RLIM_INFINITY or soft > bound:
        try:
            resource.setrlimit(resource.RLIMIT_AS, (bound, hard))
        except (ValueError, OSError):
            pass  # the system refuses the bound: read without it


def main():
    # An interrupt at the terminal is the caller's to handle.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from bathyra import _bag
    limit_memory()
    _bag.serve(sys.stdin.fileno(), sys.stdout.fileno())


if __name__ == "__main__":
    main()
