"""The writer of S-102 files for tests and benchmarks (``bathyra.s102.write``):
which groups, attributes and datasets each edition has, handed to the
extension's generic HDF5 writer."""
import array
import os
import struct
from typing import Any, Dict, List, Optional, Sequence, Tuple

from bathyra import bag
from bathyra.errors import BagError

EDITIONS = {"2.1": "INT.IHO.S-102.2.1.0", "2.2": "INT.IHO.S-102.2.2.0",
            "3.0": "INT.IHO.S-102.3.0.0"}


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
    is a (kind, value) pair's, else `kinds`' or guessed from the value."""
    out = []
    for name, value in values.items():
        if value is None:
            continue
        if isinstance(value, tuple):
            kind, value = value
            out.append((name, kind, value))
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
    instance's nodes (or of its "shape", when given), "more_ids" those of
    the instances after it, if any, each over its own; "rows", a dict per
    row of the feature attribute table by member name; "members", (name,
    kind, size) of its members (TABLE_MEMBERS when absent; kinds u, i, b,
    e, f, d, s).  Root
    attributes: `issue_date`, `crs` (EPSG code; 2.1: horizontalDatumValue),
    `bounds` (west, south, east, north), `vertical_datum` (its code),
    `metadata` (2.1: the name of the metadata file beside it), and
    `attributes` for more (None leaves one out).  `chunk` and `compress`
    store the grids in square chunks, deflated.  An attribute given as a
    pair (kind, value) is of that kind (also U: 64-bit unsigned)."""
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
                         {"code": "depth", "name": "depth",
                          "uom.name": "metres",
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
        groups.append(("/" + feature, []))
        members = [("iD", "u", 4)] if edition == "3.0" else [("", "u", 4)]
        grids = [quality["ids"]] + list(quality.get("more_ids", ()))
        for number, (over, ids) in enumerate(zip(instances, grids), 1):
            base = "/%s/%s.%02d" % (feature, feature, number)
            groups.append((base, _attributes(_grid_attributes(over, "2.2"),
                                             _INSTANCE_KINDS)))
            groups.append((base + "/Group_001", []))
            shape = quality.get("shape") if number == 1 else None
            datasets.append((base + "/Group_001/values",
                             tuple(shape or over["shape"]), chunk, compress,
                             members, _flat(ids, "I"), []))
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
