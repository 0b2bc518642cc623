"""IHO S-102 bathymetric surface files (editions 2.1, 2.2 and 3.0): what
the HDF5 file holds, read by the BAG reader's helper process, and a
writer of such files for tests and benchmarks.

``read(path, grid=False)`` gives an ``S102File``: the root attributes,
each bathymetry instance (``BathymetryCoverage.NN``: its attributes, those
of its ``Group_001``, the grid's shape and, with ``grid=True``, the depth
and uncertainty ranges of the nodes that hold data and the cells of each
quality row id), the quality's feature attribute table, the first
instance's footprint and the problems met.  Depths are as the file stores
them: metres, positive down; a depth of 1000000 is no data.  A file is
recognised by its ``productSpecification`` attribute
("INT.IHO.S-102.2.2.0"), not by its name: ``read`` raises ``NotS102``
for an HDF5 file that is not S-102 (``is_bag`` says whether it is a BAG
file) and ``BagError`` for a file that cannot be read.

``write(path, edition="3.0", instances=[...], quality=None, ...)`` writes
a file of that edition's layout; see its docstring.
"""
import os
import stat
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

from bathyra import _bag_worker, bag
from bathyra.document import OPEN_FLAGS
from bathyra.errors import BagError

__all__ = ["read", "write", "S102File", "Instance", "NotS102",
           "is_hdf5", "EDITIONS", "FILL", "TABLE_MEMBERS"]

#: The depth (and uncertainty) that marks a node without data.
FILL = 1000000.0
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
S102 = 16  # the request's part: read as an S-102 file


class NotS102(BagError):
    """An HDF5 file that is not S-102; ``is_bag`` says whether it is a
    BAG file."""

    def __init__(self, path: Any, reason: str, is_bag: bool = False) -> None:
        super().__init__(path, reason)
        self.is_bag = is_bag


