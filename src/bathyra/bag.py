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
``open(path, grid=True)``, ``Elevation``
    ``BagFile.elevation`` says what the file's elevation holds: the range
    of its "Minimum/Maximum Elevation Value" attributes (always read, they
    cost no node), and with ``grid=True`` the range, the uncertainty range
    and the count of the nodes that hold data, from a pass over the grid
    and the refinements of a variable-resolution file in blocks of a few
    chunks.  A grid the library cannot read gives None there and a
    problem, in ``Elevation.problems``; the metadata is kept.
``BagError`` (``bathyra.BagError``)
    The file is no BAG file that can be read safely: not a regular file,
    not HDF5, no metadata dataset, an empty one, a dataset of another type
    or larger than the limit, a link to another file, a damaged file.
    ``path`` names the file, ``reason`` says what was wrong, and ``str()``
    joins them: "survey.bag: not an HDF5 file".
``BagReaderError`` (a ``BagError``)
    The reader failed, not the file: its helper process could not start
    ("the BAG reader could not start: ..."), or was stopped from outside
    each time it read the file.
``available()``, ``hdf5_version()``
    Whether this installation was built with the HDF5 library, and which
    version; without it every BAG file raises ``BagSupportMissing``.
``stop_helper()``
    Ends the helper process (below) now rather than at exit.
``read_grid(file, georeferencing)``, ``Georeferencing``
    The grid of a BagFile read after its metadata: with the grid's place
    (``Georeferencing``, from the metadata) the pass also traces the
    footprint of the valid nodes, as GeoJSON in ``Elevation.footprint``.
``write(path, document, version="1.6.2", grid=None)``
    A minimal BAG file around a document: the layout that ``open`` reads,
    and an elevation grid when ``grid`` describes one.  From the command line::

        python -m bathyra.bag write DOCUMENT.xml OUTPUT.bag

The HDF5 library can crash on a damaged file, so by default it reads in a
helper process, started on first use (about 40 ms) and kept; a crash there
becomes a BagError for that file and the next file starts a new one.  A
helper process killed or stopped from outside costs nothing: the file is
read again by a new one.  The process runs the interpreter of the caller
with the caller's isolation options (-I, -E, -s, -S, -P), talks over
pipes of its own, and ends with its caller: at exit, when a
multiprocessing worker leaves, or when ``stop_helper()`` is called, and
without them when the caller dies.  ``isolated=False`` reads in this
process, for trusted files.  Either way files are read one at a time under
a lock, without holding the interpreter lock, so other Python threads run
meanwhile; the lock is held across ``fork()``, so that no child starts with
it taken.  A signal handler that opens a BAG file while its thread reads
one gets a helper process of its own.  In a sub-interpreter, which cannot
load the HDF5 library's module, ``available()`` is False.
"""
import atexit
import builtins
import importlib
import math
import numbers
import operator
import os
import struct
import sys
from types import TracebackType
from typing import (Dict, List, Literal, NamedTuple, Optional, Tuple, Type,
                    Union)

from bathyra import _bag_worker
from bathyra._bag_helper import BagReaderError, Helper as _Helper
from bathyra.document import (DEFAULT_LIMIT, Document, FileError,
                              check_file, unpadded)
from bathyra.errors import BagError, BagSupportMissing

try:
    _bag = importlib.import_module("bathyra._bag")
    _MISSING = None
except ModuleNotFoundError:  # built without the HDF5 library
    _bag = None
    _MISSING = "not built"
except ImportError as refused:
    # Built, but it cannot load here: in a sub-interpreter (the library
    # serves the whole process, from the main interpreter), or without the
    # library's shared object.
    _bag = None
    _MISSING = str(refused)

__all__ = ["open", "read_grid", "write", "available", "hdf5_version",
           "stop_helper", "BagFile", "Elevation", "Georeferencing", "Georef",
           "GeorefRecord", "BagError", "BagReaderError", "BagSupportMissing",
           "DEFAULT_LIMIT", "MAX_LIMIT", "DEFAULT_TIMEOUT", "HOW_TO_ENABLE"]

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
    HDF5 library and its module loads here (not in a sub-interpreter)."""
    return _bag is not None


def hdf5_version() -> Optional[str]:
    """The version of the HDF5 library in use ("1.10.8"), or None without
    BAG support."""
    return _bag.hdf5_version() if _bag is not None else None


