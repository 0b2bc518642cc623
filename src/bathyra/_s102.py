"""The Survey of an S-102 file (bathyra.s102 reads it): the file's own
attributes, the separate metadata file of edition 2.1, and with the grid
the exact depths, the footprint and a Survey per source survey of its
quality table.

Where each field comes from (``sources``):

  S-102 attributes     DRVAL1, DRVAL2 (minimumDepth, maximumDepth of the
                       first instance's Group_001, positive down as
                       stored), VERDAT and vertical_datum (verticalDatum:
                       the instance's own in 3.0, else the root's),
                       vertical_crs, horizontal_crs (horizontalCRS, or
                       2.1's horizontalDatumValue, named by PROJ), bbox
  metadata             of 2.1, the ISO document MD_<name>.XML beside the
                       file: OBJNAM (its title), SURSTA, SUREND, SURATH,
                       planam and the rest it states that the attributes
                       do not; the file's own attributes win where both
                       state a field
  file name            OBJNAM when no metadata names the dataset
  grid                 with grid=True: DRVAL1, DRVAL2, uncertainty_range,
                       valid_nodes and footprint of the first instance
  S-102 quality table  SURSTA, SUREND from its rows' survey dates (those
                       the cells reference, with the grid); the source
                       surveys

The issue date is when the file was issued, never a survey date.
"""
import dataclasses
import json
import os
from typing import Any, Callable, Dict, List, Optional, Tuple

from bathyra import _survey

ATTRIBUTES = "S-102 attributes"
TABLE = "S-102 quality table"

# The S-100 vertical datum codes 1 to 30 are S-57's VERDAT values.
VERTICAL_DATUMS = (
    "Mean low water springs", "Mean lower low water springs",
    "Mean sea level", "Lowest low water", "Mean low water",
    "Lowest low water springs", "Approximate mean low water springs",
    "Indian spring low water", "Low water springs",
    "Approximate lowest astronomical tide", "Nearly lowest low water",
    "Mean lower low water", "Low water", "Approximate mean low water",
    "Approximate mean lower low water", "Mean high water",
    "Mean high water springs", "High water", "Approximate mean sea level",
    "High water springs", "Mean higher high water",
    "Equinoctial spring low water", "Lowest astronomical tide",
    "Local datum", "International Great Lakes Datum 1985",
    "Mean water level", "Lower low water large tide",
    "Higher high water large tide", "Nearly highest high water",
    "Highest astronomical tide")
# EPSG's vertical coordinate system of depths in metres, positive down.
DEPTH_CS = 6498
# Members of the quality table that are fields of the Survey.
_FIELDS = {"sourceSurveyID": "OBJNAM", "surveyAuthority": "SURATH",
           "dateStart": "SURSTA", "dateEnd": "SUREND"}
_BOOLEANS = frozenset(("fullSeafloorCoverageAchieved", "bathyCoverage",
                       "leastDepthOfDetectedFeaturesMeasured",
                       "significantFeaturesDetected"))
_UNCERTAINTY = frozenset(("uncertaintyFixed", "uncertaintyVariableFactor"))
_DATE_WORDS = {"SURSTA": "start", "SUREND": "end"}


def _datum(code: Any, where: str, problems: List[Tuple[str, str]]
           ) -> Tuple[Optional[str], Optional[int]]:
    """(vertical_datum, VERDAT) of an S-100 vertical datum code."""
    if not isinstance(code, int):
        problems.append(("VERDAT", "%s states no vertical datum" % where))
        return None, None
    if 1 <= code <= len(VERTICAL_DATUMS):
        return VERTICAL_DATUMS[code - 1], code
    problems.append(("VERDAT", "%s states the vertical datum %d, an S-100 "
                     "code without an S-57 VERDAT value" % (where, code)))
    return "S-100 vertical datum %d" % code, None


def _short(member: str) -> str:
    """The S-101 name of a member: its last dotted part
    ("featuresDetected.significantFeaturesDetected")."""
    return member.rsplit(".", 1)[-1]


def _stated(value: Any) -> bool:
    return value != "" and value is not None


def _date(text: str, name: str, problems: List[Tuple[str, str]],
          where: str) -> Optional[str]:
    date, reason = _survey.survey_date(text)
    if date is None:
        problems.append((name, "the survey %s date of %s: %s"
                         % (_DATE_WORDS[name], where, reason)))
    return date


