"""The Survey of an S-102 file (bathyra.s102 reads it): the file's own
attributes, the separate metadata file of edition 2.1, and with the grid
the exact depths, the footprint and a Survey per source survey of its
quality table.

Where each field comes from (``sources``):

  S-102 attributes     DRVAL1, DRVAL2 (minimumDepth, maximumDepth of the
                       first instance's Group_001, positive down as
                       stored, when they give a range: numbers, not the
                       no-data depth, the minimum not the deeper), VERDAT and vertical_datum (verticalDatum:
                       the instance's own in 3.0, else the root's),
                       vertical_crs, horizontal_crs (horizontalCRS, or
                       2.1's horizontalDatumValue, an integer EPSG code
                       named by PROJ), bbox
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
import math
import os
from typing import Any, Callable, Dict, List, Optional, Tuple

from bathyra import _survey
from bathyra.s102 import FILL
from bathyra._s102_sources import (ATTRIBUTES, DATE_WORDS, DEPTH_CS,
                                   TABLE, instance_datum, source_surveys,
                                   survey_period)


def _depth_range(instance: Any
                 ) -> Tuple[Optional[Tuple[float, float]], Optional[str]]:
    """The minimumDepth and maximumDepth an instance states, or None and
    why they give no range (None when it states none): not a number, the
    no-data depth, or a minimum deeper than the maximum."""
    low = instance.values_attributes.get("minimumDepth")
    high = instance.values_attributes.get("maximumDepth")
    if not (isinstance(low, (int, float)) and isinstance(high, (int, float))):
        return None, None
    low, high = float(low), float(high)
    if all(math.isfinite(v) and v != FILL for v in (low, high)) and \
            low <= high:
        return (low, high), None
    return None, ("the minimumDepth and maximumDepth of %s give no depth "
                  "range (minimum %r, maximum %r)" % (instance.name, low,
                                                      high))


# The largest EPSG code read (the footprint's reader takes the same).
MAX_CRS_CODE = 2 ** 31 - 1


def _horizontal(contents: Any, values: Dict[str, Any],
                problems: List[Tuple[str, str]]) -> Optional[int]:
    attributes = contents.attributes
    code = attributes.get("horizontalCRS",
                          attributes.get("horizontalDatumValue"))
    if not isinstance(code, int):
        problems.append(("horizontal_crs", "the file states no horizontal "
                         "CRS (horizontalCRS)"))
        return None
    if not 1 <= code <= MAX_CRS_CODE:
        problems.append(("horizontal_crs", "the horizontal CRS %d that the "
                         "file states is no EPSG code: no horizontal CRS"
                         % code))
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
    # Bounds across the antimeridian (west > east): longitudes are taken
    # on from the meridian opposite the box's middle, so that both the box
    # and the grid run on without a break there.
    west, east = bbox[0], bbox[2] + (360.0 if bbox[0] > bbox[2] else 0.0)
    cut = (west + east) / 2.0 - 180.0

    def on(lon: float) -> float:
        return lon + 360.0 if bbox[0] > bbox[2] and lon < cut else lon

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
            xs, ys = [on(p[0]) for p in points], [p[1] for p in points]
            extent = (min(xs), min(ys), max(xs), max(ys))
            margin = 1e-6 + 0.01 * max(east - west, bbox[3] - bbox[1])
    if extent is not None and _outside((west, bbox[1], east, bbox[3]),
                                       (on(extent[0]), extent[1],
                                        on(extent[2]), extent[3]), margin):
        if bbox[0] > bbox[2]:  # shown as longitudes are written
            extent = ((extent[0] + 180.0) % 360.0 - 180.0, extent[1],
                      (extent[2] + 180.0) % 360.0 - 180.0, extent[3])
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
        stated, unusable = _depth_range(first)
        if unusable is not None:
            problems.extend((("DRVAL1", unusable), ("DRVAL2", unusable)))
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
        elif stated is None and unusable is None:
            problems.append(("DRVAL1", "%s states no minimumDepth and "
                             "maximumDepth" % first.name))
        values["vertical_datum"], values["VERDAT"] = instance_datum(
            contents, first, problems)
        datums = {instance_datum(contents, other, [])
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
    surveys, referenced = source_surveys(contents, make, problems)
    if surveys:
        values["source_surveys"] = tuple(surveys)
        sources["source_surveys"] = TABLE
    if metadata is not None:
        _merge_metadata(values, sources, problems, metadata)
    elif metadata_problem:
        problems.append(("metadata", metadata_problem))
    if values.get("SURSTA") is None and values.get("SUREND") is None:
        start, end = survey_period(referenced, problems)
        for name, date in (("SURSTA", start), ("SUREND", end)):
            if date is not None:
                values[name] = date
                sources[name] = TABLE
            else:
                problems.append((name, "the file states no survey %s date "
                                 "(its issue date is not one)"
                                 % DATE_WORDS[name]))
    if values.get("OBJNAM") is None:
        values["OBJNAM"] = os.path.splitext(os.path.basename(
            contents.path))[0]
        sources["OBJNAM"] = "file name"
    order = [field.name for field in dataclasses.fields(make)]
    return make(path=contents.path, problems=problems,
                sources={name: sources[name] for name in order
                         if name in sources}, **values)


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
