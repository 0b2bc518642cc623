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
import array
import os
import stat
import struct
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from bathyra import _bag_worker, bag
from bathyra.errors import BagError

__all__ = ["read", "write", "S102File", "Instance", "NotS102",
           "is_hdf5", "EDITIONS", "FILL"]

#: The depth (and uncertainty) that marks a node without data.
FILL = 1000000.0
#: The editions written, and their productSpecification.
EDITIONS = {"2.1": "INT.IHO.S-102.2.1.0", "2.2": "INT.IHO.S-102.2.2.0",
            "3.0": "INT.IHO.S-102.3.0.0"}
_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
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
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(
        os, "O_BINARY", 0)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        descriptor = os.open(path, flags)
    except (OSError, ValueError):
        return False
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return False
        return os.read(descriptor, 8) == _HDF5_SIGNATURE
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
    None)}; ``outlines``, {row id: GeoJSON text of the area of its nodes
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
    None), ``footprint_problems``, ``problems`` ((instance, "quality" or "", words))
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
                valid_nodes=int(fields[2]), cells={},
                depth_range=None if low is None else (low, high),
                uncertainty_range=None if error_low is None
                else (error_low, error_high))
        elif head == "cells" and fields[1] in instances:
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
            rows[-1][fields[1]] = _value(fields[2], fields[3])
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
         timeout: Optional[float] = bag.DEFAULT_TIMEOUT) -> S102File:
    """The S102File of the file at `path`, read by the HDF5 library in the
    BAG reader's helper process (``isolated=False``: in this process);
    with `grid=True` every node of every instance is read, in blocks.
    Raises NotS102 for an HDF5 file that is not S-102, BagError for a
    file that cannot be read, OSError when it cannot be opened at all."""
    timeout = bag._checked_timeout(timeout)
    bag._require_support()
    path = os.fspath(path)
    bag._check_regular(path)
    name = os.fsdecode(path)
    parts = S102 | (_bag_worker.GRID if grid else 0)
    if isolated:
        document, kind, _ = bag._helper.read(path, 0, timeout, parts)
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


# Writing.

def _flat(values: Any, code: str) -> bytes:
    """Rows (or a flat sequence, array or bytes) as packed values."""
    if isinstance(values, (bytes, bytearray, memoryview)):
        return bytes(values)
    if isinstance(values, array.array):
        return values.tobytes()
    if hasattr(values, "tobytes"):  # an array of another library
        return values.tobytes()
    items = [v for row in values for v in row] if values and isinstance(
        values[0], (list, tuple)) else list(values)
    return array.array(code, items).tobytes()


def _attributes(values: Dict[str, Any], kinds: Dict[str, str]
                ) -> List[Tuple[str, str, Any]]:
    """(name, kind, value) of each attribute that is not None; the kind
    is `kinds`' or guessed from the value."""
    out = []
    for name, value in values.items():
        if value is None:
            continue
        kind = kinds.get(name) or ("s" if isinstance(value, str) else
                                   "i" if isinstance(value, int) else "d")
        out.append((name, kind, value))
    return out


_ROOT_KINDS = {"verticalDatum": "e", "verticalCS": "i", "horizontalCRS": "i",
               "horizontalDatumValue": "i", "westBoundLongitude": "f",
               "eastBoundLongitude": "f", "southBoundLatitude": "f",
               "northBoundLatitude": "f"}
_INSTANCE_KINDS = {"verticalDatum": "e", "numPointsLongitudinal": "i",
                   "numPointsLatitudinal": "i", "numGRP": "i"}
_VALUES_KINDS = {"minimumDepth": "f", "maximumDepth": "f",
                 "minimumUncertainty": "f", "maximumUncertainty": "f"}
#: The members of a feature attribute table written when none are given.
TABLE_MEMBERS = (("id", "u", 4), ("dataAssessment", "b", 1),
                 ("surveyDateRange.dateStart", "s", 8),
                 ("surveyDateRange.dateEnd", "s", 8),
                 ("sourceSurveyID", "s", 32), ("surveyAuthority", "s", 64))
