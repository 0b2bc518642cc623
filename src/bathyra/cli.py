"""Command line: chart attributes of ISO 19139 survey metadata files.

    python -m bathyra [--json | --csv | --geojson] [-j N] [--max-size BYTES]
                      PATH...
    python -m bathyra --strict [--json | --csv] [--max-size BYTES] PATH...

Each PATH is an ISO 19139 metadata file (``.xml``), a BAG file (``.bag``),
a directory that stands for both kinds of file below it, or ``-`` for one
document on standard input.  The survey reader (bathyra.survey) reads every
file, in N processes with ``-j N``, and prints one row per file with every
S-57 attribute, empty where the file does not state it; a file with such
gaps gets one line on stderr that says what is missing and why.
``--strict`` prints the record of extract_metadata instead, and its
failures.  A file that cannot be read, and a folder that cannot be read,
get one line on stderr and the others go on.  File names that are not
valid in the file system's encoding are shown with backslash escapes;
messages stay on one line.

Exit status: 0 when every file was read (its record may have gaps; with
--strict: gave a record), 1 when any file or folder could not be read or
none was found, 2 for usage errors, 3 when the output could not be written
(one line on stderr says why), and 141 (as after SIGPIPE) when the reader
of the output went away, which ends the run quietly.
"""
import argparse
import csv
import errno
import json
import math
import multiprocessing
import os
import sys

from bathyra import __version__, bag, survey
from bathyra.document import read_document
from bathyra.errors import BathyraError, FileError
from bathyra.explain import explain

# The record of extract_metadata (--strict) and the S-57 attributes of the
# survey reader.
KEYS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM")
S57_KEYS = survey.S57_FIELDS
STDIN = "-"
PROGRESS_THRESHOLD = 20
TABLE_CELL_WIDTH = 48

SUFFIXES = (".xml", ".bag")

EXIT_OUTPUT_FAILED = 3
EXIT_BROKEN_PIPE = 128 + 13  # as a process ended by SIGPIPE


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


class UsageError(Exception):
    pass