def is_hdf5(path: Any) -> bool:
    """Whether `path` is a regular file that begins as an HDF5 file does
    (the library also looks 512, 1024... bytes in; files written so are
    rare).  Never waits: a FIFO or a device is not opened for reading."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        descriptor = os.open(path, OPEN_FLAGS)
    except (OSError, ValueError):
        return False
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return False
        return os.read(descriptor, 8) == HDF5_SIGNATURE
    except OSError:
        return False
    finally:
        os.close(descriptor)


class Instance(NamedTuple):
    """One bathymetry instance: ``name`` ("BathymetryCoverage.01"), its
    ``attributes`` and those of its Group_001 (``values_attributes``),
    ``shape`` (rows, columns) and ``members`` of its grid, and from a pass
    over it: ``valid_nodes``, ``depth_range``, ``uncertainty_range`` and
    ``cells``, {row id: (cells, valid nodes, (shoalest, deepest) or
    None)}, None when its grid or the quality's row ids were not read;
    ``outlines``, {row id: GeoJSON text of the area of its nodes
    that hold data}, ``outline_problems``, {row id: why it has none}, and
    ``outlines_problems``, what costs them all."""

    name: str
    attributes: Dict[str, Any]
    values_attributes: Dict[str, Any]
    shape: Optional[Tuple[int, int]] = None
    members: Tuple[str, ...] = ()
    valid_nodes: Optional[int] = None
    depth_range: Optional[Tuple[float, float]] = None
    uncertainty_range: Optional[Tuple[float, float]] = None
    cells: Optional[Dict[int, Tuple[int, int, Optional[Tuple[float, float]]]]
                    ] = None
    outlines: Optional[Dict[int, str]] = None
    outline_problems: Optional[Dict[int, str]] = None
    outlines_problems: Tuple[str, ...] = ()


class S102File(NamedTuple):
    """What ``read`` found: ``path``, ``attributes`` (the root's, by
    name), ``instances``, ``quality_feature`` (the quality group's name,
    or None), ``table_columns`` ((name, kind) of its feature attribute
    table) and ``table_rows`` (a dict per row, by member name),
    ``footprint`` (GeoJSON text of the first instance's valid nodes, or
    None), ``footprint_problems``, ``problems`` ((instance, "quality" or
    "", words))
    and ``grid_read`` (a pass was asked for)."""

    path: str
    attributes: Dict[str, Any]
    instances: Tuple[Instance, ...]
    quality_feature: Optional[str]
    table_columns: Tuple[Tuple[str, str], ...]
    table_rows: Tuple[Dict[str, Any], ...]
    footprint: Optional[str]
    footprint_problems: Tuple[str, ...]
    problems: Tuple[Tuple[str, str], ...]
    grid_read: bool


def _value(kind: str, text: str) -> Any:
    if kind == "i":
        return int(text)
    if kind == "f":
        return bag._float32_text(text)
    if kind == "d":
        return float(text)
    return text


def _number(text: str) -> Optional[float]:
    return bag._float32_text(text) if text else None


def _parse(path: str, document: bytes, grid: bool) -> S102File:
    """The S102File of the reader's answer (the lines of s102_reader.hpp,
    a NUL, the footprint's notes, a NUL and its GeoJSON)."""
    lines, _, rest = document.partition(b"\0")
    notes, _, footprint = rest.partition(b"\0")
    attributes: Dict[str, Any] = {}
    instances: Dict[str, Dict[str, Any]] = {}
    columns: List[Tuple[str, str]] = []
    rows: List[Dict[str, Any]] = []
    problems: List[Tuple[str, str]] = []
    feature = None
    for line in lines.decode("utf-8", "replace").split("\n"):
        fields = line.split("\t")
        head = fields[0]
        if head == "attr":
            attributes[fields[1]] = _value(fields[2], fields[3])
        elif head == "instance":
            instances[fields[1]] = {"name": fields[1], "attributes": {},
                                    "values_attributes": {}}
        elif head in ("iattr", "gattr") and fields[1] in instances:
            key = "attributes" if head == "iattr" else "values_attributes"
            instances[fields[1]][key][fields[2]] = _value(fields[3],
                                                          fields[4])
        elif head == "shape" and fields[1] in instances:
            instances[fields[1]].update(
                shape=(int(fields[2]), int(fields[3])),
                members=tuple(name for name in fields[4].split(",") if name))
        elif head == "grid" and fields[1] in instances:
            low, high, error_low, error_high = map(_number, fields[3:7])
            instances[fields[1]].update(
                valid_nodes=int(fields[2]),
                depth_range=None if low is None else (low, high),
                uncertainty_range=None if error_low is None
                else (error_low, error_high))
        elif head == "ids" and fields[1] in instances:
            instances[fields[1]]["cells"] = {}
        elif head == "cells" and instances.get(fields[1], {}).get(
                "cells") is not None:
            low, high = _number(fields[5]), _number(fields[6])
            instances[fields[1]]["cells"][int(fields[2])] = (
                int(fields[3]), int(fields[4]),
                None if low is None else (low, high))
        elif head in ("outline", "unlined") and fields[1] in instances:
            key = "outlines" if head == "outline" else "outline_problems"
            instances[fields[1]].setdefault(key, {})[int(fields[2])] = \
                fields[3]
        elif head == "outlines" and fields[1] in instances:
            instances[fields[1]]["outlines_problems"] = instances[
                fields[1]].get("outlines_problems", ()) + (fields[2],)
        elif head == "quality":
            feature = fields[1]
        elif head == "column":
            columns.append((fields[1], fields[2]))
        elif head == "row":
            rows.append({})
        elif head == "value" and rows:
            name, kind = columns[int(fields[1])]
            rows[-1][name] = _value(kind, fields[2])
        elif head == "problem":
            problems.append((fields[1], fields[2]))
    return S102File(
        path, attributes, tuple(Instance(**fields)
                                for fields in instances.values()),
        feature, tuple(columns), tuple(rows),
        footprint.decode("utf-8") if footprint else None,
        (notes.decode("utf-8", "replace"),) if notes else (),
        tuple(problems), grid)


def read(path: Any, *, grid: bool = False, isolated: bool = True,
         timeout: Optional[float] = bag.DEFAULT_TIMEOUT,
         limit: int = bag.DEFAULT_LIMIT) -> S102File:
    """The S102File of the file at `path`, read by the HDF5 library in the
    BAG reader's helper process (``isolated=False``: in this process);
    with `grid=True` every node of every instance is read, in blocks.
    `limit` is the metadata limit of the helper process that reads it
    (its memory is bounded by it, as for BAG files).  Raises NotS102 for
    an HDF5 file that is not S-102, BagError for a file that cannot be
    read (also when the helper process runs out of memory), OSError
    when it cannot be opened at all."""
    timeout = bag._checked_timeout(timeout)
    limit = bag._checked_limit(limit)
    bag._require_support()
    path = os.fspath(path)
    bag._check_regular(path)
    name = os.fsdecode(path)
    parts = S102 | (_bag_worker.GRID if grid else 0)
    if isolated:
        try:
            document, kind, _ = bag._helper.read(path, limit, timeout, parts)
        except MemoryError:
            raise BagError(name, "not enough memory to read the file (the "
                           "reader's limit is %d bytes)" % limit) from None
    else:
        kind, document = bag._bag.read_s102(path, grid)
        if kind == "failed":
            raise BagError(path, document.decode("utf-8", "replace"))
    if kind == "BAG":
        raise NotS102(name, "a BAG file, not an S-102 file", True)
    if kind != "S-102":
        raise NotS102(name, "an HDF5 file, but neither an S-102 file (no "
                      "productSpecification of S-102) nor a BAG file")
    return _parse(name, document, grid)


# The writer, with the editions it writes and their productSpecification.
from bathyra._s102_writer import (  # noqa: E402
    EDITIONS, TABLE_MEMBERS, write)
