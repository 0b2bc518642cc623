"""The command line's output: the forms of its records (an aligned table,
CSV, JSON lines, GeoJSON), the cells of both kinds of record, and the text
of paths and messages fit for one line."""
import csv
import json
import math
import os

from bathyra import survey
from bathyra._source_surveys import row_names_of

# The record of extract_metadata (--strict) and the S-57 attributes of the
# survey reader.
KEYS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM")
S57_KEYS = survey.S57_FIELDS
TABLE_CELL_WIDTH = 48


def display(text):
    """`text` (a path or a message) fit for one line of valid UTF-8: bytes
    that the file system's encoding could not decode are shown as \\xNN,
    control characters as escapes."""
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    text = text.encode("utf-8", "surrogateescape").decode(
        "utf-8", "backslashreplace")
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() or c == " "
                   else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def display_path(path):
    """A file's name as display() shows it, with each backslash doubled:
    a name that holds "\\xff" stays told apart from one with the byte that
    display() shows as \\xff.  Names without a backslash are as display()
    shows them."""
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    return display(path.replace("\\", "\\\\"))


# The first characters of a cell that a spreadsheet takes for the start of
# a formula; "-" too, unless the cell is a number.
FORMULA_STARTS = ("=", "+", "@", "\t", "\r", "-")


def csv_cell(value):
    """A CSV cell that no spreadsheet runs as a formula: a text starting
    as one gets a leading apostrophe; numbers (-1.5) stay as they are."""
    if not isinstance(value, str) or not value.startswith(FORMULA_STARTS):
        return value
    if value == "-" or value.startswith("-") and is_number(value):
        return value
    return "'" + value


def is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return text[1:2].isdigit() or text[1:2] == "."


def format_value(value):
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    return value


def json_value(value):
    # NaN and infinities are not JSON: such a number is written as null,
    # in whatever list or mapping it stands.
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: json_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_value(v) for v in value]
    return value


def json_text(value):
    """`value` as JSON text: never NaN or Infinity, which JSON lacks."""
    return json.dumps(json_value(value), ensure_ascii=False,
                      allow_nan=False)


def finite_box(bbox):
    """The box, or None when one of its numbers is not finite."""
    if bbox is None or not all(math.isfinite(v) for v in bbox):
        return None
    return bbox


def strict_rows(record):
    """The cells of a record of extract_metadata: for the table and CSV,
    and for JSON."""
    return ({k: format_value(record[k]) for k in KEYS},
            {k: json_value(record[k]) for k in KEYS})


def survey_rows(result):
    """The cells of a Survey: its S-57 attributes, empty where not stated,
    for the table and CSV; every attribute for JSON."""
    stated = result.to_s57()
    return ({k: stated.get(k, "") for k in S57_KEYS}, result.to_dict())


class Writer:
    """An output form: write() takes each record (the file, its cells for
    the table and CSV, its data for JSON), fail() each file that gave
    none, close() ends the output.  `streams`: each record is printed as
    it comes (not collected for the end)."""

    streams = False
    # A row of its own for each source survey (the table and CSV).
    source_rows = False

    def __init__(self, out, keys):
        self.out = out
        self.keys = keys

    def fail(self, path, message):
        pass

    def close(self):
        pass


class TableWriter(Writer):
    """Collects the records and prints aligned columns at the end; long
    values are shortened (the JSON and CSV forms carry them whole)."""

    source_rows = True

    def __init__(self, out, keys):
        super().__init__(out, keys)
        self.rows = []

    def write(self, path, cells, data=None):
        self.rows.append([display_path(path)] + [str(cells[k]) for k in self.keys])

    def close(self):
        if not self.rows:
            return
        rows = [["FILE"] + list(self.keys)]
        for row in self.rows:
            rows.append([row[0]] + [self._cell(cell) for cell in row[1:]])
        widths = [max(len(row[i]) for row in rows)
                  for i in range(len(rows[0]))]
        for row in rows:
            line = "  ".join(cell.ljust(width)
                             for cell, width in zip(row, widths))
            print(line.rstrip(), file=self.out)

    @staticmethod
    def _cell(text):
        text = " ".join(text.split())
        if len(text) > TABLE_CELL_WIDTH:
            text = text[:TABLE_CELL_WIDTH - 3] + "..."
        return text


class JsonWriter(Writer):
    """A line per file: its record, or {"file": ..., "error": ...} for a
    file that gave none, so that the lines list every file."""

    streams = True

    def write(self, path, cells, data):
        line = {"file": display_path(path)}
        line.update(data)
        self._print(line)

    def fail(self, path, message):
        self._print({"file": display_path(path), "error": display(message)})

    def _print(self, line):
        print(json_text(line), file=self.out)
        self.out.flush()