def expand_paths(paths, report):
    """Files in the order given; a directory gives its *.xml and *.bag
    files below it, sorted.  A folder that cannot be read is reported with
    `report(path, message)`.  A missing path is returned as is and fails
    when read."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = []

            def walk_error(error):
                report(error.filename or path,
                       "cannot read this folder: %s"
                       % (error.strerror or error))

            for folder, dirs, names in os.walk(path, onerror=walk_error):
                dirs.sort()
                found.extend(os.path.join(folder, name) for name in names
                             if name.lower().endswith(SUFFIXES))
            files.extend(sorted(found))
        else:
            files.append(path)
    return files


def is_bag(path):
    return path.lower().endswith(".bag")


def read_raster(path, limit=bag.DEFAULT_LIMIT):
    """The Document for extract_metadata: a BAG file's metadata (read in
    the helper process, so that a damaged file costs only its own record),
    or the document of a metadata file."""
    if is_bag(path):
        return bag.open(path, limit=limit)
    return read_document(path, limit)


class ExtractionFailed(BathyraError):
    """extract_metadata failed on a document: what it means for the
    document, then the exception."""

    def __init__(self, error, raster):
        super().__init__(error, raster)
        self.error = error
        self.raster = raster

    def __str__(self):
        return "%s (%s: %s)" % (explain(self.error, self.raster),
                                type(self.error).__name__, self.error)


def extract_file(path, limit=bag.DEFAULT_LIMIT):
    # Imported here: the survey reader does without this extension.
    from bathyra import metadata_parser
    raster = read_raster(path, limit)
    try:
        return metadata_parser.extract_metadata(raster)
    except Exception as error:
        raise ExtractionFailed(error, raster) from error


def format_value(value):
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    return value


def json_value(value):
    # NaN is not JSON: a depth that is not a number is written as null.
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


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


class TableWriter:
    """Collects the records and prints aligned columns at the end; long
    values are shortened (the JSON and CSV forms carry them whole)."""

    def __init__(self, out, keys):
        self.out = out
        self.keys = keys
        self.rows = []

    def write(self, path, cells, data=None):
        self.rows.append([display(path)] + [str(cells[k]) for k in self.keys])

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


class JsonWriter:
    def __init__(self, out, keys):
        self.out = out

    def write(self, path, cells, data):
        line = {"file": display(path)}
        line.update(data)
        print(json.dumps(line, ensure_ascii=False), file=self.out)
        self.out.flush()

    def close(self):
        pass


class CsvWriter:
    def __init__(self, out, keys):
        self.keys = keys
        self.writer = csv.writer(out, lineterminator="\n")
        self.writer.writerow(("file",) + keys)

    def write(self, path, cells, data=None):
        self.writer.writerow([display(path)] + [cells[k] for k in self.keys])

    def close(self):
        pass


class GeoJsonWriter:
    """One FeatureCollection, printed at the end: a Feature per file, its
    bounding box as the geometry (null without one), its S-57 attributes
    and its file as properties."""

    def __init__(self, out, keys):
        self.out = out
        self.features = []

    def write(self, path, cells, data):
        properties = {"file": display(path)}
        properties.update((k, data[k]) for k in S57_KEYS
                          if data[k] is not None)
        feature = {"type": "Feature", "geometry": box_geometry(data["bbox"]),
                   "properties": properties}
        if data["bbox"] is not None:
            feature["bbox"] = data["bbox"]
        self.features.append(feature)

    def close(self):
        print(json.dumps({"type": "FeatureCollection",
                          "features": self.features}, ensure_ascii=False),
              file=self.out)


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


WRITERS = {"json": JsonWriter, "csv": CsvWriter, "geojson": GeoJsonWriter,
           "table": TableWriter}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python -m bathyra",
        description="Print the S-57 survey attributes (SURSTA, SUREND, "
                    "DRVAL1, DRVAL2, planam, OBJNAM, SURATH, VERDAT) that "
                    "ISO 19139 survey metadata files and BAG files state.")
    parser.add_argument("--version", action="version",
                        version="bathyra " + __version__)
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true",
                      help="one JSON object per line: every attribute, "
                           "with the file")
    form.add_argument("--csv", action="store_true",
                      help="CSV with a header line")
    form.add_argument("--geojson", action="store_true",
                      help="a GeoJSON FeatureCollection: each file's "
                           "bounding box with its S-57 attributes")
    parser.add_argument("--strict", action="store_true",
                        help="print the six-entry record of extract_metadata "
                             "and its failures instead (not with --geojson "
                             "or --jobs)")
    parser.add_argument("-j", "--jobs", type=int, metavar="N",
                        help="read the files in N processes (default: the "
                             "number of CPUs); the output keeps the order "
                             "of the files")
    parser.add_argument("--max-size", type=int, default=bag.DEFAULT_LIMIT,
                        metavar="BYTES",
                        help="the largest metadata document read, in bytes "
                             "(default %(default)s)")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="an ISO 19139 metadata file (.xml), a BAG file "
                             "(.bag), a directory standing for the *.xml "
                             "and *.bag files below it, or - for one "
                             "document on standard input")
    return parser.parse_args(argv)


def usage_problem(options):
    """Why the options cannot go together, or None."""
    if options.max_size < 0:
        return "--max-size must not be negative"
    if options.jobs is not None and options.jobs < 1:
        return "--jobs must be at least 1"
    if options.strict and options.geojson:
        return "--geojson needs the survey reader: not with --strict"
    if options.strict and options.jobs is not None:
        return "--jobs needs the survey reader: not with --strict"
    if not options.strict and options.paths.count(STDIN) > 1:
        return "standard input (-) can be read only once"
    return None


class Failures:
    """The stderr lines of failed files and folders, each on one line."""

    def __init__(self, progress):
        self.count = 0
        self.progress = progress

    def report(self, path, message):
        self.count += 1
        self.note(path, message)

    def note(self, path, message):
        """A line on stderr that is no failure (a record's gaps)."""
        line = "%s: %s" % (display(path), display(message))
        print(("\n" if self.progress else "") + line, file=sys.stderr)


def failure_message(path, error):
    """The message of a failed file, without the file's name."""
    if isinstance(error, bag.BagError):
        return "BagError: " + error.reason
    if isinstance(error, FileError):
        return error.reason
    if isinstance(error, OSError):
        return str(error.strerror or error)
    return str(error)


def gaps(result):
    """What a Survey lacks and why, on one line ("" when it lacks nothing
    and has no problem): the S-57 attributes not stated, then each problem
    the reader met, attributes with the same message together."""
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
    if silent:
        parts.append("not in the document: " + ", ".join(silent))
    return "; ".join(parts)


def read_one(task):
    """The outcome of one file or document, fit to cross processes:
    (Survey, None), or (None, the reason it could not be read)."""
    kind, source, limit = task
    try:
        if kind == STDIN:
            return survey.parse_survey(survey.trimmed(source)), None
        return survey.read_survey(source, limit=limit), None
    except survey.SurveyError as error:
        return None, error.message
    except Exception as error:  # a fault of the reader: one line, go on
        return None, "the reader failed on this file (%s: %s)" % (
            type(error).__name__, error)


def outcomes(tasks, jobs):
    """The outcome of each task, in order; in `jobs` processes when there
    is more than one task to share."""
    jobs = min(jobs or os.cpu_count() or 1, len(tasks))
    if jobs <= 1:
        for task in tasks:
            yield read_one(task)
        return
    with multiprocessing.get_context().Pool(jobs) as pool:
        # The pool ends (terminate) when the caller stops early, as on a
        # broken pipe.
        yield from pool.imap(read_one, tasks)


def make_writer(options, out, keys):
    for form in ("json", "csv", "geojson"):
        if getattr(options, form):
            return WRITERS[form](out, keys)
    return WRITERS["table"](out, keys)


def run(options, out):
    failures = Failures(progress=False)
    files = expand_paths(options.paths, failures.report)
    writer = make_writer(options, out, KEYS)
    failures.progress = show_progress = (
        sys.stderr.isatty() and len(files) > PROGRESS_THRESHOLD)
    for number, path in enumerate(files, 1):
        if show_progress:
            sys.stderr.write("\r[%d/%d] " % (number, len(files)))
            sys.stderr.flush()
        try:
            record = extract_file(path, options.max_size)
        except Exception as error:
            failures.report(path, failure_message(path, error))
            continue
        writer.write(path, *strict_rows(record))
    return finish(writer, out, files, failures, show_progress)


def finish(writer, out, files, failures, show_progress):
    """Ends a run: the output complete, and the exit status."""
    if show_progress:
        sys.stderr.write("\n")
    writer.close()
    out.flush()
    if not files:
        print("no metadata files found", file=sys.stderr)
        return 1
    return 1 if failures.count else 0


def run_surveys(options, out):
    failures = Failures(progress=False)
    files = expand_paths(options.paths, failures.report)
    tasks = [("file", path, options.max_size) for path in files]
    refused = {}
    if STDIN in files:
        # Read here, before any process starts: one document, parsed
        # wherever its turn comes.
        index = files.index(STDIN)
        stream = getattr(sys.stdin, "buffer", None)
        try:
            if stream is None:
                raise OSError(errno.EBADF, "standard input is closed")
            document = stream.read(options.max_size + 1)
        except OSError as error:
            refused[index] = "cannot read standard input: %s" % (
                error.strerror or error)
        else:
            if len(document) > options.max_size:
                refused[index] = ("larger than the limit of %d bytes (see "
                                  "--max-size)" % options.max_size)
            tasks[index] = (STDIN, document, None)
    for index in refused:
        tasks[index] = (STDIN, b"", None)
    writer = make_writer(options, out, S57_KEYS)
    failures.progress = show_progress = (
        sys.stderr.isatty() and len(files) > PROGRESS_THRESHOLD)
    results = outcomes(tasks, options.jobs)
    try:
        for number, (path, (result, reason)) in enumerate(
                zip(files, results)):
            if show_progress:
                sys.stderr.write("\r[%d/%d] " % (number + 1, len(files)))
                sys.stderr.flush()
            if number in refused:
                result, reason = None, refused[number]
            if result is None:
                failures.report(path, reason)
                continue
            missing = gaps(result)
            if missing:
                failures.note(path, missing)
            writer.write(path, *survey_rows(result))
    finally:
        results.close()  # stops the processes at once on a broken pipe
    return finish(writer, out, files, failures, show_progress)


def main(argv=None):
    options = parse_arguments(argv)
    problem = usage_problem(options)
    if problem:
        print("python -m bathyra: " + problem, file=sys.stderr)
        return 2
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    out = sys.stdout
    if out is None:
        print("python -m bathyra: cannot write the output: standard output "
              "is closed", file=sys.stderr)
        return EXIT_OUTPUT_FAILED
    try:
        return (run if options.strict else run_surveys)(options, out)
    except BrokenPipeError:
        return broken_pipe()
    except OSError as error:
        if error.errno == errno.EPIPE:
            return broken_pipe()
        print("python -m bathyra: cannot write the output: %s"
              % display(error.strerror or str(error)), file=sys.stderr)
        return EXIT_OUTPUT_FAILED


def broken_pipe():
    """The reader of the output is gone: end quietly.  Python would report
    the failed flush of stdout again at exit; point it at nothing."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass
    return EXIT_BROKEN_PIPE
