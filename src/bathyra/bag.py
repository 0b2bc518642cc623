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

``open(path)``
    A ``BagFile``: ``iso19139_xml`` (the document, bytes, without the
    trailing NUL bytes that BAG writers add), ``bag_version`` (the file's
    "Bag Version" attribute, or None) and ``path``.  A context manager, for
    symmetry with files; there is nothing left open to close.
``BagError``
    The file is no BAG file: not HDF5, no metadata dataset, an empty one,
    a dataset of another type, a damaged file.  The message names the file
    and what was wrong.
``available()``, ``hdf5_version()``
    Whether this installation was built with the HDF5 library, and which
    version; without it every BAG file raises ``BagSupportMissing``.
``write(path, document, version="1.6.2")``
    A minimal BAG file around a document: the layout that ``open`` reads,
    no grid.  From the command line::

        python -m bathyra.bag write DOCUMENT.xml OUTPUT.bag

The HDF5 library is not thread-safe: files are read one at a time under a
lock, without holding the interpreter lock, so other Python threads run
meanwhile.
"""
import builtins
import os
import sys

try:
    from bathyra import _bag
except ImportError:  # built without the HDF5 library
    _bag = None

HOW_TO_ENABLE = (
    "BAG support is not built into this installation of bathyra: install "
    "the HDF5 library's development files (on Debian: apt-get install "
    "libhdf5-dev) and build again (./dev test, or cmake --build build)")

if _bag is not None:
    BagError = _bag.BagError
else:
    class BagError(Exception):
        """A file cannot be read as a BAG file; the message names the file
        and what was wrong."""


class BagSupportMissing(ImportError):
    """Raised for any BAG file when bathyra was built without the HDF5
    library; the message says how to build it with BAG support."""


def available():
    """Whether BAG files can be read: True when bathyra was built with the
    HDF5 library."""
    return _bag is not None


def hdf5_version():
    """The version of the HDF5 library in use ("1.10.8"), or None without
    BAG support."""
    return _bag.hdf5_version() if _bag is not None else None


class BagFile:
    """The metadata of one BAG file, as ``open`` read it; pass it to
    ``extract_metadata``.

    ``path``: the file name given to ``open``; ``iso19139_xml``: the
    metadata document (bytes, without trailing NUL bytes);
    ``bag_version``: the file's "Bag Version" attribute (str), or None when
    the file has none.  The file itself is already closed."""

    __slots__ = ("path", "iso19139_xml", "bag_version")

    def __init__(self, path, iso19139_xml, bag_version):
        self.path = path
        self.iso19139_xml = iso19139_xml
        self.bag_version = bag_version

    def close(self):
        """Nothing to release: the file was closed when it was read."""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __repr__(self):
        return "<BagFile %r version %s, %d bytes of metadata>" % (
            self.path, self.bag_version, len(self.iso19139_xml))


def _require_support():
    if _bag is None:
        raise BagSupportMissing(HOW_TO_ENABLE)


def open(path):
    """Reads the metadata of the BAG file at `path` (str, bytes or a path
    object) and returns a ``BagFile``.

    Raises OSError when the file cannot be opened at all, BagError when it
    is no BAG file (the message says what is missing or wrong),
    BagSupportMissing when bathyra was built without the HDF5 library."""
    _require_support()
    path = os.fspath(path)
    # Let the operating system name a missing or unreadable file.
    with builtins.open(path, "rb"):
        pass
    document, version = _bag.read_metadata(path)
    return BagFile(path, document, version)


def write(path, document, version="1.6.2", chunk=0, compress=0,
          element="string"):
    """Writes a minimal BAG file whose /BAG_root/metadata holds `document`
    (bytes; a trailing NUL is added as BAG writers do).  `chunk` and
    `compress` (a deflate level) store the dataset in compressed chunks.
    For tests, `element` makes other datasets: "int8" characters,
    "float64" values, or "none" for no metadata dataset; `version=None`
    leaves out the version attribute."""
    _require_support()
    if isinstance(document, str):
        document = document.encode("utf-8")
    data = bytes(document)
    if element != "float64":
        data += b"\0"
    _bag.write_bag(os.fspath(path), data, version, chunk, compress, element)


def _main(argv):
    if len(argv) != 3 or argv[0] != "write":
        print("usage: python -m bathyra.bag write DOCUMENT.xml OUTPUT.bag",
              file=sys.stderr)
        return 2
    try:
        with builtins.open(argv[1], "rb") as stream:
            document = stream.read().rstrip(b"\0")
        write(argv[2], document, chunk=4096, compress=6)
    except (OSError, BagError, BagSupportMissing) as error:
        print("%s: %s" % (type(error).__name__, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
