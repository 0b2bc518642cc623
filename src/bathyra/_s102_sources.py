"""The source surveys of an S-102 file: a Survey per row of its quality
table that cells of a bathymetry instance reference (one per instance:
per vertical datum), with the depths and the footprint of its own cells,
and the names and codes both the file's Survey and these use.

The table's members are read by the last part of their name (a dotted
name ends in the S-101 name): ``sourceSurveyID`` is OBJNAM,
``surveyAuthority`` SURATH, ``dateStart``/``dateEnd`` SURSTA/SUREND; every
other member but ``id`` goes into ``quality`` under its S-101 name (the
booleans as bools, ``uncertaintyFixed`` and ``uncertaintyVariableFactor``
under ``horizontalPositionUncertainty``).
"""
import dataclasses
import json
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
DATE_WORDS = {"SURSTA": "start", "SUREND": "end"}

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
                         % (DATE_WORDS[name], where, reason)))
    return date


def survey_period(rows: List[Dict[str, Any]],
                  problems: List[Tuple[str, str]]
                  ) -> Tuple[Optional[str], Optional[str]]:
    """The earliest start and the latest end of the rows' survey dates."""
    starts, ends = [], []
    for row in rows:
        for member, value in row.items():
            name = _FIELDS.get(_short(member))
            if name in DATE_WORDS and _stated(value):
                date = _date(str(value), name, problems,
                             "row %s of the quality table" % row.get("id"))
                if date is not None:
                    (starts if name == "SURSTA" else ends).append(date)
    return (min(starts) if starts else None, max(ends) if ends else None)



def instance_datum(contents: Any, instance: Any,
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
        if name in DATE_WORDS:
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
    fields["vertical_datum"], fields["VERDAT"] = instance_datum(
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



def source_surveys(contents: Any, make: Callable,
                    problems: List[Tuple[str, str]]
                    ) -> Tuple[List[Any], List[Dict[str, Any]]]:
    """The source surveys of every instance's cells, and the table's rows
    that the cells reference (every row when the grid, or the cells of an
    instance, were not read)."""
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
    if not contents.instances or any(i.cells is None
                                     for i in contents.instances):
        # Cells not read may reference any row: the period is the table's.
        return surveys, list(contents.table_rows)
    unused = [row_id for row_id in rows if row_id not in used]
    if unused:
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