class Georeferencing(NamedTuple):
    """Where a BAG file's metadata places its grid: ``size`` (rows,
    columns), ``corners`` ((x, y) of the south-west and of the north-east
    node's centre, in the file's CRS), ``resolution`` (dx, dy) and ``crs``
    (WKT or an EPSG code, "EPSG:32619")."""

    size: Tuple[int, int]
    corners: Tuple[Tuple[float, float], Tuple[float, float]]
    resolution: Tuple[float, float]
    crs: str


_Range = Tuple[float, float]


class Elevation(NamedTuple):
    """What a BAG file's elevation says, in metres, positive up as the
    file stores it: ``attribute_range`` (minimum, maximum) from the
    elevation's "Minimum/Maximum Elevation Value" attributes;
    ``grid_range``, ``uncertainty_range`` and ``valid_nodes`` (the nodes
    that hold data, refinements included) from a pass over the grid, None
    when no pass was made or it did not end; ``problems``: why a part
    gave nothing, in words.  With a `georeferencing` for ``open``:
    ``footprint``, the GeoJSON text of the area the valid nodes cover (None
    when there is none), and ``footprint_problems``, how it was traced or
    why there is none.  ``georef``: what the georeferenced metadata layers
    of a BAG 2.0 file give (a Georef), None when it has none."""

    attribute_range: Optional[_Range] = None
    grid_range: Optional[_Range] = None
    uncertainty_range: Optional[_Range] = None
    valid_nodes: Optional[int] = None
    problems: Tuple[str, ...] = ()
    footprint: Optional[str] = None
    footprint_problems: Tuple[str, ...] = ()
    georef: Optional["Georef"] = None


class GeorefRecord(NamedTuple):
    """The nodes that hold data and reference one combination of rows of
    the georeferenced metadata layers: ``valid_nodes``, their
    ``grid_range`` (lowest, highest elevation) and ``values``, a dict of
    each layer's name to the members of its row ({member: value}; text,
    int, float, or a bool for an enumeration of FALSE and TRUE).  With a
    `georeferencing` for ``open``: ``footprint``, the GeoJSON text of the
    area its nodes of the grid cover (None when there is none), and
    ``footprint_problems``, how it was traced or why there is none."""

    valid_nodes: int
    grid_range: _Range
    values: Dict[str, Dict[str, object]]
    footprint: Optional[str] = None
    footprint_problems: Tuple[str, ...] = ()


class Georef(NamedTuple):
    """What the georeferenced metadata layers give: ``records`` (read
    with the grid: their keys are per node), ``problems`` in words, and
    ``read``, False when the grid was not read (to its end)."""

    records: Tuple[GeorefRecord, ...] = ()
    problems: Tuple[str, ...] = ()
    read: bool = False


_SINGLE = struct.Struct("f")


def _as_float32_text(value: float) -> float:
    """`value`, a 32-bit float of the file, as the shortest decimal that
    is the same 32-bit float (-50.987003, not -50.98700332641602)."""
    for digits in range(6, 10):
        short = float("%.*g" % (digits, value))
        if _SINGLE.unpack(_SINGLE.pack(short))[0] == value:
            return short
    return value


_SUMMARY = struct.Struct("!B6dQI")
_LENGTH = struct.Struct("!I")


def _range(flags: int, flag: int, low: float, high: float
           ) -> Optional[_Range]:
    if not flags & flag:
        return None
    return _as_float32_text(low), _as_float32_text(high)


def _elevation_of(summary: bytes) -> Elevation:
    """The Elevation of an encoded summary (see the extension)."""
    (flags, low, high, grid_low, grid_high, error_low, error_high, valid,
     attribute_length) = _SUMMARY.unpack_from(summary)
    at = _SUMMARY.size + attribute_length
    (grid_length,) = _LENGTH.unpack_from(summary, at)
    at += _LENGTH.size
    texts = (summary[_SUMMARY.size:at - _LENGTH.size],
             summary[at:at + grid_length])
    problems = tuple(text.decode("utf-8", "replace") for text in texts
                     if text)
    return Elevation(_range(flags, 1, low, high),
                     _range(flags, 4, grid_low, grid_high),
                     _range(flags, 8, error_low, error_high),
                     valid if flags & 2 else None, problems,
                     georef=_georef_of(summary[at + grid_length:]))


def _float32_text(text: str) -> float:
    """A 32-bit float written with nine digits, as _as_float32_text."""
    return _as_float32_text(_SINGLE.unpack(_SINGLE.pack(float(text)))[0])


