"""The queries of the survey catalogue: the surveys that match every
condition given, read through the layer's spatial index and an OGR SQL
filter of the others, and each row (with its source surveys) turned back
into a Survey, so that they print in the command line's own forms."""
import json
import math
import os
import re
from typing import Any, List, Optional, Sequence, Tuple

from bathyra import _catalog_schema as schema
from bathyra._catalog_store import (SQL_DRIVERS, Store, is_file_destination,
                                    load_module)
from bathyra.errors import CatalogError

def _date_filter(text, end):
    """A date of --since/--until ('YYYY', 'YYYY-MM', 'YYYY-MM-DD' or
    digits only) as 'YYYY-MM-DD': its first day, or its last (`end`)."""
    digits = text.replace("-", "")
    date = schema.iso_date(digits, end=end)
    if date is None:
        raise ValueError("%r is no date (YYYY, YYYY-MM or YYYY-MM-DD)" % text)
    return date


def where_clause(since: Optional[str] = None, until: Optional[str] = None,
                 deeper_than: Optional[float] = None,
                 shallower_than: Optional[float] = None,
                 authority: Optional[str] = None) -> str:
    """The OGR SQL filter of the query's conditions: a survey that ends on
    or after `since`, starts on or before `until`, reaches deeper than
    `deeper_than` metres, shallower than `shallower_than`, and whose
    authority holds `authority` (case aside for ASCII letters, as SQL's
    LIKE goes; query_catalog compares the authority itself, whatever the
    letters)."""
    for name, depth in (("deeper_than", deeper_than),
                        ("shallower_than", shallower_than)):
        if depth is not None and not math.isfinite(float(depth)):
            raise ValueError("%s takes a depth in metres, not %r"
                             % (name.replace("_", "-"), depth))
    terms = []
    if since is not None:
        terms.append('"SUREND_date" >= %s'
                     % schema.quoted(_date_filter(since, end=False)))
    if until is not None:
        terms.append('"SURSTA_date" <= %s'
                     % schema.quoted(_date_filter(until, end=True)))
    if deeper_than is not None:
        terms.append('"DRVAL2" > %r' % float(deeper_than))
    if shallower_than is not None:
        terms.append('"DRVAL1" < %r' % float(shallower_than))
    if authority is not None:
        pattern = re.sub(r"([\\%_])", r"\\\1", authority)
        terms.append('"SURATH" LIKE %s ESCAPE \'\\\''
                     % schema.quoted("%" + pattern + "%"))
    return " AND ".join(terms)


_QUERY_COLUMNS = tuple(name for name, _ in schema.SURVEY_COLUMNS)
_SOURCE_NAMES = tuple(name for name, _ in schema.SOURCE_COLUMNS)


def query_catalog(catalogue: str, *,
                  bbox: Optional[Sequence[float]] = None,
                  since: Optional[str] = None, until: Optional[str] = None,
                  deeper_than: Optional[float] = None,
                  shallower_than: Optional[float] = None,
                  authority: Optional[str] = None
                  ) -> List[Tuple[str, Any]]:
    """The surveys of the catalogue that match every condition given: a
    list of (name, Survey), the name the file's path, or "PATH#N" for the
    Nth record of a file that holds several.  `bbox` (west, south, east,
    north) goes through the layer's spatial index; see where_clause for
    the others."""
    boxes = query_boxes(bbox)
    where = where_clause(since, until, deeper_than, shallower_than)
    matches = _matcher(since, until, deeper_than,
                       shallower_than, authority)
    load_module()
    if is_file_destination(catalogue) and not os.path.exists(catalogue):
        raise CatalogError(catalogue, "no such catalogue")
    store = Store(catalogue, "read", names=("surveys",))
    try:
        # An export (FlatGeobuf) is read whole, and filtered here.
        sql = store.driver in SQL_DRIVERS
        found = {}
        for box in boxes:
            for values in store.dataset.read(
                    store.layers["surveys"], _QUERY_COLUMNS, box=box,
                    where=where if sql else "", geometry=True):
                row = dict(zip(_QUERY_COLUMNS + (None,), values))
                if matches(row, sql):
                    found[row["file_path"], row["record"]] = row
        rows = [found[key] for key in sorted(found)]
        sources = _source_surveys(store, [
            row["file_path"] for row in rows if row["source_survey_count"]])
    finally:
        store.close()
    return [_rebuilt(row, sources) for row in rows]


def _matcher(since, until, deeper_than, shallower_than, authority):
    """matches(row, filtered): whether a surveys row meets the conditions
    that SQL did not check (all of them unless `filtered`).  The
    authority is compared here always: SQL's LIKE knows the case of ASCII
    letters only, or (PostgreSQL) none."""
    first = _date_filter(since, end=False) if since is not None else None
    last = _date_filter(until, end=True) if until is not None else None
    needle = authority.casefold() if authority is not None else None

    def matches(row, filtered):
        if needle is not None and needle not in (row["SURATH"]
                                                 or "").casefold():
            return False
        if filtered:
            return True
        return ((first is None or (row["SUREND_date"] or "") >= first)
                and (last is None or "" < (row["SURSTA_date"] or "") <= last)
                and (deeper_than is None or (row["DRVAL2"] is not None
                                             and row["DRVAL2"] > deeper_than))
                and (shallower_than is None
                     or (row["DRVAL1"] is not None
                         and row["DRVAL1"] < shallower_than)))
    return matches


