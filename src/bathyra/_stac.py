"""Surveys as a static STAC catalogue: a STAC 1.0.0 Item per survey and a
Collection over them, written with the standard library.

    FOLDER/collection.json          the Collection: the surveys' extent in
                                    space and time, a link to each Item
    FOLDER/ITEM/ITEM.json           an Item: a GeoJSON Feature whose
                                    geometry is the survey's footprint (else
                                    its bounding box), on WGS 84

An Item's properties hold the survey period (``start_datetime``,
``end_datetime``; a coarse date covers every day of it, so ``datetime``
is null), the horizontal reference as the projection extension's
``proj:code`` (v2.0.0, "EPSG:26919") where it is an EPSG code, and the
S-57 attributes under the ``bathy:`` prefix: ``bathy:SURSTA``,
``bathy:SUREND``, ``bathy:DRVAL1``, ``bathy:DRVAL2``, ``bathy:VERDAT``,
``bathy:SURATH``, ``bathy:OBJNAM``, ``bathy:planam`` and ``bathy:TECSOU``
(bathyra._meta_objects), as the survey reader gives them, those the file
does not state left out.  The asset ``data`` is the file read.  STAC asks
an Item for a time, so a survey whose file states no date gets no Item
(write() returns the names of those left out).  Links are relative, so
the folder can move as a whole.  Writing the folder again removes the
Item folders of the earlier export that the new Collection does not list
(only folders that hold nothing but such an Item).
"""
import json
import math
import os
import re

from bathyra._catalog_schema import iso_date, stored_path
from bathyra._meta_objects import tecsou
from bathyra.cli_output import box_geometry
from bathyra.errors import CatalogError

STAC_VERSION = "1.0.0"
PROJECTION = "https://stac-extensions.github.io/projection/v2.0.0/schema.json"
COLLECTION_ID = "bathyra-surveys"
# The S-57 attributes an Item carries, under "bathy:".
ATTRIBUTES = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "VERDAT", "SURATH",
              "OBJNAM", "planam", "TECSOU")
_MEDIA_TYPES = ((".bag", "application/x-hdf5"), (".h5", "application/x-hdf5"),
                (".xml", "application/xml"))