def _member_value(kind: str, text: str) -> object:
    """A member of a layer's row as the extension wrote it (kind: s text,
    i integer, f 32-bit or d 64-bit float, e an enumeration's name)."""
    if kind == "i":
        return int(text)
    if kind == "f":
        return _float32_text(text)
    if kind == "d":
        return float(text)
    if kind == "e" and text in ("FALSE", "TRUE"):
        return text == "TRUE"
    return text


def _georef_of(encoded: bytes) -> Optional[Georef]:
    """The Georef of the extension's lines (see georef_layers.cpp), None
    for none."""
    if not encoded:
        return None
    records: List[GeorefRecord] = []
    problems: List[str] = []
    read = True
    for line in encoded.decode("utf-8", "replace").split("\n"):
        fields = line.split("\t")
        if fields[0] in ("layers", "unread"):
            read = False
        elif fields[0] == "problem":
            problems.append(fields[1])
        elif fields[0] == "record":
            records.append(GeorefRecord(
                int(fields[1]), (_float32_text(fields[2]),
                                 _float32_text(fields[3])), {}))
        elif fields[0] == "value" and records:
            layer, _, member, kind, text = fields[1:6]
            records[-1].values.setdefault(layer, {})[member] = (
                _member_value(kind, text))
        elif fields[0] in ("footprint", "nofootprint"):
            # After the records: the footprint of the Nth (from 1).
            at = int(fields[1]) - 1
            if fields[0] == "footprint":
                records[at] = records[at]._replace(
                    footprint=fields[3], footprint_problems=tuple(
                        note for note in fields[2:3] if note))
            else:
                records[at] = records[at]._replace(
                    footprint_problems=(fields[2],))
    return Georef(tuple(records), tuple(problems), read)


class BagFile(Document):
    """The metadata of one BAG file, as ``open`` read it: a Document (pass
    it to ``extract_metadata``) that is also a context manager, for
    symmetry with files.

    ``path``: the file name given to ``open``; ``iso19139_xml``: the
    metadata document (bytes, without trailing NUL bytes);
    ``bag_version``: the file's "Bag Version" attribute (str), or None when
    the file has none; ``elevation``: what its elevation says (an
    Elevation), or None.  The file itself is already closed."""

    __slots__ = ("elevation",)

    def __init__(self, path: Optional[Union[str, bytes]],
                 iso19139_xml: Union[bytes, str],
                 bag_version: Optional[str] = None,
                 elevation: Optional[Elevation] = None) -> None:
        super().__init__(path, iso19139_xml, bag_version)
        self.elevation = elevation

    def __reduce__(self) -> Tuple[type, Tuple[object, ...]]:
        return (type(self), (self.path, self.iso19139_xml, self.bag_version,
                             self.elevation))

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
    if _MISSING == "not built":
        raise BagSupportMissing(HOW_TO_ENABLE)
    if _bag is None:
        raise BagSupportMissing("BAG support is built but cannot be loaded "
                                "here: %s" % _MISSING)


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
         timeout: Optional[float] = DEFAULT_TIMEOUT,
         grid: bool = False,
         georeferencing: Optional[Georeferencing] = None) -> BagFile:
    """Reads the metadata of the BAG file at `path` (str, bytes or a path
    object) and returns a BagFile.

    By default the HDF5 library reads the file in a helper process that is
    started on first use and kept: a damaged file that crashes the library
    costs a BagError for that file, not the caller's process.  With
    `isolated=False` the file is read in this process, for trusted files.
    A metadata dataset larger than `limit` bytes (an int from 0 to
    MAX_LIMIT) is refused.  A file that the helper process has not read
    after `timeout` seconds (a positive number; None or math.inf: no
    bound) is given up.  The elevation's attributes are read too, and with
    `grid=True` every node of the grid and its refinements (in blocks of a
    bounded size), in a request of its own: a grid on which the library
    fails costs only ``elevation``'s grid fields, which say why.  With
    `grid=True` and a `georeferencing` (where the metadata places the
    grid) the same pass traces the footprint of the valid nodes
    (``Elevation.footprint``).

    Raises OSError when the file cannot be opened at all, BagError when it
    is no BAG file that can be read safely (``reason`` says why),
    BagReaderError (a BagError) when the helper process could not read it,
    BagSupportMissing when BAG support was not built, and TypeError or
    ValueError for unusable arguments."""
    limit = _checked_limit(limit)
    timeout = _checked_timeout(timeout)
    _require_support()
    path = os.fspath(path)
    _check_regular(path)
    parts = _bag_worker.METADATA | _bag_worker.ATTRIBUTES
    if not isolated:
        document, version, summary = _bag.read_file(
            path, limit, parts | (_bag_worker.GRID if grid else 0))
        return BagFile(path, document, version, _elevation_of(summary))
    document, version, summary = _helper.read(path, limit, timeout, parts)
    elevation = _elevation_of(summary)
    if grid:
        elevation = _with_grid(elevation, path, limit, timeout,
                               georeferencing)
    return BagFile(path, document, version, elevation)