def query_boxes(bbox):
    """The boxes that the spatial index is read with for --bbox (west,
    south, east, north): none for no box, two for one that crosses the
    antimeridian (west > east), one of each side.  ValueError for a box
    that is not four finite numbers with south at or below north."""
    if bbox is None:
        return [None]
    try:
        west, south, east, north = (float(value) for value in bbox)
    except (TypeError, ValueError):
        raise ValueError("a box is four numbers: west south east north "
                         "(degrees)") from None
    if not all(math.isfinite(v) for v in (west, south, east, north)):
        raise ValueError("a box is four numbers: west south east north "
                         "(degrees)")
    if south > north:
        raise ValueError("the box's south (%g) is north of its north (%g)"
                         % (south, north))
    if west > east:
        return [(west, south, 180.0, north), (-180.0, south, east, north)]
    return [(west, south, east, north)]


# A filter names at most this many files.
_FILES_PER_FILTER = 200


def _source_surveys(store, paths):
    """The source surveys of the files `paths`, by (file, record): lists of
    rows, in their order.  A catalogue without the layer (an export) has
    none."""
    found = {}
    if not paths:
        return found
    try:
        layer = store.dataset.layer("source_surveys", True,
                                    schema.SOURCE_COLUMNS)
    except CatalogError:
        return found
    for start in range(0, len(paths), _FILES_PER_FILTER):
        where = '"file_path" IN (%s)' % ", ".join(
            schema.quoted(path)
            for path in paths[start:start + _FILES_PER_FILTER])
        for values in store.dataset.read(layer, _SOURCE_NAMES, where=where,
                                         geometry=True):
            row = dict(zip(_SOURCE_NAMES + (None,), values))
            found.setdefault((row["file_path"], row["record"]),
                             []).append(row)
    for rows in found.values():
        rows.sort(key=lambda row: row["source"])
    return found


def _loaded(row, name, default):
    return json.loads(row[name]) if row.get(name) else default


def _footprint(geometry):
    """The stored footprint as the reader gave it: the tracer's Polygon
    is stored as a MultiPolygon of one part (it gives a MultiPolygon only
    of several)."""
    shape = json.loads(geometry)
    if shape["type"] == "MultiPolygon" and len(shape["coordinates"]) == 1:
        shape = {"type": "Polygon", "coordinates": shape["coordinates"][0]}
    return shape


def _rebuilt(row, sources):
    """(name, Survey) of a row of `surveys` (its geometry under None) and
    the source survey rows of its file's records."""
    from bathyra.survey import Survey
    bbox = tuple(row[k] for k in ("west", "south", "east", "north"))
    uncertainty = (row["uncertainty_min"], row["uncertainty_max"])
    geometry = row[None]
    survey = Survey(
        SURSTA=row["SURSTA"], SUREND=row["SUREND"], DRVAL1=row["DRVAL1"],
        DRVAL2=row["DRVAL2"], vertical_crs=row["vertical_crs"],
        vertical_datum=row["vertical_datum"], VERDAT=row["VERDAT"],
        OBJNAM=row["OBJNAM"], platforms=_loaded(row, "platforms", ()),
        instruments=_loaded(row, "instruments", ()), planam=row["planam"],
        SURATH=row["SURATH"],
        bbox=None if None in bbox else bbox,
        horizontal_crs=row["horizontal_crs"],
        problems=_loaded(row, "problems", ()), path=row["file_path"],
        bag_version=row["bag_version"],
        uncertainty_range=None if None in uncertainty else uncertainty,
        valid_nodes=row["valid_nodes"],
        footprint=(_footprint(geometry)
                   if geometry and row["geometry_source"] == "footprint"
                   else None),
        sources=_loaded(row, "sources", {}),
        quality=_loaded(row, "quality", None),
        source_surveys=tuple(
            Survey(OBJNAM=source["OBJNAM"], SURATH=source["SURATH"],
                   SURSTA=source["SURSTA"], SUREND=source["SUREND"],
                   DRVAL1=source["DRVAL1"], DRVAL2=source["DRVAL2"],
                   vertical_datum=source["vertical_datum"],
                   VERDAT=source["VERDAT"],
                   valid_nodes=source["valid_nodes"],
                   footprint=(_footprint(source[None]) if source[None]
                              else None),
                   problems=_loaded(source, "problems", ()),
                   path=row["file_path"], bag_version=row["bag_version"],
                   sources=_loaded(source, "sources", {}),
                   quality=_loaded(source, "quality", None))
            for source in sources.get((row["file_path"], row["record"]),
                                      ())))
    name = row["file_path"]
    if (row["records"] or 1) > 1:
        name = "%s#%d" % (name, row["record"])
    return name, survey