def _period(rows: List[Dict[str, Any]], problems: List[Tuple[str, str]]
            ) -> Tuple[Optional[str], Optional[str]]:
    """The earliest start and the latest end of the rows' survey dates."""
    starts, ends = [], []
    for row in rows:
        for member, value in row.items():
            name = _FIELDS.get(_short(member))
            if name in _DATE_WORDS and _stated(value):
                date = _date(str(value), name, problems,
                             "row %s of the quality table" % row.get("id"))
                if date is not None:
                    (starts if name == "SURSTA" else ends).append(date)
    return (min(starts) if starts else None, max(ends) if ends else None)


def _depth_range(instance: Any) -> Optional[Tuple[float, float]]:
    low = instance.values_attributes.get("minimumDepth")
    high = instance.values_attributes.get("maximumDepth")
    if isinstance(low, (int, float)) and isinstance(high, (int, float)):
        return float(low), float(high)
    return None


def _instance_datum(contents: Any, instance: Any,
                    problems: List[Tuple[str, str]]
                    ) -> Tuple[Optional[str], Optional[int]]:
    code = instance.attributes.get("verticalDatum",
                                   contents.attributes.get("verticalDatum"))
    return _datum(code, instance.name, problems)


def _source_survey(contents: Any, instance: Any, row: Dict[str, Any],
                   cells: Tuple[int, int, Optional[Tuple[float, float]]],
                   make: Callable) -> Any:
    """The Survey of one row of the quality table, over the cells of one
    instance."""
    fields: Dict[str, Any] = {}
    quality: Dict[str, Any] = {}
    problems: List[Tuple[str, str]] = []
    where = "row %s of the quality table" % row.get("id")
    for member, value in row.items():
        short = _short(member)
        if short == "id" or not _stated(value):
            continue
        name = _FIELDS.get(short)
        if name in _DATE_WORDS:
            value = _date(str(value), name, problems, where)
            if value is not None:
                fields[name] = value
        elif name is not None:
            fields[name] = str(value)
        elif short in _UNCERTAINTY:
            quality.setdefault("horizontalPositionUncertainty", {})[
                short] = value
        else:
            quality[short] = bool(value) if short in _BOOLEANS and \
                isinstance(value, int) else value
    sources = {name: TABLE for name in fields}
    count, nodes, depths = cells
    if depths is not None:
        fields["DRVAL1"], fields["DRVAL2"] = depths
        sources.update(DRVAL1="grid", DRVAL2="grid")
    else:
        problems.append(("DRVAL1", "none of the survey's %d cells in %s "
                         "holds a depth" % (count, instance.name)))
    fields["vertical_datum"], fields["VERDAT"] = _instance_datum(
        contents, instance, problems)
    for name in ("vertical_datum", "VERDAT"):
        if fields[name] is not None:
            sources[name] = ATTRIBUTES
    sources["valid_nodes"] = "grid"
    if quality:
        sources["quality"] = TABLE
    row_id = row.get("id")
    outline = (instance.outlines or {}).get(row_id)
    if outline is not None:
        fields["footprint"] = json.loads(outline)
        sources["footprint"] = "grid"
    else:
        why = (instance.outline_problems or {}).get(row_id)
        problems.extend(("footprint", text) for text in (
            (why,) if why else instance.outlines_problems or (
                "the survey's cells hold no depth: no footprint",)))
    if instance.outlines_problems and outline is not None:
        problems.extend(("footprint", text)
                        for text in instance.outlines_problems)
    order = [field.name for field in dataclasses.fields(make)]
    return make(path=contents.path, valid_nodes=nodes,
                quality=quality or None, problems=problems,
                sources={name: sources[name] for name in order
                         if name in sources}, **fields)


def _horizontal(contents: Any, values: Dict[str, Any],
                problems: List[Tuple[str, str]]) -> Optional[int]:
    attributes = contents.attributes
    code = attributes.get("horizontalCRS",
                          attributes.get("horizontalDatumValue"))
    if not isinstance(code, int):
        problems.append(("horizontal_crs", "the file states no horizontal "
                         "CRS (horizontalCRS)"))
        return None
    name = _survey.epsg_names(code)[0]
    if name is None:
        problems.append(("horizontal_crs", "EPSG:%d names no horizontal CRS "
                         "that PROJ knows" % code))
        name = "EPSG:%d" % code
    values["horizontal_crs"] = name
    return code


def _bbox(contents: Any, values: Dict[str, Any]) -> None:
    names = ("westBoundLongitude", "southBoundLatitude",
             "eastBoundLongitude", "northBoundLatitude")
    bounds = [contents.attributes.get(name) for name in names]
    if all(isinstance(value, (int, float)) for value in bounds):
        values["bbox"] = tuple(float(value) for value in bounds)


