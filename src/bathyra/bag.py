"""Bathymetric Attributed Grid (BAG) files: the metadata document they carry.

A BAG file is an HDF5 file whose dataset /BAG_root/metadata holds the
ISO 19139 metadata document of the survey, as single characters.
``open(path)`` reads that document once and closes the file at once; the
object it returns is what ``extract_metadata`` takes.  Run from a checkout
of bathyra (its examples/ folder holds survey documents):

    >>> import pathlib
    >>> from bathyra import bag
    >>> from bathyra.metadata_parser import extract_metadata
    >>> document = pathlib.Path("examples/survey_h13045_multibeam.xml")
    >>> bag.write("survey.bag", document.read_bytes())
    >>> with bag.open("survey.bag") as survey:
    ...     print(survey.bag_version, extract_metadata(survey)["OBJNAM"])
    1.6.2 H13045_MB_1m_MLLW

What is here:

``open(path, *, isolated=True, limit=DEFAULT_LIMIT, timeout=...)``
    A ``BagFile``, the ``bathyra.Document`` of the file: ``iso19139_xml``
    (the document, bytes, without the trailing NUL bytes that BAG writers
    add), ``bag_version`` (the file's "Bag Version" attribute, or None) and
    ``path``.  A context manager, for symmetry with files; there is
    nothing left open to close.
``BagError`` (``bathyra.BagError``)
    The file is no BAG file that can be read safely: not a regular file,
    not HDF5, no metadata dataset, an empty one, a dataset of another type
    or larger than the limit, a link to another file, a damaged file.
    ``path`` names the file, ``reason`` says what was wrong, and ``str()``
    joins them: "survey.bag: not an HDF5 file".
``available()``, ``hdf5_version()``
    Whether this installation was built with the HDF5 library, and which
    version; without it every BAG file raises ``BagSupportMissing``.
``write(path, document, version="1.6.2")``
    A minimal BAG file around a document: the layout that ``open`` reads,
    no grid.  From the command line::

        python -m bathyra.bag write DOCUMENT.xml OUTPUT.bag

The HDF5 library can crash on a damaged file, so by default it reads in a
helper process, started on first use (about 40 ms) and kept; a crash there
becomes a BagError for that file and the next file starts a new one.
``isolated=False`` reads in this process, for trusted files.  Either way
files are read one at a time under a lock, without holding the interpreter
lock, so other Python threads run meanwhile; the lock is held across
``fork()``, so that no child starts with it taken.
"""
import atexit
import builtins
import os
import select
import signal
import subprocess
import sys
import threading
import time
from types import TracebackType
from typing import List, Literal, Optional, Type, Union

from bathyra import _bag_worker
from bathyra.document import (DEFAULT_LIMIT, Document, FileError,
                              check_file, unpadded)
from bathyra.errors import BagError, BagSupportMissing

try:
    from bathyra import _bag
except ImportError:  # built without the HDF5 library
    _bag = None

__all__ = ["open", "write", "available", "hdf5_version", "BagFile",
           "BagError", "BagSupportMissing", "DEFAULT_LIMIT", "MAX_LIMIT",
           "DEFAULT_TIMEOUT", "HOW_TO_ENABLE"]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

HOW_TO_ENABLE = (
    "BAG support is not built into this installation of bathyra: install "
    "the HDF5 library's development files (on Debian: apt-get install "
    "libhdf5-dev) and build again (./dev test, or cmake --build build)")

if _bag is not None:
    # When the interpreter begins to exit, no thread is left inside the
    # HDF5 library: a daemon thread would otherwise come back from it to a
    # torn-down interpreter.
    atexit.register(_bag.close_library)


def available() -> bool:
    """Whether BAG files can be read: True when bathyra was built with the
    HDF5 library."""
    return _bag is not None


def hdf5_version() -> Optional[str]:
    """The version of the HDF5 library in use ("1.10.8"), or None without
    BAG support."""
    return _bag.hdf5_version() if _bag is not None else None


class BagFile(Document):
    """The metadata of one BAG file, as ``open`` read it: a Document (pass
    it to ``extract_metadata``) that is also a context manager, for
    symmetry with files.

    ``path``: the file name given to ``open``; ``iso19139_xml``: the
    metadata document (bytes, without trailing NUL bytes);
    ``bag_version``: the file's "Bag Version" attribute (str), or None when
    the file has none.  The file itself is already closed."""

    __slots__ = ()

    def close(self) -> None:
        """Nothing to release: the file was closed when it was read."""

    def __enter__(self) -> "BagFile":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> Literal[False]:
        self.close()
        return False


