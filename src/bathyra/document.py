"""Metadata documents, and reading them from metadata files.

A ``Document`` carries one ISO 19139 document in its attribute
``iso19139_xml``, which is what ``extract_metadata`` and ``parse_survey``
read; ``path`` names the file it came from and ``bag_version`` the
version of the BAG file that held it (None for others):

    >>> from bathyra.document import Document, read_document
    >>> from bathyra.metadata_parser import extract_metadata
    >>> Document("survey.xml", b"<gmi:MI_Metadata/>")
    <Document 'survey.xml', 18 bytes of metadata>
    >>> document = read_document("examples/survey_h13045_multibeam.xml")
    >>> document
    <Document 'examples/survey_h13045_multibeam.xml', 4994 bytes of metadata>
    >>> extract_metadata(document)["OBJNAM"]
    'H13045_MB_1m_MLLW'

``read_document(path, limit)`` reads a metadata file as every part of
bathyra reads one: a regular file only, at most `limit` bytes, and the NUL
bytes that end a document copied out of a BAG file dropped, as the BAG
reader drops them (``unpadded``).  This module imports no other part of
bathyra but its exceptions.
"""
import os
import stat
from typing import Optional, Tuple, Union

from bathyra.errors import FileError

__all__ = ["Document", "read_document", "unpadded", "DEFAULT_LIMIT"]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: The largest document read by default, in bytes.
DEFAULT_LIMIT = 64 * 1024 * 1024

# How the package opens a file it reads: without waiting for a FIFO's
# writer, without becoming the process's controlling terminal (such a file
# is refused after fstat anyway), and not inherited by a child process.
OPEN_FLAGS = (os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)
              | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0)
              | getattr(os, "O_CLOEXEC", 0))
# How UTF-16 and UTF-32 documents begin: a byte order mark, or "<" next to
# a NUL byte.
_WIDE_STARTS = (b"\xff\xfe", b"\xfe\xff", b"\0\0\xfe\xff", b"<\0",
                b"\0<", b"\0\0\0<")
_UTF32_STARTS = (b"\xff\xfe\0\0", b"\0\0\xfe\xff", b"<\0\0\0", b"\0\0\0<")


class Document:
    """One metadata document: ``iso19139_xml`` (bytes or str), ``path``
    (the file it was read from, or None) and ``bag_version`` (the "Bag
    Version" of the BAG file that held it, or None).  Pass it to
    ``extract_metadata`` or ``parse_survey``; it pickles."""

    __slots__ = ("path", "iso19139_xml", "bag_version")

    def __init__(self, path: Optional[Union[str, bytes]],
                 iso19139_xml: Union[bytes, str],
                 bag_version: Optional[str] = None) -> None:
        self.path = path
        self.iso19139_xml = iso19139_xml
        self.bag_version = bag_version

    def __reduce__(self) -> Tuple[type, Tuple[object, ...]]:
        return (type(self), (self.path, self.iso19139_xml, self.bag_version))

    def __repr__(self) -> str:
        version = ("" if self.bag_version is None
                   else " version %s" % self.bag_version)
        xml = self.iso19139_xml
        if isinstance(xml, (bytes, bytearray)):
            size = "%d bytes of metadata" % len(xml)
        elif isinstance(xml, str):
            size = "%d characters of metadata" % len(xml)
        else:
            size = "metadata of type %s" % type(xml).__name__
        return "<%s %r%s, %s>" % (type(self).__name__, self.path, version,
                                  size)


def unpadded(document: bytes) -> bytes:
    """`document` without the NUL bytes at its end: BAG files store their
    document followed by NULs, and copies of it keep them.  A UTF-16 or
    UTF-32 document loses whole NUL characters only: its last character
    keeps its NUL bytes, even where a reader cut them off with the
    padding."""
    if document.startswith(_WIDE_STARTS):
        width = 4 if document.startswith(_UTF32_STARTS) else 2
        body = document.rstrip(b"\0")
        return body + b"\0" * (-len(body) % width)
    return document.rstrip(b"\0")


def check_file(path: _Path) -> None:
    """Raises OSError when `path` cannot be opened for reading (missing,
    no permission) and FileError when it is no regular file."""
    fd = os.open(path, OPEN_FLAGS)
    try:
        _check_regular(path, fd)
    finally:
        os.close(fd)


def read_document(path: _Path, limit: int = DEFAULT_LIMIT) -> Document:
    """The Document of the metadata file at `path` (str, bytes or a path
    object), opened once: ``unpadded`` bytes, ``path`` as given.  Raises
    OSError when the file cannot be opened or read, and FileError when it
    is no regular file or holds more than `limit` bytes."""
    path = os.fspath(path)
    fd = os.open(path, OPEN_FLAGS)
    try:
        size = _check_regular(path, fd)
        data = _read_at_most(fd, limit + 1, size)
    finally:
        os.close(fd)
    if len(data) > limit:
        raise FileError(path, "larger than the limit of %d bytes (see "
                        "--max-size)" % limit)
    return Document(path, unpadded(data))


def _check_regular(path: _Path, fd: int) -> int:
    """The size of the open file `fd`; FileError when it is no regular
    file."""
    status = os.fstat(fd)
    if not stat.S_ISREG(status.st_mode):
        raise FileError(path, "not a regular file")
    return status.st_size


def _read_at_most(fd: int, count: int, size: int) -> bytes:
    """Up to `count` bytes of `fd`, read in one call when the file still
    holds the `size` bytes it had."""
    parts = []
    while count > 0:
        part = os.read(fd, min(count, max(size + 1, 1 << 16)))
        if not part:
            break
        parts.append(part)
        count -= len(part)
    return b"".join(parts)