_PACKING = {"u": "I", "i": "i", "b": "B", "e": "B", "f": "f", "d": "d"}


def _table_data(members: Sequence[Tuple[str, str, int]],
                rows: Sequence[Dict[str, Any]]) -> bytes:
    packing = struct.Struct("<" + "".join(
        "%ds" % size if kind == "s" else _PACKING[kind]
        for _, kind, size in members))
    out = []
    for row in rows:
        values = []
        for name, kind, _ in members:
            value = row.get(name, "" if kind == "s" else 0)
            values.append(value.encode("utf-8") if kind == "s" else value)
        out.append(packing.pack(*values))
    return b"".join(out)


def write(path: Any, *, edition: str = "3.0",
          instances: Sequence[Dict[str, Any]] = (),
          quality: Optional[Dict[str, Any]] = None,
          issue_date: Optional[str] = "20240115", crs: Optional[int] = 32619,
          bounds: Optional[Tuple[float, float, float, float]] = (
              -70.3, 43.6, -70.2, 43.7),
          vertical_datum: Optional[int] = 12, metadata: Optional[str] = None,
          attributes: Optional[Dict[str, Any]] = None, chunk: int = 0,
          compress: int = 0) -> None:
    """Writes an S-102 file of `edition` ("2.1", "2.2", "3.0").

    `instances`: one dict per BathymetryCoverage instance: "shape" (rows,
    columns), "depth" (rows of depths, positive down, FILL for none; or a
    flat sequence, array or bytes of 32-bit floats), "uncertainty" (the
    same, or absent for a grid of depths alone), "origin" (x, y of node
    (0, 0), the southernmost row), "spacing" (dx, dy), "vertical_datum"
    (3.0: the instance's own), "range" ((minimumDepth, maximumDepth), else
    none written), "attributes" (more, or None to leave one out);
    "declared": True for a grid of that shape in chunks that hold nothing
    (no "depth" then).
    `quality` (2.2, 3.0): "ids", rows of row ids (0: none) over the first
    instance's nodes; "rows", a dict per row of the feature attribute
    table by member name; "members", (name, kind, size) of its members
    (TABLE_MEMBERS when absent; kinds u, i, b, e, f, d, s).  Root
    attributes: `issue_date`, `crs` (EPSG code; 2.1: horizontalDatumValue),
    `bounds` (west, south, east, north), `vertical_datum` (its code),
    `metadata` (2.1: the name of the metadata file beside it), and
    `attributes` for more (None leaves one out).  `chunk` and `compress`
    store the grids in square chunks, deflated."""
    if edition not in EDITIONS:
        raise ValueError("edition must be one of %s, not %r"
                         % (", ".join(EDITIONS), edition))
    bag._require_support()
    root = {"productSpecification": EDITIONS[edition],
            "issueDate": issue_date, "metadata": metadata or ""}
    if edition == "2.1":
        root.update(horizontalDatumReference="EPSG",
                    horizontalDatumValue=crs)
    else:
        root.update(horizontalCRS=crs, verticalCS=6498)
    if bounds is not None:
        for name, value in zip(("westBoundLongitude", "southBoundLatitude",
                                "eastBoundLongitude", "northBoundLatitude"),
                               bounds):
            root[name] = value
    root["verticalDatum"] = vertical_datum
    root.update(attributes or {})
    groups = [("/", _attributes(root, _ROOT_KINDS)),
              ("/BathymetryCoverage", _attributes(
                  {"dataCodingFormat": 2, "dimension": 2,
                   "numInstances": len(instances)},
                  {"dataCodingFormat": "e", "dimension": "b",
                   "numInstances": "b"}))]
    datasets = [("/Group_F/featureCode", (2 if quality else 1,), 0, 0,
                 [("", "s", 32)],
                 b"".join(name.encode().ljust(32, b"\0") for name in (
                     ["BathymetryCoverage"] + (
                         [_quality_feature(edition)] if quality else []))),
                 [])]
    code_members = [(name, "s", 32) for name in (
        "code", "name", "uom.name", "fillValue", "datatype", "lower",
        "upper", "closure")]
    datasets.append(("/Group_F/BathymetryCoverage", (2,), 0, 0, code_members,
                     _table_data(code_members, [
                         {"code": "depth", "name": "depth", "uom.name": "metres",
                          "fillValue": "1000000.0", "datatype": "H5T_FLOAT",
                          "lower": "-14", "upper": "11050",
                          "closure": "closedInterval"},
                         {"code": "uncertainty", "name": "uncertainty",
                          "uom.name": "metres", "fillValue": "1000000.0",
                          "datatype": "H5T_FLOAT", "lower": "0",
                          "upper": "", "closure": "gtLeInterval"}]), []))
    for number, instance in enumerate(instances, 1):
        name = "/BathymetryCoverage/BathymetryCoverage.%02d" % number
        groups.append((name, _attributes(_grid_attributes(
            instance, edition), _INSTANCE_KINDS)))
        low_high = instance.get("range")
        groups.append((name + "/Group_001", _attributes(
            {"minimumDepth": low_high[0] if low_high else None,
             "maximumDepth": low_high[1] if low_high else None},
            _VALUES_KINDS)))
        datasets.append(_depth_dataset(name + "/Group_001/values", instance,
                                       chunk, compress))
    if quality:
        feature = _quality_feature(edition)
        first = instances[0]
        base = "/%s/%s.01" % (feature, feature)
        groups.append(("/" + feature, []))
        groups.append((base, _attributes(_grid_attributes(first, "2.2"),
                                         _INSTANCE_KINDS)))
        groups.append((base + "/Group_001", []))
        members = [("iD", "u", 4)] if edition == "3.0" else [("", "u", 4)]
        datasets.append((base + "/Group_001/values", tuple(first["shape"]),
                         chunk, compress, members,
                         _flat(quality["ids"], "I"), []))
        table = list(quality.get("members", TABLE_MEMBERS))
        datasets.append(("/%s/featureAttributeTable" % feature,
                         (len(quality["rows"]),), 0, 0, table,
                         _table_data(table, quality["rows"]), []))
    path = os.fspath(path)
    with open(path, "wb"):  # the operating system says why it cannot
        pass
    failure = bag._bag.write_s102(path, groups, datasets)
    if failure:
        raise BagError(path, failure)