class CsvWriter(Writer):
    streams = True
    source_rows = True

    def __init__(self, out, keys):
        super().__init__(out, keys)
        self.writer = csv.writer(out, lineterminator="\n")
        self.writer.writerow(("file",) + keys)

    def write(self, path, cells, data=None):
        self.writer.writerow([csv_cell(display_path(path))]
                             + [csv_cell(cells[k]) for k in self.keys])


class GeoJsonWriter(Writer):
    """One FeatureCollection, printed at the end: a Feature per file, its
    footprint (from the grid, with --grid) or else its bounding box as the
    geometry (null without either), its S-57 attributes and its file as
    properties; after it, a Feature per source survey of the file (with
    --grid), its footprint as the geometry (null without one), its S-57
    attributes and its row's name ("FILE#source:ID") as properties.  Once
    a footprint is drawn, Polygons are written as one-part MultiPolygons
    when another feature is a MultiPolygon, so that the collection reads
    as one layer of one geometry type."""

    def __init__(self, out, keys):
        super().__init__(out, keys)
        self.features = []
        self.footprints = False

    def write(self, path, cells, data):
        bbox = finite_box(data["bbox"])
        self._add(path, data, box_geometry(bbox), bbox)
        sources = data.get("source_surveys") or ()
        names = row_names_of([source["OBJNAM"] for source in sources])
        for name, source in zip(names, sources):
            self._add(path + name, source, None, None)

    def _add(self, path, data, geometry, bbox):
        """A Feature of `data`, its footprint as the geometry when it has
        one, else `geometry` and `bbox`."""
        properties = {"file": display_path(path)}
        properties.update((k, data[k]) for k in S57_KEYS
                          if data[k] is not None)
        footprint = data.get("footprint")
        if footprint is not None:
            geometry = footprint
            bbox = geometry_bounds(footprint)
            self.footprints = True
        feature = {"type": "Feature", "geometry": geometry,
                   "properties": properties}
        if bbox is not None:
            feature["bbox"] = bbox
        self.features.append(feature)

    def close(self):
        if self.footprints and any(
                (feature["geometry"] or {}).get("type") == "MultiPolygon"
                for feature in self.features):
            for feature in self.features:
                geometry = feature["geometry"]
                if geometry is not None and geometry["type"] == "Polygon":
                    feature["geometry"] = {
                        "type": "MultiPolygon",
                        "coordinates": [geometry["coordinates"]]}
        print(json_text({"type": "FeatureCollection",
                         "features": self.features}), file=self.out)


def geometry_bounds(geometry):
    """(west, south, east, north) of a Polygon or MultiPolygon's outer
    rings, or None when a coordinate is not finite."""
    polygons = geometry["coordinates"]
    if geometry["type"] == "Polygon":
        polygons = [polygons]
    points = [point for polygon in polygons for point in polygon[0]]
    return finite_box([min(p[0] for p in points), min(p[1] for p in points),
                       max(p[0] for p in points), max(p[1] for p in points)])


def box_geometry(bbox):
    """The GeoJSON geometry of a bounding box (west, south, east, north):
    a Polygon, counterclockwise.  A box that crosses the antimeridian
    (west > east) is cut there into a MultiPolygon of its two parts, as
    RFC 7946 (3.1.9) asks, rather than drawn as one polygon the long way
    round the globe; the feature's "bbox" member keeps west > east."""
    if bbox is None:
        return None
    west, south, east, north = bbox

    def ring(left, right):
        return [[left, south], [right, south], [right, north],
                [left, north], [left, south]]

    if west <= east:
        return {"type": "Polygon", "coordinates": [ring(west, east)]}
    return {"type": "MultiPolygon",
            "coordinates": [[ring(west, 180.0)], [ring(-180.0, east)]]}


# The problems that are the data contradicting the metadata (or the file
# contradicting itself), by the attribute they are filed under and how
# their words begin; every problem of the vertical CRS is one too.
CONTRADICTIONS = {
    "DRVAL1": ("the elevation attributes of the BAG file",
               "the depth range in the metadata",
               "the minimumDepth and maximumDepth of"),
    "footprint": ("the grid's north-east corner point",),
    "bbox": ("the bounding box of the metadata", "the bounds of the file"),
    "uncertainty_range": ("the metadata does not say what the grid's",
                          "the metadata gives the vertical uncertainty"),
    "source_surveys": ("cells reference",),
}


