"""The source surveys of a BAG 2.0 file: a Survey for each combination of
rows of its georeferenced metadata layers that the nodes holding data
reference (a node's key per layer; key 0: nothing in that layer).

The keys are per node, so the source surveys are read with the grid
(``read_survey(path, grid=True)``, ``--grid``); without it the file's
Survey says so in a problem, and reading stays as cheap as ever.

The members of the layers' tables are read by name (members of other
names are passed over; text that is empty states nothing):

  source_survey_id            OBJNAM
  source_institution          SURATH
  survey_date_start, _end     SURSTA, SUREND (the survey period's date
                              forms; a space may part date and time)
and, in ``quality``:
  data_assessment             dataAssessment
  full_coverage               fullSeafloorCoverageAchieved
  bathy_coverage              bathyCoverage
  feature_least_depth         leastDepthOfDetectedFeaturesMeasured
  significant_features        significantFeaturesDetected
  feature_size                sizeOfFeaturesDetected
  feature_size_var            featureSizeVar
  horizontal_uncert_fixed     horizontalPositionUncertainty:
  horizontal_uncert_var         {uncertaintyFixed, uncertaintyVariableFactor}
  license_name, license_url   licenseName, licenseURL

DRVAL1, DRVAL2 and ``valid_nodes`` are those of the record's own nodes,
``footprint`` the area its nodes of the grid cover (traced with the
file's own footprint, in the same blocks).
"""
import dataclasses
import json
import math
from typing import Any, Callable, Dict, List, Optional, Tuple

from bathyra import _survey

GEOREF = "georeferenced metadata"

# Member name -> field of the Survey, or key of its quality.
_FIELDS = {
    "source_survey_id": "OBJNAM",
    "source_institution": "SURATH",
    "survey_date_start": "SURSTA",
    "survey_date_end": "SUREND",
}
_QUALITY = {
    "data_assessment": "dataAssessment",
    "full_coverage": "fullSeafloorCoverageAchieved",
    "bathy_coverage": "bathyCoverage",
    "feature_least_depth": "leastDepthOfDetectedFeaturesMeasured",
    "significant_features": "significantFeaturesDetected",
    "feature_size": "sizeOfFeaturesDetected",
    "feature_size_var": "featureSizeVar",
    "license_name": "licenseName",
    "license_url": "licenseURL",
}
_UNCERTAINTY = {
    "horizontal_uncert_fixed": "uncertaintyFixed",
    "horizontal_uncert_var": "uncertaintyVariableFactor",
}
_DATE_WORDS = {"SURSTA": "start", "SUREND": "end"}
_UNTRACED = ("the grid was read without its place: no footprint",)


def _stated(value: Any) -> bool:
    if isinstance(value, str):
        return value != ""
    if isinstance(value, float):
        return math.isfinite(value)
    return True


def _source_survey(record: Any, path: Optional[str],
                   bag_version: Optional[str], make: Callable,
                   untraced: Tuple[str, ...]) -> Any:
    """The Survey of one GeorefRecord; `untraced`: why it has no footprint
    when the grid pass traced none (the file's own reasons)."""
    fields: Dict[str, Any] = {}
    quality: Dict[str, Any] = {}
    problems: List[Tuple[str, str]] = []

    def put(target: Dict[str, Any], key: str, value: Any, name: str) -> None:
        if key not in target:
            target[key] = value
        elif target[key] != value:
            problems.append((name, "the georeferenced metadata layers state "
                             "both %r and %r; the first is kept"
                             % (target[key], value)))

    for layer in sorted(record.values):
        for member, value in record.values[layer].items():
            if not _stated(value):
                continue
            if member in _FIELDS:
                name = _FIELDS[member]
                if name in _DATE_WORDS:
                    date, reason = _survey.survey_date(str(value))
                    if date is None:
                        problems.append((name, "the survey %s date of the "
                                         "georeferenced metadata: %s"
                                         % (_DATE_WORDS[name], reason)))
                        continue
                    value = date
                put(fields, name, str(value), name)
            elif member in _QUALITY:
                put(quality, _QUALITY[member], value, "quality")
            elif member in _UNCERTAINTY:
                put(quality.setdefault("horizontalPositionUncertainty", {}),
                    _UNCERTAINTY[member], value, "quality")
    sources = {name: GEOREF for name in fields}
    low, high = record.grid_range
    fields["DRVAL1"], fields["DRVAL2"] = -high + 0.0, -low + 0.0
    sources.update(DRVAL1="grid", DRVAL2="grid", valid_nodes="grid")
    if quality:
        sources["quality"] = GEOREF
    if record.footprint is not None:
        fields["footprint"] = json.loads(record.footprint)
        sources["footprint"] = "grid"
    problems.extend(("footprint", message) for message in
                    record.footprint_problems
                    or (() if record.footprint is not None else untraced))
    order = [field.name for field in dataclasses.fields(make)]
    sources = {name: sources[name] for name in order if name in sources}
    return make(path=path, bag_version=bag_version,
                valid_nodes=record.valid_nodes, quality=quality or None,
                problems=problems, sources=sources, **fields)


def add_source_surveys(values: Dict[str, Any], elevation: Any,
                       path: Optional[str], bag_version: Optional[str],
                       make: Callable) -> None:
    """Adds to `values` (the fields of the file's Survey) the source
    surveys of `elevation.georef` (made with `make`, the Survey class),
    and its problems."""
    georef = elevation.georef
    problems = list(values["problems"])
    if not georef.read:
        if elevation.valid_nodes is None and not any(
                not problem.startswith("the elevation attributes")
                for problem in elevation.problems):
            problems.append(("source_surveys", "the file's source surveys "
                             "(georeferenced metadata layers) are read with "
                             "the grid (--grid)"))
        else:
            problems.append(("source_surveys", "the file's source surveys "
                             "could not be read: the grid was not read to "
                             "its end"))
    problems.extend(("source_surveys", problem)
                    for problem in georef.problems)
    values["problems"] = problems
    untraced = elevation.footprint_problems or _UNTRACED
    surveys = tuple(_source_survey(record, path, bag_version, make,
                                   untraced)
                    for record in georef.records)
    if surveys:
        values["source_surveys"] = surveys
        values["sources"]["source_surveys"] = GEOREF


def row_names(surveys: Tuple[Any, ...]) -> List[str]:
    """The names of the command line's rows of source surveys, after the
    file's: "#source:ID" (its OBJNAM), "#source:ID/N" for the Nth of an ID
    that several have, "#source:N" (its place) for one without."""
    return row_names_of([survey.OBJNAM for survey in surveys])


def row_names_of(ids: List[Optional[str]]) -> List[str]:
    """row_names of the surveys of these OBJNAMs (None: none)."""
    counts: Dict[str, int] = {}
    for name in ids:
        if name is not None:
            counts[name] = counts.get(name, 0) + 1
    seen: Dict[str, int] = {}
    names = []
    for number, name in enumerate(ids, 1):
        if name is None:
            names.append("#source:%d" % number)
            continue
        seen[name] = seen.get(name, 0) + 1
        names.append("#source:%s" % name if counts[name] == 1
                     else "#source:%s/%d" % (name, seen[name]))
    return names