def read_grid(file: BagFile, georeferencing: Optional[Georeferencing] = None,
              *, limit: int = DEFAULT_LIMIT,
              timeout: Optional[float] = DEFAULT_TIMEOUT) -> BagFile:
    """`file` (a BagFile that ``open`` read without its grid) with the
    grid's fields in its elevation, read as ``open(path, grid=True)``
    reads them, and with a `georeferencing` the footprint of its valid
    nodes (``Elevation.footprint``)."""
    limit = _checked_limit(limit)
    timeout = _checked_timeout(timeout)
    _require_support()
    elevation = _with_grid(file.elevation or Elevation(), file.path, limit,
                           timeout, georeferencing)
    return BagFile(file.path, file.iso19139_xml, file.bag_version, elevation)


def _with_grid(elevation: Elevation, path: str, limit: int,
               timeout: Optional[float],
               georeferencing: Optional[Georeferencing] = None
               ) -> Elevation:
    """`elevation` with the grid's fields (and its footprint, with
    `georeferencing`), read by the helper process in a request of their
    own."""
    parts, extra = _bag_worker.GRID, b""
    if georeferencing is not None:
        parts |= _bag_worker.FOOTPRINT
        extra = _footprint_request(georeferencing)
    unread = ("the elevation grid could not be read: no footprint",) \
        if georeferencing is not None else ()
    try:
        notes, _, summary = _helper.read(path, limit, timeout, parts, extra)
    except BagError as error:
        return elevation._replace(problems=elevation.problems + (
            "the elevation grid could not be read: " + error.reason,),
            footprint_problems=unread)
    except MemoryError:
        return elevation._replace(problems=elevation.problems + (
            "the elevation grid could not be read: not enough memory",),
            footprint_problems=unread)
    found = _elevation_of(summary)
    footprint, footprint_problems = None, ()
    if georeferencing is not None:
        words, _, text = notes.partition(b"\0")
        footprint = text.decode("utf-8") if text else None
        footprint_problems = (words.decode("utf-8", "replace"),) if words \
            else ()
    return elevation._replace(grid_range=found.grid_range,
                              uncertainty_range=found.uncertainty_range,
                              valid_nodes=found.valid_nodes,
                              problems=elevation.problems + found.problems,
                              footprint=footprint,
                              footprint_problems=footprint_problems,
                              georef=found.georef or elevation.georef)


def _footprint_request(georeferencing: Georeferencing) -> bytes:
    """The georeferencing of a footprint request: the grid's size and its
    geotransform in the file's row order (row 0 the southernmost, dy
    positive, the corners being nodes' centres), and the CRS."""
    (rows, cols) = georeferencing.size
    (west, south), _ = georeferencing.corners
    dx, dy = georeferencing.resolution
    crs = georeferencing.crs.encode("utf-8")
    return _bag_worker.FOOTPRINT_REQUEST.pack(
        rows, cols, west - dx / 2, dx, 0.0, south - dy / 2, 0.0, dy,
        len(crs)) + crs


def _checked_limit(limit: int) -> int:
    """`limit` as an int; TypeError or ValueError for anything else."""
    if isinstance(limit, bool):
        raise TypeError("limit must be an int, not %r" % (limit,))
    try:
        limit = operator.index(limit)
    except TypeError:
        raise TypeError("limit must be an int, not %r" % (limit,)) from None
    if not 0 <= limit <= MAX_LIMIT:
        raise ValueError("limit must be from 0 to %d bytes, not %d"
                         % (MAX_LIMIT, limit))
    return limit


