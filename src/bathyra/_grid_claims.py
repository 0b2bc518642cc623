"""What a BAG's metadata claims about its grid that a chart compiler must
see when the grid is read: a bounding box that does not hold the grid's
corner points, and a vertical uncertainty whose type is missing or
"unknown".  Each is a problem, (attribute, message), on the file's Survey.
"""
from typing import Any, Dict, List, Tuple

from bathyra import _survey

# A box may be drawn round the nodes' edges and its numbers rounded: a
# corner within one node and this many degrees of it counts as inside.
_ROUNDING = 1e-4


def _box_problem(record: Dict[str, Any]) -> List[Tuple[str, str]]:
    placement, box = record.get("georeferencing"), record.get("bbox")
    if not isinstance(placement, tuple) or box is None:
        return []
    west, south, east, north = box
    if west > east:
        return []  # across the antimeridian: not judged here
    # The grid as it is placed: from its south-west node and resolution
    # (a north-east corner point that disagrees is a problem of its own).
    rows, cols, (x0, y0), _, (dx, dy), crs = placement[:6]
    x1, y1 = x0 + (cols - 1) * dx, y0 + (rows - 1) * dy
    points = _survey.lonlat(crs, ((x0, y0), (x1, y0), (x1, y1), (x0, y1),
                                  (x0 + dx, y0 + dy)))
    if points is None:
        return []
    corners, step = points[:4], points[4]
    lons = [lon for lon, _ in corners]
    lats = [lat for _, lat in corners]
    slack_x = abs(step[0] - corners[0][0]) + _ROUNDING
    slack_y = abs(step[1] - corners[0][1]) + _ROUNDING
    if (min(lons) >= west - slack_x and max(lons) <= east + slack_x
            and min(lats) >= south - slack_y and max(lats) <= north + slack_y):
        return []
    return [("bbox", "the bounding box of the metadata (west %.5f, south "
             "%.5f, east %.5f, north %.5f) does not hold the grid's corner "
             "points (west %.5f, south %.5f, east %.5f, north %.5f)"
             % (west, south, east, north, min(lons), min(lats), max(lons),
                max(lats)))]


def _uncertainty_problem(record: Dict[str, Any]) -> List[Tuple[str, str]]:
    kind = record.get("uncertainty_type")
    if kind is None:
        why = "the metadata does not say what the grid's uncertainty is " \
              "(no vertical uncertainty type)"
    elif kind.strip().lower() == "unknown":
        why = 'the metadata gives the vertical uncertainty type as ' \
              '"unknown": what the grid\'s uncertainty measures is not said'
    else:
        return []
    return [("uncertainty_range", why)]


def grid_claims(record: Dict[str, Any]) -> List[Tuple[str, str]]:
    """The problems of a BAG file's metadata record (a dict of
    ``_survey.parse_all``) about the grid it describes."""
    return _box_problem(record) + _uncertainty_problem(record)
