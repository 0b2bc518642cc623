"""The exceptions of bathyra, one family under ``BathyraError``.

``except bathyra.BathyraError`` catches every file or document that
bathyra refuses or cannot read, whichever part refused it:

``SurveyError``
    The survey reader (``read_survey``, ``parse_survey``): a file or
    document that cannot be read as an ISO 19139 survey document.
    ``message`` says why, ``path`` names the file (None for a document
    given directly).
``FileError``
    A file that bathyra will not read: not a regular file (a FIFO would
    block a reader, a device could be read without end), or larger than
    the limit.  ``path`` names it, ``reason`` says what is wrong.
``BagError`` (a ``FileError``)
    A file that cannot be read as a BAG file: not HDF5, no metadata
    dataset, a damaged file...
``BagSupportMissing`` (also an ``ImportError``)
    BAG support was not built into this installation.
``CatalogError``
    A survey catalogue (``bathyra.catalog``) that cannot be opened,
    written or read; ``destination`` names it, ``reason`` says why.
``CatalogSupportMissing`` (also an ``ImportError``)
    The catalogue was not built into this installation (it needs GDAL).

A file the operating system cannot open (missing, no permission) raises
the ``OSError`` that says so, outside this family.  Every exception here
pickles with its attributes, so that it crosses processes.  This module
imports nothing of bathyra: any part may raise these.
"""
import os
from typing import Optional, Union

__all__ = ["BathyraError", "SurveyError", "FileError", "BagError",
           "BagSupportMissing", "CatalogError", "CatalogSupportMissing"]


class BathyraError(Exception):
    """The root of the exceptions that bathyra raises for a file or
    document it refuses or cannot read."""


class SurveyError(BathyraError):
    """A file or document that cannot be read as an ISO 19139 survey
    document: ``message`` says why in words, ``path`` names the file (None
    for a document given directly).  ``str()`` is "path: message", or the
    message alone without a path."""

    def __init__(self, message: str, path: Optional[str] = None) -> None:
        super().__init__(message, path)
        self.message = message
        self.path = path

    def __str__(self) -> str:
        if self.path is None:
            return self.message
        return "%s: %s" % (self.path, self.message)


class FileError(BathyraError):
    """A file that bathyra will not read: ``path`` names it (str),
    ``reason`` says what is wrong with it; ``str()`` is "path: reason", as
    an ``OSError`` shows its file name."""

    def __init__(self, path: Union[str, bytes, "os.PathLike[str]",
                                   "os.PathLike[bytes]"],
                 reason: str) -> None:
        path = os.fsdecode(os.fspath(path))
        super().__init__(path, reason)
        self.path = path
        self.reason = reason

    def __str__(self) -> str:
        return "%s: %s" % (self.path, self.reason)


class BagError(FileError):
    """A file that cannot be read as a BAG file, or not safely: not a
    regular file, not HDF5, no metadata dataset, an empty one, a dataset of
    another type or larger than the limit, a link to another file, a
    damaged file.  ``path`` names the file, ``reason`` says what was
    wrong."""


class BagSupportMissing(BathyraError, ImportError):
    """Raised for any BAG file when bathyra was built without the HDF5
    library; the message says how to build it with BAG support."""


class CatalogError(BathyraError):
    """A survey catalogue that cannot be opened, written or read:
    ``destination`` names it (a file, or a database's connection text
    without its password), ``reason`` says what failed; ``str()`` is
    "destination: reason"."""

    def __init__(self, destination: str, reason: str) -> None:
        super().__init__(destination, reason)
        self.destination = destination
        self.reason = reason

    def __str__(self) -> str:
        return "%s: %s" % (self.destination, self.reason)


class CatalogSupportMissing(BathyraError, ImportError):
    """Raised by the survey catalogue when bathyra was built without GDAL;
    the message says how to build it with the catalogue."""