def _outside(bbox: Tuple[float, ...], extent: Tuple[float, ...],
             margin: float) -> bool:
    west, south, east, north = bbox
    return (extent[0] < west - margin or extent[1] < south - margin
            or extent[2] > east + margin or extent[3] > north + margin)


def _check_bounds(values: Dict[str, Any], first: Any, crs: Optional[int],
                  problems: List[Tuple[str, str]]) -> None:
    """A problem when the bounds do not hold the grid: its extent for a
    grid in degrees (EPSG:4326), else its footprint."""
    bbox = values.get("bbox")
    if bbox is None:
        return
    extent = None
    if crs == 4326 and first is not None and first.shape is not None:
        a = first.attributes
        try:
            x, y = a["gridOriginLongitude"], a["gridOriginLatitude"]
            dx, dy = a["gridSpacingLongitudinal"], a["gridSpacingLatitudinal"]
            rows, cols = first.shape
            extent = (x, y, x + (cols - 1) * dx, y + (rows - 1) * dy)
            margin = max(dx, dy)
        except (KeyError, TypeError):
            extent = None
    elif values.get("footprint") is not None:
        points = _points(values["footprint"]["coordinates"])
        if points:
            xs, ys = [p[0] for p in points], [p[1] for p in points]
            extent = (min(xs), min(ys), max(xs), max(ys))
            margin = 1e-6 + 0.01 * max(bbox[2] - bbox[0], bbox[3] - bbox[1])
    if extent is not None and _outside(bbox, extent, margin):
        problems.append(("bbox", "the bounds of the file (%s) do not hold "
                         "its grid (%s)" % (_box_text(bbox),
                                            _box_text(extent))))


def _points(coordinates: Any) -> List[Tuple[float, float]]:
    if coordinates and isinstance(coordinates[0], (int, float)):
        return [tuple(coordinates[:2])]
    return [point for part in coordinates for point in _points(part)]


def _box_text(box: Tuple[float, ...]) -> str:
    return "west %.6g, south %.6g, east %.6g, north %.6g" % tuple(box)


def survey_of(contents: Any, metadata: Optional[Any],
              metadata_problem: Optional[str], make: Callable,
              differ: Callable) -> Any:
    """The Survey (made with `make`) of `contents` (an s102.S102File), with
    `metadata`, the Survey of 2.1's metadata file (or None, and why in
    `metadata_problem`); `differ` tells two depth ranges apart."""
    problems: List[Tuple[str, str]] = []
    values: Dict[str, Any] = {}
    sources: Dict[str, str] = {}
    instances = contents.instances
    first = instances[0] if instances else None
    # Filed under the fields they cost: the quality's under the source
    # surveys, an instance's under its nodes, the file's under its depths.
    for name, text in contents.problems:
        if name == "quality":
            problems.append(("source_surveys", text))
        elif name:
            problems.append(("valid_nodes", "%s: %s" % (name, text)))
        else:
            problems.extend((("DRVAL1", text), ("DRVAL2", text)))
    if first is not None:
        stated = _depth_range(first)
        if stated is not None:
            values["DRVAL1"], values["DRVAL2"] = stated
            sources.update(DRVAL1=ATTRIBUTES, DRVAL2=ATTRIBUTES)
        if first.depth_range is not None:
            if stated is not None and differ(stated, first.depth_range):
                message = ("the minimumDepth and maximumDepth of %s (%r to "
                           "%r m) differ from the depths of its grid (%r to "
                           "%r m)" % ((first.name,) + stated +
                                      first.depth_range))
                problems.extend((("DRVAL1", message), ("DRVAL2", message)))
            values["DRVAL1"], values["DRVAL2"] = first.depth_range
            sources.update(DRVAL1="grid", DRVAL2="grid")
        elif stated is None:
            problems.append(("DRVAL1", "%s states no minimumDepth and "
                             "maximumDepth" % first.name))
        values["vertical_datum"], values["VERDAT"] = _instance_datum(
            contents, first, problems)
        datums = {_instance_datum(contents, other, [])
                  for other in instances}
        if len(datums) > 1:
            problems.append(("VERDAT", "the file holds %d bathymetry "
                             "instances on %d vertical datums: the depths "
                             "and VERDAT here are those of %s; each source "
                             "survey gives its own per datum"
                             % (len(instances), len(datums), first.name)))
        if values["vertical_datum"] is not None:
            values["vertical_crs"] = values["vertical_datum"] + " depth"
        for name in ("vertical_datum", "VERDAT", "vertical_crs"):
            if values.get(name) is not None:
                sources[name] = ATTRIBUTES
    cs = contents.attributes.get("verticalCS")
    if cs is not None and cs != DEPTH_CS:
        problems.append(("vertical_crs", "the vertical coordinate system "
                         "%s is not depths in metres, positive down (EPSG "
                         "%d): the depths are read as such" % (cs, DEPTH_CS)))
    crs = _horizontal(contents, values, problems)
    _bbox(contents, values)
    for name in ("horizontal_crs", "bbox"):
        if name in values:
            sources[name] = ATTRIBUTES
    if first is not None and first.valid_nodes is not None:
        values["valid_nodes"] = first.valid_nodes
        sources["valid_nodes"] = "grid"
        if first.uncertainty_range is not None:
            values["uncertainty_range"] = first.uncertainty_range
            sources["uncertainty_range"] = "grid"
    if contents.grid_read:
        problems.extend(("footprint", note)
                        for note in contents.footprint_problems)
        if contents.footprint is not None:
            values["footprint"] = json.loads(contents.footprint)
            sources["footprint"] = "grid"
    _check_bounds(values, first, crs, problems)
    surveys, referenced = _source_surveys(contents, make, problems)
    if surveys:
        values["source_surveys"] = tuple(surveys)
        sources["source_surveys"] = TABLE
    if metadata is not None:
        _merge_metadata(values, sources, problems, metadata)
    elif metadata_problem:
        problems.append(("metadata", metadata_problem))
    if values.get("SURSTA") is None and values.get("SUREND") is None:
        start, end = _period(referenced, problems)
        for name, date in (("SURSTA", start), ("SUREND", end)):
            if date is not None:
                values[name] = date
                sources[name] = TABLE
            else:
                problems.append((name, "the file states no survey %s date "
                                 "(its issue date is not one)"
                                 % _DATE_WORDS[name]))
    if values.get("OBJNAM") is None:
        values["OBJNAM"] = os.path.splitext(os.path.basename(
            contents.path))[0]
        sources["OBJNAM"] = "file name"
    order = [field.name for field in dataclasses.fields(make)]
    return make(path=contents.path, problems=problems,
                sources={name: sources[name] for name in order
                         if name in sources}, **values)