def _checked_timeout(timeout: Optional[float]) -> Optional[float]:
    """`timeout` in seconds as a float, or None for no bound (None or
    infinity); TypeError or ValueError for anything else."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError("timeout must be a number of seconds or None, not "
                        "%r" % (timeout,))
    try:
        seconds = float(timeout)
    except OverflowError:  # an int beyond any float
        seconds = math.inf if timeout > 0 else -math.inf
    if not seconds > 0:  # NaN too
        raise ValueError("timeout must be a positive number of seconds (or "
                         "None or math.inf for no bound), not %r"
                         % (timeout,))
    return None if math.isinf(seconds) else seconds


_helper = _Helper(shared=True)
atexit.register(_helper.stop_if_idle)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_helper.forget_after_fork)


def stop_helper() -> None:
    """Ends the helper process that reads BAG files, if one runs, and waits
    for it; the next isolated ``open`` starts a new one.  A read in another
    thread is let finish first; called from a signal handler of the thread
    that reads, it does nothing.  The interpreter's exit (and a
    multiprocessing worker's) does this by itself; a program that is done
    with BAG files may call it to end the process sooner."""
    _helper.stop_when_idle()


def write(path: _Path, document: Union[bytes, bytearray, memoryview, str],
          version: Optional[str] = "1.6.2", chunk: int = 0,
          compress: int = 0,
          element: Literal["string", "int8", "float64", "none"] = "string",
          layout: str = "", grid: Optional[dict] = None) -> None:
    """Writes a minimal BAG file whose /BAG_root/metadata holds `document`
    (bytes; a trailing NUL is added as BAG writers do).  `chunk` and
    `compress` (a deflate level) store the dataset in compressed chunks.
    For tests, `element` makes other datasets: "int8" characters,
    "float64" values, or "none" for no metadata dataset; `version=None`
    leaves out the version attribute; `layout` makes files that the reader
    refuses: "soft" (a soft link), "external:FILE" (a link into another
    file), "storage:FILE" (raw data kept in another file), "declared:N"
    (a chunked dataset of N elements that holds nothing).

    `grid` adds an elevation grid, a dict: "shape" (rows, columns);
    "tile", rows of elevations (floats, positive up) repeated over the
    grid, written block by block, so any size is cheap to write;
    "uncertainty", rows of the tile's shape (else no uncertainty grid);
    "attributes", the (minimum, maximum) of the elevation attributes;
    "chunk" (square chunks of that side) and "compress" (deflate level);
    "cells", one (index, columns, rows) per node for the refinements
    "refinements", a list of (depth, uncertainty); "layout": "damaged"
    (chunks that hold no valid compressed data) or "declared" (a grid
    that holds nothing); "layers", georeferenced metadata layers, each a
    dict: "name", "group" ("Georef_metadata" unless given), "keys" (rows
    of the grid's shape), "refined_keys" (one per refinement node),
    "members" ((name, size): text of that many bytes, or 0 for a 32-bit
    float), "rows" (tuples of the members' values, row 0 first) and
    "damaged" (keys in a chunk that holds no valid data).

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
    _bag.write_bag(path, data, version, chunk, compress, element, layout,
                   None if grid is None else _grid_request(grid))


def _grid_request(grid: dict) -> tuple:
    """The grid of ``write`` as the extension takes it."""
    import array
    tile = grid["tile"]

    def floats(rows: list) -> bytes:
        return array.array("f", [v for row in rows for v in row]).tobytes()

    cells = grid.get("cells")
    refinements = grid.get("refinements")
    uncertainty = grid.get("uncertainty")
    rows, cols = grid["shape"]
    return (rows, cols, len(tile), len(tile[0]), grid.get("chunk", 0),
            grid.get("compress", 0), floats(tile),
            None if uncertainty is None else floats(uncertainty),
            grid.get("attributes"),
            None if cells is None else array.array(
                "I", [n for cell in cells for n in cell]).tobytes(),
            None if refinements is None else floats(refinements),
            grid.get("layout", ""),
            [_layer_request(layer) for layer in grid.get("layers", ())])


def _layer_request(layer: dict) -> tuple:
    """A georeferenced metadata layer of ``write`` as the extension takes
    it."""
    import array

    def keys(values: list) -> bytes:
        return array.array("I", values).tobytes()

    members = list(layer["members"])
    packing = struct.Struct("<" + "".join("%ds" % size if size else "f"
                                          for _, size in members))
    rows = b"".join(packing.pack(*(value.encode() if isinstance(value, str)
                                   else value for value in row))
                    for row in layer["rows"])
    refined = layer.get("refined_keys")
    return ("/BAG_root/%s/%s" % (layer.get("group", "Georef_metadata"),
                                 layer["name"]),
            keys([key for row in layer["keys"] for key in row]),
            None if refined is None else keys(refined), members, rows,
            bool(layer.get("damaged")))


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
