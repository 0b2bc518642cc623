"""The layers of the survey catalogue: their columns and types, the rows
made of a Survey and of a file, the S-101 names beside the S-57
acronyms, and the indexes.

    surveys         a feature per metadata record of each file read (one
                    for most files): every Survey field in a typed column,
                    the file's path, size, modification time, content
                    hash, format and version, and when it was read; the
                    geometry is the footprint where the grid gave one,
                    else the bounding box (``geometry_source`` says which)
    source_surveys  a feature per source survey of a BAG 2.0 or S-102
                    file (read with the grid), keyed by its file's path,
                    with its vertical datum, its quality under the S-101
                    names, and its footprint as the geometry
    failures        a row per file that could not be read, with the reason
    s101_names      the S-101 name of each S-57 attribute of ``surveys``

Dates are kept as written (``SURSTA``: 'YYYYMMDD', 'YYYYMM' or 'YYYY') and
as dates (``SURSTA_date``, ``SUREND_date``): a coarse start is its first
day, a coarse end its last, so that a period matches every day it covers.
``TECSOU`` is the technique of sounding that the instruments name
(bathyra._meta_objects), an S-57 list such as '1,3'.
Lists and mappings (platforms, problems, sources, quality) are JSON text.
"""
import calendar
import datetime
import json
import math
import os
import time

from bathyra._meta_objects import tecsou
from bathyra.cli_output import box_geometry

# (column, kind) of each layer; the kinds are those of bathyra._catalog.
FILE_COLUMNS = (
    ("file_path", "text"), ("file_size", "integer"),
    ("file_mtime_ns", "integer"), ("file_modified", "datetime"),
    ("file_hash", "text"), ("file_format", "text"),
    ("format_version", "text"), ("read_at", "datetime"),
    ("grid_read", "integer"),
)
SURVEY_COLUMNS = FILE_COLUMNS + (
    ("record", "integer"), ("records", "integer"),
    ("SURSTA", "text"), ("SUREND", "text"),
    ("SURSTA_date", "date"), ("SUREND_date", "date"),
    ("DRVAL1", "real"), ("DRVAL2", "real"), ("VERDAT", "integer"),
    ("OBJNAM", "text"), ("planam", "text"), ("SURATH", "text"),
    ("vertical_crs", "text"), ("vertical_datum", "text"),
    ("platforms", "text"), ("instruments", "text"),
    ("west", "real"), ("south", "real"), ("east", "real"), ("north", "real"),
    ("horizontal_crs", "text"), ("bag_version", "text"),
    ("uncertainty_min", "real"), ("uncertainty_max", "real"),
    ("valid_nodes", "integer"), ("source_survey_count", "integer"),
    ("geometry_source", "text"),
    ("problems", "text"), ("sources", "text"), ("quality", "text"),
    ("TECSOU", "text"),
)
# The quality of a source survey under its S-101 names, typed.
QUALITY_COLUMNS = (
    ("dataAssessment", "integer"),
    ("fullSeafloorCoverageAchieved", "integer"),
    ("bathyCoverage", "integer"),
    ("leastDepthOfDetectedFeaturesMeasured", "integer"),
    ("significantFeaturesDetected", "integer"),
    ("sizeOfFeaturesDetected", "real"), ("featureSizeVar", "real"),
    ("uncertaintyFixed", "real"), ("uncertaintyVariableFactor", "real"),
    ("licenseName", "text"), ("licenseURL", "text"),
)
SOURCE_COLUMNS = (
    ("file_path", "text"), ("record", "integer"), ("source", "integer"),
    ("OBJNAM", "text"), ("SURATH", "text"),
    ("SURSTA", "text"), ("SUREND", "text"),
    ("SURSTA_date", "date"), ("SUREND_date", "date"),
    ("DRVAL1", "real"), ("DRVAL2", "real"), ("valid_nodes", "integer"),
    ("vertical_datum", "text"), ("VERDAT", "integer"),
) + QUALITY_COLUMNS + (("quality", "text"), ("problems", "text"),
                     ("sources", "text"))
FAILURE_COLUMNS = FILE_COLUMNS + (("reason", "text"),)
NAME_COLUMNS = (("s57", "text"), ("s101", "text"), ("meaning", "text"))

# (layer, has a geometry, columns)
LAYERS = (
    ("surveys", True, SURVEY_COLUMNS),
    ("source_surveys", True, SOURCE_COLUMNS),
    ("failures", False, FAILURE_COLUMNS),
    ("s101_names", False, NAME_COLUMNS),
)

# The S-57 attributes of `surveys` and their S-101 names.
S101_NAMES = (
    ("SURSTA_date", "surveyDateRange_dateStart", "survey start date"),
    ("SUREND_date", "surveyDateRange_dateEnd", "survey end date"),
    ("DRVAL1", "depthRangeMinimumValue", "shallowest depth, metres"),
    ("DRVAL2", "depthRangeMaximumValue", "deepest depth, metres"),
    ("SURATH", "surveyAuthority", "survey authority"),
    ("VERDAT", "verticalDatum", "vertical datum, S-57 code"),
    ("OBJNAM", "featureName", "the dataset's name"),
)
S101_VIEW = "surveys_s101"