def _require_support() -> None:
    if _bag is None:
        raise BagSupportMissing(HOW_TO_ENABLE)


#: The largest limit: the helper process answers with 32-bit lengths.
MAX_LIMIT = 0xFFFFFFFE
#: Seconds that the helper process may take for one file.
DEFAULT_TIMEOUT = 120.0


def _check_regular(path: _Path) -> None:
    """Raises OSError for a missing or unreadable file (the operating
    system names it) and BagError for anything but a regular file."""
    try:
        check_file(path)
    except FileError as refused:
        raise BagError(refused.path, refused.reason) from None


def open(path: _Path, *, isolated: bool = True, limit: int = DEFAULT_LIMIT,
         timeout: Optional[float] = DEFAULT_TIMEOUT) -> BagFile:
    """Reads the metadata of the BAG file at `path` (str, bytes or a path
    object) and returns a BagFile.

    By default the HDF5 library reads the file in a helper process that is
    started on first use and kept: a damaged file that crashes the library
    costs a BagError for that file, not the caller's process.  With
    `isolated=False` the file is read in this process, for trusted files.
    A metadata dataset larger than `limit` bytes is refused.  A file that
    the helper process has not read after `timeout` seconds (None: no
    bound) is given up.

    Raises OSError when the file cannot be opened at all, BagError when it
    is no BAG file that can be read safely (``reason`` says why), and
    BagSupportMissing when BAG support was not built."""
    _require_support()
    path = os.fspath(path)
    if not isinstance(limit, int) or isinstance(limit, bool):
        raise TypeError("limit must be an int, not %r" % (limit,))
    if not 0 <= limit <= MAX_LIMIT:
        raise ValueError("limit must be from 0 to %d bytes, not %d"
                         % (MAX_LIMIT, limit))
    _check_regular(path)
    if isolated:
        document, version = _helper.read(path, limit, timeout)
    else:
        document, version = _bag.read_metadata(path, limit)
    return BagFile(path, document, version)


class _Helper:
    """The helper process that reads files, shared by all threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.process = None
        self.limit = 0

    def read(self, path, limit, timeout):
        # The process keeps the working folder it started in.
        encoded = os.fsencode(os.path.abspath(path))
        request = _bag_worker.REQUEST.pack(len(encoded), limit) + encoded
        with self.lock:
            # The process bounds its memory by the limit it started with:
            # a larger one needs a new process.
            if (self.process is None or self.process.poll() is not None
                    or limit > self.limit):
                self._stop()
                self._start(limit)
            try:
                _write_all(self.process.stdin.fileno(), request)
                kind, first, second = self._receive_answer(timeout)
            except _Stopped as stopped:
                self._stop()
                raise BagError(path, str(stopped))
            except OSError as error:
                # A broken pipe: the process ended before the request.
                self._stop()
                raise BagError(path, "the HDF5 library failed on this file "
                               "(%s)" % (error.strerror or error))
            except BaseException:
                # Interrupted between request and answer: the answer
                # would be taken for the next file's.
                self._stop()
                raise
        if kind == _bag_worker.OK:
            version = None if first is None else first.decode(
                "utf-8", "replace")
            return second, version
        if kind == _bag_worker.FAILURE:
            raise BagError(path, first.decode("utf-8", "replace"))
        raise MemoryError()

    def _receive_answer(self, timeout):
        """(kind, first payload or None, second payload) of one answer."""
        fd = self.process.stdout.fileno()
        deadline = None if timeout is None else time.monotonic() + timeout
        data = self._receive(fd, b"", _bag_worker.ANSWER.size, deadline,
                             timeout)
        kind, first_length, second_length = _bag_worker.ANSWER.unpack_from(
            data)
        no_first = first_length == _bag_worker.NO_VERSION
        body = _bag_worker.ANSWER.size + (0 if no_first else first_length)
        data = self._receive(fd, data, body + second_length, deadline,
                             timeout)
        first = None if no_first else data[_bag_worker.ANSWER.size:body]
        return kind, first, data[body:body + second_length]

    def _receive(self, fd, data, size, deadline, timeout):
        """`data` completed to at least `size` bytes from `fd`."""
        parts = [data]
        have = len(data)
        while have < size:
            if deadline is not None and _CAN_WAIT:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([fd], [], [],
                                                       remaining)[0]:
                    raise _Stopped(
                        "the HDF5 library did not finish reading this file "
                        "within %g s (a damaged file?); it was stopped"
                        % timeout)
            part = os.read(fd, max(size - have, 1 << 16))
            if not part:
                raise _Stopped(self._crash_text())
            parts.append(part)
            have += len(part)
        return b"".join(parts)

    def _start(self, limit):
        package_parent = os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (package_parent, env.get("PYTHONPATH")) if p)
        self.limit = max(limit, DEFAULT_LIMIT)
        env["BATHYRA_BAG_LIMIT"] = str(self.limit)
        # Started in the package's own folder: with -m, the working folder
        # comes first on the path of imports, and the caller's may hold
        # anything.
        self.process = subprocess.Popen(
            [sys.executable, "-m", "bathyra._bag_worker"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, env=env, bufsize=0,
            cwd=package_parent)

    def _crash_text(self):
        try:
            status = self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            status = None
        how = ""
        if status is not None and status < 0:
            try:
                how = ", %s" % signal.Signals(-status).name
            except ValueError:
                how = ", signal %d" % -status
        elif status:
            how = ", exit status %d" % status
        return ("the HDF5 library failed on this file (a damaged file; "
                "the reader stopped%s)" % how)

    def _stop(self):
        process, self.process = self.process, None
        if process is None:
            return
        try:
            process.kill()
        except OSError:
            pass
        process.stdin.close()
        process.stdout.close()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass

    def _stop_at_exit(self):
        """When the interpreter begins to exit, the process ends with it,
        unless a thread is reading with it: otherwise the process and its
        pipes are left to the interpreter's last clean-up, whose finalizers
        run when nothing is left to run them."""
        if self.lock.acquire(blocking=False):
            try:
                self._stop()
            finally:
                self.lock.release()

    def _forget_after_fork(self):
        """In a forked child: the parent's process and pipes are the
        parent's; the child starts its own helper when it needs one."""
        process, self.process = self.process, None
        self.lock = threading.Lock()
        if process is not None:
            for stream in (process.stdin, process.stdout):
                try:
                    stream.close()
                except OSError:
                    pass
            # Not this process's child: never wait for it.
            process.returncode = 0


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class _Stopped(Exception):
    """The helper process ended or was stopped while reading a file."""