def _quality_feature(edition: str) -> str:
    return "QualityOfSurvey" if edition == "2.2" \
        else "QualityOfBathymetryCoverage"


def _grid_attributes(instance: Dict[str, Any], edition: str
                     ) -> Dict[str, Any]:
    rows, cols = instance["shape"]
    x, y = instance.get("origin", (0.0, 0.0))
    dx, dy = instance.get("spacing", (1.0, 1.0))
    values = {"gridOriginLongitude": float(x), "gridOriginLatitude": float(y),
              "gridSpacingLongitudinal": float(dx),
              "gridSpacingLatitudinal": float(dy),
              "numPointsLongitudinal": cols, "numPointsLatitudinal": rows,
              "startSequence": "0,0", "numGRP": 1}
    if edition == "3.0" and "vertical_datum" in instance:
        values["verticalDatum"] = instance["vertical_datum"]
    values.update(instance.get("attributes") or {})
    return values


def _depth_dataset(path: str, instance: Dict[str, Any], chunk: int,
                   compress: int) -> tuple:
    if instance.get("declared"):
        return (path, tuple(instance["shape"]), max(chunk, 256), compress,
                [("depth", "f", 4), ("uncertainty", "f", 4)], b"", [])
    depth = _flat(instance["depth"], "f")
    uncertainty = instance.get("uncertainty")
    if uncertainty is None:
        return (path, tuple(instance["shape"]), chunk, compress,
                [("depth", "f", 4)], depth, [])
    # Interleaved: each node's depth, then its uncertainty.
    pairs = array.array("f", bytes(len(depth) * 2))
    pairs[0::2] = array.array("f", depth)
    pairs[1::2] = array.array("f", _flat(uncertainty, "f"))
    return (path, tuple(instance["shape"]), chunk, compress,
            [("depth", "f", 4), ("uncertainty", "f", 4)], pairs.tobytes(),
            [])