# The attribute indexes, for the key comparison and the queries.
INDEXES = (
    ("surveys", "file_path"), ("surveys", "SURSTA_date"),
    ("surveys", "SUREND_date"), ("surveys", "DRVAL1"),
    ("surveys", "DRVAL2"), ("source_surveys", "file_path"),
    ("failures", "file_path"),
)


def iso_date(text, end=False):
    """A survey date ('YYYYMMDD', 'YYYYMM', 'YYYY') as 'YYYY-MM-DD': its
    first day, or (`end`) its last; None for other texts."""
    if (not text or len(text) not in (4, 6, 8)
            or not all("0" <= c <= "9" for c in text)):
        return None
    year = int(text[:4])
    month = int(text[4:6]) if len(text) > 4 else (12 if end else 1)
    try:
        if len(text) == 8:
            day = int(text[6:8])
        else:
            day = calendar.monthrange(year, month)[1] if end else 1
        return datetime.date(year, month, day).isoformat()
    except ValueError:
        return None


def timestamp(seconds):
    """A moment as ISO 8601 text in UTC."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


# One encoder for every row: json.dumps with options makes one a call.
_ENCODE = json.JSONEncoder(ensure_ascii=False, allow_nan=False,
                           default=str).encode


def _json(value):
    return _ENCODE(value) if value not in (None, (), [], {}) else None


def _number(value):
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        value = float(value)
        return value if math.isfinite(value) else None
    return None


def typed(value, kind):
    """`value` as the column's kind takes it, or None when it is of
    another kind (the JSON columns keep it)."""
    if value is None:
        return None
    if kind == "integer":
        if isinstance(value, bool):
            return int(value)
        return value if isinstance(value, int) else None
    if kind == "real":
        return _number(value)
    return value if isinstance(value, str) else None


def stored_path(path):
    """The path as the catalogue stores it, UTF-8 text: a name that the
    file system holds in another encoding (bytes that are no UTF-8, which
    Python keeps as lone surrogates) gets those bytes as \\xNN, the same
    on every run, so that the file is known again."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path).decode("utf-8", "backslashreplace")
    return path


def file_values(info):
    """The file's columns (FILE_COLUMNS) of `info`, a FileInfo."""
    modified = (None if info.mtime_ns is None
                else timestamp(info.mtime_ns / 1e9))
    return (stored_path(info.path), info.size, info.mtime_ns, modified,
            info.digest,
            info.kind, info.version, timestamp(info.read_at),
            int(info.grid))


def survey_row(info, data, record, records):
    """The values (SURVEY_COLUMNS) and GeoJSON geometry of a record: a
    Survey's to_dict() `data`, its number `record` of `records`."""
    bbox = data["bbox"]
    finite = bbox is not None and all(_number(v) is not None for v in bbox)
    uncertainty = data["uncertainty_range"] or (None, None)
    geometry, source = None, None
    if data.get("footprint"):
        geometry, source = data["footprint"], "footprint"
    elif finite:
        geometry, source = box_geometry(bbox), "box"
    values = file_values(info) + (
        record, records, data["SURSTA"], data["SUREND"],
        iso_date(data["SURSTA"]), iso_date(data["SUREND"], end=True),
        _number(data["DRVAL1"]), _number(data["DRVAL2"]), data["VERDAT"],
        data["OBJNAM"], data["planam"], data["SURATH"],
        data["vertical_crs"], data["vertical_datum"],
        _json(data["platforms"]), _json(data["instruments"]),
        *(tuple(bbox) if finite else (None,) * 4),
        data["horizontal_crs"], data["bag_version"],
        _number(uncertainty[0]), _number(uncertainty[1]),
        data["valid_nodes"], len(data["source_surveys"] or ()), source,
        _json(data["problems"]), _json(data["sources"]),
        _json(data["quality"]), tecsou(data["instruments"]))
    return values, (json.dumps(geometry) if geometry else None)


def source_row(path, record, number, data):
    """The values (SOURCE_COLUMNS) and GeoJSON geometry (its footprint) of
    the `number`th source survey (a Survey's to_dict()) of a record."""
    quality = data.get("quality") or {}
    flat = dict(quality)
    flat.update(quality.get("horizontalPositionUncertainty") or {})
    return (path, record, number, data["OBJNAM"], data["SURATH"],
            data["SURSTA"], data["SUREND"], iso_date(data["SURSTA"]),
            iso_date(data["SUREND"], end=True), _number(data["DRVAL1"]),
            _number(data["DRVAL2"]), data["valid_nodes"],
            data["vertical_datum"], data["VERDAT"],
            *(typed(flat.get(name), kind) for name, kind in QUALITY_COLUMNS),
            _json(quality), _json(data["problems"]),
            _json(data["sources"])), (json.dumps(data["footprint"])
                                      if data.get("footprint") else None)


def quoted(text):
    """`text` as an SQL string literal."""
    return "'%s'" % text.replace("'", "''")


def in_scope(path, given):
    """Whether the stored `path` is below one of the absolute paths
    `given` (a file itself, or a folder and what it holds)."""
    return any(path == root or path.startswith(root.rstrip(os.sep) + os.sep)
               for root in given)