_CAN_WAIT = os.name == "posix"
_helper = _Helper()
atexit.register(_helper._stop_at_exit)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_helper._forget_after_fork)


def write(path: _Path, document: Union[bytes, bytearray, memoryview, str],
          version: Optional[str] = "1.6.2", chunk: int = 0,
          compress: int = 0,
          element: Literal["string", "int8", "float64", "none"] = "string",
          layout: str = "") -> None:
    """Writes a minimal BAG file whose /BAG_root/metadata holds `document`
    (bytes; a trailing NUL is added as BAG writers do).  `chunk` and
    `compress` (a deflate level) store the dataset in compressed chunks.
    For tests, `element` makes other datasets: "int8" characters,
    "float64" values, or "none" for no metadata dataset; `version=None`
    leaves out the version attribute; `layout` makes files that the reader
    refuses: "soft" (a soft link), "external:FILE" (a link into another
    file), "storage:FILE" (raw data kept in another file), "declared:N"
    (a chunked dataset of N elements that holds nothing).

    Raises TypeError or ValueError for unusable arguments and OSError
    (with the operating system's reason) when the file cannot be
    created."""
    _require_support()
    if isinstance(document, str):
        document = document.encode("utf-8")
    elif not isinstance(document, (bytes, bytearray, memoryview)):
        raise TypeError("document must be str or bytes, not %s"
                        % type(document).__name__)
    if version is not None:
        if not isinstance(version, str):
            raise TypeError("version must be a str or None, not %s"
                            % type(version).__name__)
        if "\0" in version:
            raise ValueError("version must not hold a NUL character")
    path = os.fspath(path)
    if layout.startswith("storage:") and os.path.lexists(layout[8:]):
        # The raw data would be written into that file.
        raise FileExistsError("refusing to write raw data into the existing "
                              "file %s" % layout[8:])
    data = bytes(document)
    if element != "float64":
        data += b"\0"
    # Let the operating system say why the file cannot be created; the
    # HDF5 library only says that it failed.
    with builtins.open(path, "wb"):
        pass
    _bag.write_bag(path, data, version, chunk, compress, element, layout)


def _main(argv: List[str]) -> int:
    if len(argv) != 3 or argv[0] != "write":
        print("usage: python -m bathyra.bag write DOCUMENT.xml OUTPUT.bag",
              file=sys.stderr)
        return 2
    try:
        with builtins.open(argv[1], "rb") as stream:
            document = unpadded(stream.read())
        write(argv[2], document, chunk=4096, compress=6)
    except (OSError, BagError, BagSupportMissing) as error:
        print("%s: %s" % (type(error).__name__, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