def _source_surveys(contents: Any, make: Callable,
                    problems: List[Tuple[str, str]]
                    ) -> Tuple[List[Any], List[Dict[str, Any]]]:
    """The source surveys of every instance's cells, and the table's rows
    that the cells reference (every row when the grid was not read)."""
    rows = {row.get("id"): row for row in contents.table_rows}
    if contents.quality_feature is None:
        return [], []
    if not contents.grid_read:
        problems.append(("source_surveys", "the file's source surveys are "
                         "read with the grid (--grid)"))
        return [], list(contents.table_rows)
    surveys, used, missing = [], set(), set()
    for instance in contents.instances:
        for row_id, cells in sorted((instance.cells or {}).items()):
            if row_id not in rows:
                missing.add(row_id)
                continue
            used.add(row_id)
            surveys.append(_source_survey(contents, instance, rows[row_id],
                                          cells, make))
    if missing:
        problems.append(("source_surveys", "cells reference %s that the "
                         "quality table lacks (%s)" % (
                             _count(len(missing), "row id"), _ids(missing))))
    unused = [row_id for row_id in rows if row_id not in used]
    if unused and any(i.cells is not None for i in contents.instances):
        problems.append(("source_surveys", "%s of the quality table %s "
                         "referenced by no cell (ids %s)" % (
                             _count(len(unused), "row"),
                             "is" if len(unused) == 1 else "are",
                             _ids(unused))))
    return surveys, [rows[row_id] for row_id in sorted(used, key=str)]


def _count(number: int, one: str, many: Optional[str] = None) -> str:
    return "%d %s" % (number, one if number == 1 else many or one + "s")


def _ids(ids: Any) -> str:
    listed = sorted(ids, key=lambda value: (str(type(value)), value))
    text = ", ".join(str(value) for value in listed[:20])
    return text + (", ..." if len(listed) > 20 else "")


def _merge_metadata(values: Dict[str, Any], sources: Dict[str, str],
                    problems: List[Tuple[str, str]], metadata: Any) -> None:
    """The metadata's fields where the file's attributes state none; its
    problems for those fields only."""
    taken = set()
    for name, source in metadata.sources.items():
        value = getattr(metadata, name)
        if values.get(name) is None and value is not None:
            values[name] = value
            sources[name] = "metadata"
            taken.add(name)
    for name in ("platforms", "instruments"):
        if getattr(metadata, name):
            values[name] = getattr(metadata, name)
    stated = set(values)
    problems.extend(problem for problem in metadata.problems
                    if problem[0] not in stated or problem[0] in taken)
