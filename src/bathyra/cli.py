"""Command line: chart attributes of ISO 19139 survey metadata files.

    python -m bathyra [--json | --csv] [--max-size BYTES] PATH...

Each PATH is an ISO 19139 metadata file (``.xml``), a BAG file (``.bag``),
or a directory that stands for both kinds of file below it.  One record is
printed per file; a file that fails, and a folder that cannot be read, get
one line on stderr and the others go on.  File names that are not valid in
the file system's encoding are shown with backslash escapes; messages stay
on one line.

Exit status: 0 when every file gave a record, 1 when any file or folder
failed or none was found, 2 for usage errors, 3 when the output could not
be written (one line on stderr says why), and 141 (as after SIGPIPE) when
the reader of the output went away, which ends the run quietly.
"""
import argparse
import csv
import errno
import json
import math
import os
import stat
import sys

from bathyra import __version__, bag, metadata_parser
from bathyra.explain import explain

KEYS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM")
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


class Survey:
    """The argument of extract_metadata: carries the document."""

    def __init__(self, document):
        self.iso19139_xml = document


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


class NotRegular(Exception):
    """A path that names no regular file: a FIFO would block the run, a
    device could be read without end."""


def check_regular(path):
    """Raises OSError for a missing or unreadable path, NotRegular for
    anything but a regular file."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise NotRegular("not a regular file")


def read_document(path, limit):
    """The document of a metadata file, read without following it into a
    device or FIFO, and at most `limit` bytes long.  A document copied out
    of a BAG file may end in NUL bytes; they are dropped."""
    check_regular(path)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(
        os, "O_BINARY", 0)
    fd = os.open(path, flags)
    with open(fd, "rb") as stream:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegular("not a regular file")
        document = stream.read(limit + 1)
    if len(document) > limit:
        raise NotRegular("larger than the limit of %d bytes (see "
                         "--max-size)" % limit)
    return document.rstrip(b"\0")


def read_survey(path, limit=bag.DEFAULT_LIMIT):
    """The argument for extract_metadata: a BAG file's metadata (read in
    the helper process, so that a damaged file costs only its own record),
    or the document of a metadata file."""
    if is_bag(path):
        return bag.open(path, limit=limit)
    return Survey(read_document(path, limit))


class ExtractionFailed(Exception):
    """extract_metadata failed on a document: what it means for the
    document, then the exception."""

    def __init__(self, error, survey):
        super().__init__(error)
        self.error = error
        self.survey = survey

    def __str__(self):
        return "%s (%s: %s)" % (explain(self.error, self.survey),
                                type(self.error).__name__, self.error)


def extract_file(path, limit=bag.DEFAULT_LIMIT):
    survey = read_survey(path, limit)
    try:
        return metadata_parser.extract_metadata(survey)
    except Exception as error:
        raise ExtractionFailed(error, survey) from error


def format_value(value):
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    return value


def json_value(value):
    # NaN is not JSON: a depth that is not a number is written as null.
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


class TableWriter:
    """Collects the records and prints aligned columns at the end; long
    values are shortened (the JSON and CSV forms carry them whole)."""

    def __init__(self, out):
        self.out = out
        self.rows = []

    def write(self, path, record):
        self.rows.append([display(path)] + [str(format_value(record[k]))
                                   for k in KEYS])

    def close(self):
        if not self.rows:
            return
        rows = [["FILE"] + list(KEYS)]
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
    def __init__(self, out):
        self.out = out

    def write(self, path, record):
        line = {"file": display(path)}
        line.update((k, json_value(record[k])) for k in KEYS)
        print(json.dumps(line, ensure_ascii=False), file=self.out)
        self.out.flush()

    def close(self):
        pass


class CsvWriter:
    def __init__(self, out):
        self.writer = csv.writer(out, lineterminator="\n")
        self.writer.writerow(("file",) + KEYS)

    def write(self, path, record):
        self.writer.writerow([display(path)] +
                             [format_value(record[k]) for k in KEYS])

    def close(self):
        pass


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python -m bathyra",
        description="Print the S-57 survey attributes (SURSTA, SUREND, "
                    "DRVAL1, DRVAL2, planam, OBJNAM) read from ISO 19139 "
                    "survey metadata files and BAG files.")
    parser.add_argument("--version", action="version",
                        version="bathyra " + __version__)
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true",
                      help="one JSON object per line")
    form.add_argument("--csv", action="store_true",
                      help="CSV with a header line")
    parser.add_argument("--max-size", type=int, default=bag.DEFAULT_LIMIT,
                        metavar="BYTES",
                        help="the largest metadata document read, in bytes "
                             "(default %(default)s)")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="an ISO 19139 metadata file (.xml), a BAG file "
                             "(.bag), or a directory standing for the *.xml "
                             "and *.bag files below it")
    return parser.parse_args(argv)


class Failures:
    """The stderr lines of failed files and folders, each on one line."""

    def __init__(self, progress):
        self.count = 0
        self.progress = progress

    def report(self, path, message):
        self.count += 1
        line = "%s: %s" % (display(path), display(message))
        print(("\n" if self.progress else "") + line, file=sys.stderr)


def failure_message(path, error):
    """The message of a failed file, without the file's name."""
    if isinstance(error, bag.BagError):
        # Its message names the file already.
        text = str(error)
        prefix = os.fsdecode(path) + ": "
        return "BagError: " + (text[len(prefix):] if text.startswith(prefix)
                               else text)
    if isinstance(error, OSError):
        return str(error.strerror or error)
    return str(error)


def run(options, out):
    failures = Failures(progress=False)
    files = expand_paths(options.paths, failures.report)
    if options.json:
        writer = JsonWriter(out)
    elif options.csv:
        writer = CsvWriter(out)
    else:
        writer = TableWriter(out)
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
        writer.write(path, record)
    if show_progress:
        sys.stderr.write("\n")
    writer.close()
    out.flush()
    if not files:
        print("no metadata files found", file=sys.stderr)
        return 1
    return 1 if failures.count else 0


def main(argv=None):
    options = parse_arguments(argv)
    if options.max_size < 0:
        print("python -m bathyra: --max-size must not be negative",
              file=sys.stderr)
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
        return run(options, out)
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