def findings(data):
    """What `data` (a Survey's to_dict()) shows that a chart compiler must
    look into before trusting the metadata: its claims that the data
    contradict, an unknown or placeholder vertical CRS, and source
    surveys dated outside the metadata's survey period.  One text each."""
    found = []
    for attribute, message in data["problems"]:
        if attribute == "vertical_crs" or message.startswith(
                CONTRADICTIONS.get(attribute, ())):
            shown = "DRVAL1, DRVAL2" if attribute == "DRVAL1" else attribute
            found.append("%s: %s" % (shown, message))
    start, end = data["SURSTA"], data["SUREND"]
    for source in data.get("source_surveys") or ():
        first, last = source["SURSTA"], source["SUREND"]
        if not (start and end and first and last):
            continue
        # Dates of 4, 6 or 8 digits: a year or a month spans its days.
        if (first.ljust(8, "0") < start.ljust(8, "0")
                or last.ljust(8, "9") > end.ljust(8, "9")):
            found.append(
                "source_surveys: the survey dates of source survey %s (%s "
                "to %s) fall outside the survey period of the metadata (%s "
                "to %s)" % ('"%s"' % source["OBJNAM"] if source["OBJNAM"]
                            else "without an id", first, last, start, end))
    return found


class CheckWriter(Writer):
    """--check: a line per finding of each file ("FILE: finding"), nothing
    for a file without any; `found` counts them."""

    streams = True

    def __init__(self, out, keys):
        super().__init__(out, keys)
        self.found = 0

    def write(self, path, cells, data):
        for finding in findings(data):
            print("%s: %s" % (display_path(path), display(finding)),
                  file=self.out)
            self.found += 1
        self.out.flush()


# The words for where a value came from (Survey.sources).
_SOURCE_WORDS = {
    "metadata": "the metadata",
    "elevation attributes": "the elevation attributes of the BAG file",
    "grid": "the grid",
    "georeferenced metadata": "the georeferenced metadata layers",
}
#: The fields only a pass over the grid gives.
GRID_FIELDS = ("uncertainty_range", "valid_nodes", "footprint",
               "source_surveys")


def _shown_value(value):
    if isinstance(value, dict) and "type" in value:
        return "a %s" % value["type"]  # a geometry
    if isinstance(value, (list, tuple)):
        if value and isinstance(value[0], dict):
            return "%d source survey%s" % (len(value),
                                            "" if len(value) == 1 else "s")
        return ", ".join(str(format_value(item)) for item in value)
    return str(format_value(value))


def why(data, field):
    """In words, where `field` of a Survey (its to_dict()) came from, or
    that the file does not state it, with what the reader met about it."""
    value = data.get(field)
    if value is None or value == [] or value == ():
        text = "%s: not stated" % field
    else:
        source = data.get("sources", {}).get(field)
        text = "%s: %s" % (field, _shown_value(value))
        if source:
            text += ", from %s" % _SOURCE_WORDS.get(source, source)
    said = [message for attribute, message in data["problems"]
            if attribute == field]
    return text + "".join("; " + message for message in said)


class WhyWriter(Writer):
    """--why FIELD: a line for each file ("FILE: FIELD: value, from
    SOURCE; what the reader met"), the field as `why` explains it."""

    streams = True
    field = None

    def write(self, path, cells, data):
        print("%s: %s" % (display_path(path), display(why(data, self.field))),
              file=self.out)
        self.out.flush()


WRITERS = {"check": CheckWriter, "json": JsonWriter, "csv": CsvWriter, "geojson": GeoJsonWriter,
           "table": TableWriter}


def gaps(result):
    """What a Survey lacks and why, on one line ("" when it lacks nothing
    and has no problem): each problem the reader met, attributes with the
    same message together, where attributes that the metadata does not
    state came from, then the S-57 attributes not stated."""
    messages = {}
    for attribute, message in result.problems:
        messages.setdefault(message, []).append(attribute)
    explained = {a for names in messages.values() for a in names}
    if explained & {"DRVAL1", "DRVAL2"}:
        explained |= {"DRVAL1", "DRVAL2"}  # the depth range is one fact
    silent = [k for k in S57_KEYS
              if getattr(result, k) is None and k not in explained]
    parts = ["%s: %s" % (", ".join(names), message)
             for message, names in messages.items()]
    # Where S-57 attributes that the metadata does not state came from.
    came_from = {}
    for name in S57_KEYS:
        source = result.sources.get(name, "metadata")
        if source != "metadata":
            came_from.setdefault(source, []).append(name)
    parts.extend("%s from the %s" % (", ".join(names), source)
                 for source, names in came_from.items())
    if silent:
        parts.append("not in the document: " + ", ".join(silent))
    return "; ".join(parts)


def make_writer(options, out, keys):
    """The writer of the form that the options ask for (the table when
    none)."""
    if getattr(options, "why", None):
        writer = WhyWriter(out, keys)
        writer.field = options.why
        return writer
    for form in ("check", "json", "csv", "geojson"):
        if getattr(options, form):
            return WRITERS[form](out, keys)
    return WRITERS["table"](out, keys)