def _finite(value):
    """`value` with every non-finite number (NaN, infinities) as None."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    return value


def _moment(text, end):
    day = iso_date(text, end)
    if day is None:
        return None
    return day + ("T23:59:59Z" if end else "T00:00:00Z")


def _positions(geometry):
    """Every (longitude, latitude) of a Polygon or MultiPolygon."""
    polygons = geometry["coordinates"]
    if geometry["type"] == "Polygon":
        polygons = [polygons]
    for polygon in polygons:
        for ring in polygon:
            for position in ring:
                yield position[0], position[1]


def _shape(survey):
    """(geometry, bbox) of a Survey: its footprint and the footprint's
    extent, else its box (west > east across the antimeridian) and that
    box.  A footprint as this package writes it never crosses the
    antimeridian, so its extent is the least and greatest of its
    positions."""
    if survey.footprint:
        points = [p for p in _positions(survey.footprint)
                  if math.isfinite(p[0]) and math.isfinite(p[1])]
        bbox = None
        if points:
            bbox = [min(p[0] for p in points), min(p[1] for p in points),
                    max(p[0] for p in points), max(p[1] for p in points)]
        return survey.footprint, bbox
    bbox = survey.bbox
    if bbox is None or not all(math.isfinite(v) for v in bbox):
        return None, None
    return box_geometry(bbox), list(bbox)


def _identifier(name, taken):
    """A name of its own, fit for a folder, for the Item of `name`: the
    basename of the path, with the record number of "PATH#N" (a file of
    several surveys) after a "-".  A "#" elsewhere belongs to the path."""
    record = re.fullmatch(r"(.*)#(\d+)", name, re.DOTALL)
    path = record.group(1) if record else name
    # Every character but these (a "/" among them) is replaced.
    stem = re.sub(r"[^A-Za-z0-9._-]+", "_", os.path.basename(path))
    if stem in ("", ".", ".."):
        stem = "survey"
    if record:
        stem += "-" + record.group(2)
    identifier, number = stem, 1
    while identifier in taken:
        number += 1
        identifier = "%s-%d" % (stem, number)
    taken.add(identifier)
    return identifier


def item(identifier, survey):
    """The Item (a dict) of a Survey, or None when it states no date."""
    first, last = survey.SURSTA, survey.SUREND
    start = _moment(first, False) or _moment(last, False)
    end = _moment(last, True) or _moment(first, True)
    if start is None:
        return None
    if start > end:
        # A start stated after the end: the earlier date is the start.
        start, end = _moment(last, False), _moment(first, True)
    geometry, bbox = _shape(survey)
    values = {name: _finite(getattr(survey, name, None))
              for name in ATTRIBUTES}
    values["TECSOU"] = tecsou(survey.instruments)
    properties = {"datetime": None, "start_datetime": start,
                  "end_datetime": end}
    if survey.OBJNAM:
        properties["title"] = survey.OBJNAM
    crs = survey.horizontal_crs or ""
    if re.fullmatch(r"EPSG:\d+", crs):
        properties["proj:code"] = crs
    properties.update(("bathy:" + name, value)
                      for name, value in values.items() if value is not None)
    # The file as the catalogue names it (a name in another encoding than
    # UTF-8 with its bytes as \xNN).
    path = stored_path(survey.path or "")
    media = next((kind for suffix, kind in _MEDIA_TYPES
                  if path.lower().endswith(suffix)), None)
    asset = {"href": path, "title": os.path.basename(path),
             "roles": ["data"]}
    if media:
        asset["type"] = media
    extensions = [PROJECTION] if any(key.startswith("proj:")
                                     for key in properties) else []
    found = {"type": "Feature", "stac_version": STAC_VERSION,
             "stac_extensions": extensions, "id": identifier,
             "geometry": geometry, "properties": properties,
             "links": [{"rel": rel, "href": "../collection.json",
                        "type": "application/json"}
                       for rel in ("collection", "parent", "root")],
             "assets": {"data": asset} if path else {},
             "collection": COLLECTION_ID}
    if bbox is not None:
        found["bbox"] = bbox
    return _finite(found)


def _extent(items):
    boxes = [entry["bbox"] for entry in items if "bbox" in entry]
    spatial = [[min(b[0] for b in boxes), min(b[1] for b in boxes),
                max(b[2] for b in boxes), max(b[3] for b in boxes)]
               if boxes else [-180.0, -90.0, 180.0, 90.0]]
    if any(b[0] > b[2] for b in boxes):
        # A box across the antimeridian: the extent goes round the globe.
        spatial[0][0], spatial[0][2] = -180.0, 180.0
    starts = [entry["properties"]["start_datetime"] for entry in items]
    ends = [entry["properties"]["end_datetime"] for entry in items]
    return {"spatial": {"bbox": spatial},
            "temporal": {"interval": [[min(starts) if starts else None,
                                       max(ends) if ends else None]]}}


def _dump(path, value, indent=None):
    with open(path, "w", encoding="utf-8") as stream:
        json.dump(value, stream, ensure_ascii=False, allow_nan=False,
                  indent=indent)
        stream.write("\n")


def _own_item(path, name):
    """Whether the folder `path` (named `name`) is plainly an Item folder
    of an export of this module: nothing in it but the regular file
    NAME.json, a Feature of this module's Collection with that id."""
    member = os.path.join(path, name + ".json")
    try:
        if (os.path.islink(path) or not os.path.isdir(path)
                or os.listdir(path) != [name + ".json"]
                or os.path.islink(member) or not os.path.isfile(member)):
            return False
        with open(member, encoding="utf-8") as stream:
            found = json.load(stream)
    except (OSError, ValueError, RecursionError):
        return False
    return (isinstance(found, dict) and found.get("type") == "Feature"
            and found.get("collection") == COLLECTION_ID
            and found.get("id") == name)


def _remove_stale(folder, kept):
    """Removes the Item folders of an earlier export that are not among
    `kept` (the ids the Collection lists); anything else stays."""
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name not in kept and _own_item(path, name):
            os.remove(os.path.join(path, name + ".json"))
            os.rmdir(path)


def write(folder, surveys, description="Hydrographic surveys"):
    """Writes the Collection and an Item for each (name, Survey) of
    `surveys` below `folder` (made when missing); returns the names of
    the surveys left out for stating no date.  CatalogError when the
    folder cannot be written."""
    try:
        return _write(folder, surveys, description)
    except OSError as error:
        raise CatalogError(folder, "cannot write the STAC folder: %s" % (
            error.strerror or error)) from None


def _write(folder, surveys, description):
    os.makedirs(folder, exist_ok=True)
    taken, items, undated = set(), [], []
    for name, survey in surveys:
        entry = item(_identifier(name, taken), survey)
        if entry is None:
            undated.append(name)
            continue
        os.makedirs(os.path.join(folder, entry["id"]), exist_ok=True)
        _dump(os.path.join(folder, entry["id"], entry["id"] + ".json"),
              entry)
        items.append(entry)
    collection = {
        "type": "Collection", "stac_version": STAC_VERSION,
        "stac_extensions": [], "id": COLLECTION_ID,
        "description": description, "license": "various",
        "extent": _extent(items),
        "links": [{"rel": "root", "href": "./collection.json",
                   "type": "application/json"}] + [
            {"rel": "item", "href": "./%s/%s.json" % (entry["id"],
                                                      entry["id"]),
             "type": "application/geo+json"} for entry in items]}
    _dump(os.path.join(folder, "collection.json"), _finite(collection), 1)
    # Once the Collection no longer links them, the Items of surveys that
    # left the catalogue go.
    _remove_stale(folder, {entry["id"] for entry in items})
    return undated
