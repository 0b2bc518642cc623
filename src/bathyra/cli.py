"""Command line: chart attributes of ISO 19139 survey metadata files.

    bathyra [--json | --csv | --geojson | --check | --why FIELD] [-j N] [-q]
            [--grid]
            [--max-size BYTES] PATH...
    bathyra --strict [--json | --csv] [-q] [--max-size BYTES] PATH...
    bathyra catalog PATH... [--to CATALOG] ...     (cli_catalog)
    bathyra query CATALOG [--bbox W S E N] ...     (cli_catalog)

(``python -m bathyra`` is the same command, and its messages name it so.)
Each PATH is an ISO 19139 metadata file (``.xml``), a BAG file (``.bag``),
an S-102 file (HDF5, recognised by its content, usually ``.h5``), a
directory that stands for those files below it (of its ``*.h5`` files,
those that are HDF5), or ``-`` for one document on standard input.  The survey reader (bathyra.survey) reads
every file and prints one row per file with every S-57 attribute, empty
where the file does not state it (``--grid``: each BAG file's grid is
read too, for the exact depth range, the uncertainty and the count of
nodes); with ``-j N``, N processes (at most one per CPU) read the files,
taken in chunks, and the rows keep the order of the files (see cli_jobs: a process that dies costs only the file that
ended it).
``--check`` prints only what contradicts the metadata, a line each, and
exits 1 when there is any (cli_output.findings); ``--why FIELD`` a line
per file saying where that field came from or why it is not stated
(cli_output.why).  ``--strict`` prints the
record of extract_metadata instead.  Both kinds of
reading go through one loop over the outcomes of the files: a record, or
the reason why there is none.

On stderr, each on one line: "PATH: not read: WHY" for a file that gives
no record (with ``--json`` it also gets a line {"file", "error"} in the
output, so that the lines list every file); "PATH: gaps: WHAT AND WHY" for
a record that lacks attributes (not with ``-q``); "PATH: cannot read this
folder: WHY".  The other files go on.  A run over more than one file ends
with a count ("bathyra: 35 files: 32 read (29 with gaps), 3 not read";
not with ``-q``); on a terminal, a run over more than 20 files shows a
counter on one line, cleared before any other line.  File names that are
not valid in the file system's encoding are shown with backslash escapes,
and a backslash of a name doubled.

Exit status: 0 when every file was read (its record may have gaps; with
--strict: gave a record), 1 when any file or folder could not be read or
none was found, 2 for usage errors (argparse's usage line and the
reason), 3 when the output could not be written (one line on stderr says
why), 130 (as after SIGINT) on Ctrl-C, with one line on stderr, and 141
(as after SIGPIPE) when the reader of the output went away, which ends the
run quietly.
"""
import argparse
import collections
import errno
import os
import sys

from bathyra import __version__, bag, s102, survey
from bathyra.cli_jobs import outcomes, stop_bag_helper
from bathyra.cli_output import (GRID_FIELDS, KEYS, S57_KEYS, display,
                                display_path, gaps, make_writer, strict_rows,
                                survey_rows)
from bathyra._source_surveys import row_names
from bathyra.document import Document, read_document, unpadded
from bathyra.errors import BathyraError, FileError
from bathyra.explain import explain

STDIN = "-"
REFUSED = "refused"  # the task of a document that could not be read
PROGRESS_THRESHOLD = 20  # files; fewer are read before one would look

SUFFIXES = (".xml", ".bag")
# Files of this name in a folder are read when they are HDF5 (S-102).
HDF5_SUFFIX = ".h5"

# The largest --max-size: what a BAG file's helper can be given (4 GiB).
MAX_SIZE = getattr(bag, "MAX_LIMIT", 0xFFFFFFFE)

EXIT_OUTPUT_FAILED = 3
EXIT_INTERRUPTED = 128 + 2  # as a process ended by SIGINT
EXIT_BROKEN_PIPE = 128 + 13  # as a process ended by SIGPIPE


def expand_paths(paths, report):
    """Files in the order given; a directory gives its *.xml and *.bag
    files below it, and its *.h5 files that are HDF5, sorted.  A folder that cannot be read is reported with
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
                             if name.lower().endswith(SUFFIXES)
                             or (name.lower().endswith(HDF5_SUFFIX)
                                 and s102.is_hdf5(os.path.join(folder,
                                                               name))))
            files.extend(sorted(found))
        else:
            files.append(path)
    return files


def is_bag(path):
    return path.lower().endswith(".bag")


def read_raster(path, limit=bag.DEFAULT_LIMIT):
    """The Document for extract_metadata: a BAG file's metadata (read in
    the helper process, so that a damaged file costs only its own record),
    the metadata file that an S-102 file of edition 2.1 names, or the
    document of a metadata file."""
    if is_bag(path):
        return bag.open(path, limit=limit)
    if s102.is_hdf5(path):
        return s102_document(path, limit)
    return read_document(path, limit)


def s102_document(path, limit):
    """The metadata document of an S-102 file: the ISO file beside it that
    an edition 2.1 file names (later editions carry none); a BAG file of
    another name is read as one."""
    try:
        contents = s102.read(path, limit=limit)
    except s102.NotS102 as error:
        if error.is_bag:
            return bag.open(path, limit=limit)
        raise FileError(path, error.reason) from None
    named = contents.attributes.get("metadata")
    if not isinstance(named, str) or not named:
        raise FileError(path, "an S-102 file of edition %s, which names no "
                        "metadata file (the survey reader reads its "
                        "attributes)" % contents.attributes.get(
                            "productSpecification", "?"))
    beside = os.path.join(os.path.dirname(os.fsdecode(path)),
                          os.path.basename(named))
    document = read_document(beside, limit)
    return Document(path, document.iso19139_xml, None)


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
    return extract_document(read_raster(path, limit))


def extract_document(raster):
    # Imported here: the survey reader does without this extension.
    from bathyra import metadata_parser
    raster = transcoded(raster)
    try:
        return metadata_parser.extract_metadata(raster)
    except Exception as error:
        raise ExtractionFailed(error, raster) from error


def transcoded(raster):
    """The raster itself, or a copy whose document is in UTF-8 when the
    XML parser cannot read the encoding it declares (Shift_JIS, Big5...),
    or has its trailing NULs set right.
    A document whose encoding is no text encoding, or whose bytes are not
    text in it, raises SurveyError."""
    xml = raster.iso19139_xml
    if not isinstance(xml, (bytes, bytearray, memoryview)):
        return raster
    # A UTF-16 or UTF-32 document whose last character lost its NUL bytes
    # with the padding of a BAG file gets them back.
    xml = unpadded(bytes(xml))
    copy = survey.as_utf8(xml)
    if copy is None:
        copy = xml
        if copy == raster.iso19139_xml:
            return raster
    return Document(raster.path, copy, raster.bag_version)


def program_name():
    """The command as it was given: "python -m bathyra" when the package
    runs as the main module, else "bathyra" (the installed command)."""
    spec = getattr(sys.modules.get("__main__"), "__spec__", None)
    if spec is not None and spec.name == "bathyra.__main__":
        return "python -m bathyra"
    return "bathyra"


def parse_arguments(argv, prog):
    """The options; a usage error ends the program (status 2) with
    argparse's usage line and the reason."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Print the S-57 survey attributes (SURSTA, SUREND, "
                    "DRVAL1, DRVAL2, planam, OBJNAM, SURATH, VERDAT) that "
                    "ISO 19139 survey metadata files and BAG files state.",
        epilog="The survey catalogue: %s catalog PATH... --to CATALOG "
               "writes the surveys to a GeoPackage (or PostGIS) and keeps "
               "it up to date; %s query CATALOG finds surveys in it (see "
               "their --help)." % (prog, prog))
    parser.add_argument("--version", action="version",
                        version="bathyra " + __version__)
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true",
                      help="one JSON object per line: every attribute, "
                           "with the file; for a file that could not be "
                           "read, the file and the error")
    form.add_argument("--csv", action="store_true",
                      help="CSV with a header line")
    form.add_argument("--geojson", action="store_true",
                      help="a GeoJSON FeatureCollection: each file's "
                           "bounding box with its S-57 attributes")
    form.add_argument("--check", action="store_true",
                      help="only what contradicts the metadata, a line "
                           "each: depth ranges the grid does not hold, "
                           "corner points that do not fit the grid, an "
                           "unknown vertical CRS, source surveys dated "
                           "outside the survey period (reads the grid; "
                           "status 1 when there is any)")
    form.add_argument("--why", metavar="FIELD",
                      choices=[name for name in survey.FIELDS
                               if name not in ("problems", "sources", "path")],
                      help="for each file, where FIELD (SURSTA, DRVAL1, "
                           "footprint...) came from, or why the file does "
                           "not state it, a line each")
    parser.add_argument("--strict", action="store_true",
                        help="print the six-entry record of extract_metadata "
                             "and its failures instead (not with --geojson "
                             "or --jobs)")
    parser.add_argument("-j", "--jobs", type=int, metavar="N",
                        help="read the files in N processes (default: the "
                             "number of CPUs); the output keeps the order "
                             "of the files")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="on stderr, only the files and folders that "
                             "could not be read: no lines for gaps, no "
                             "progress, no count at the end")
    parser.add_argument("--grid", action="store_true",
                        help="read every node of each BAG file's grid: its "
                             "exact depth range, uncertainty range and "
                             "count of nodes with data (slower)")
    parser.add_argument("--max-size", type=int, default=bag.DEFAULT_LIMIT,
                        metavar="BYTES",
                        help="the largest metadata document read, in bytes "
                             "(default %(default)s)")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="an ISO 19139 metadata file (.xml), a BAG file "
                             "(.bag), a directory standing for the *.xml "
                             "and *.bag files below it, or - for one "
                             "document on standard input")
    options = parser.parse_args(argv)
    if options.max_size < 0:
        parser.error("--max-size must not be negative")
    if options.max_size > MAX_SIZE:
        parser.error("--max-size must be at most %d bytes" % MAX_SIZE)
    if options.jobs is not None and options.jobs < 1:
        parser.error("--jobs must be at least 1")
    if options.strict and options.geojson:
        parser.error("--geojson needs the survey reader: not with --strict")
    if options.strict and options.jobs is not None:
        parser.error("--jobs needs the survey reader: not with --strict")
    if options.strict and options.check:
        parser.error("--check needs the survey reader: not with --strict")
    if options.strict and options.why:
        parser.error("--why needs the survey reader: not with --strict")
    if options.strict and options.grid:
        parser.error("--grid needs the survey reader: not with --strict")
    if options.paths.count(STDIN) > 1:
        parser.error("standard input (-) can be read only once")
    return options


class Messages:
    """The lines on stderr, each on one line: files not read, files read
    with gaps, folders that cannot be read, the count at the end; and on a
    terminal a progress counter, redrawn in place and cleared before any
    other line so that none starts after it."""

    def __init__(self, stream, quiet):
        self.stream = stream
        self.quiet = quiet
        self.read = self.with_gaps = self.not_read = self.folders = 0
        self.gaps_counted = False  # of the file read last
        self.total = None  # files, when the progress counter is shown
        self.drawn = 0  # characters of the counter on the terminal

    def line(self, text):
        if self.stream is None:
            return
        self.clear()
        # One write: a Ctrl-C comes between lines, not within one.
        self.stream.write(text + "\n")
        self.stream.flush()

    def folder_failed(self, path, message):
        self.folders += 1
        self.line("%s: %s" % (display_path(path), display(message)))

    def refused(self, path, message):
        """A file that could not be read: it has no record."""
        self.not_read += 1
        self.line("%s: not read: %s" % (display_path(path),
                                             display(message)))

    def record(self, path, missing, first=True):
        """A file read, or (not `first`) a further record of the file read
        last; `missing` says what the record lacks ("": none).  A file
        counts once, with gaps when any of its records has some."""
        if first:
            self.read += 1
            self.gaps_counted = False
        if missing:
            if not self.gaps_counted:
                self.with_gaps += 1
                self.gaps_counted = True
            if not self.quiet:
                self.line("%s: gaps: %s" % (display_path(path),
                                               display(missing)))

    def show_progress(self, total):
        self.total = total

    def progress(self, done):
        if self.total is None:
            return
        text = "[%d/%d]" % (done, self.total)
        self.stream.write("\r" + text)  # the counter only grows
        self.stream.flush()
        self.drawn = len(text)

    def clear(self):
        if self.drawn:
            self.stream.write("\r" + " " * self.drawn + "\r")
            self.stream.flush()
            self.drawn = 0

    def summary(self, prog):
        """The count of a run over more than one file."""
        files = self.read + self.not_read
        if self.quiet or files < 2:
            return
        counts = ("%d read (%d with gaps)" % (self.read, self.with_gaps)
                  if self.with_gaps else "%d read" % self.read)
        counts += ", %d not read" % self.not_read
        if self.folders:
            counts += ", %d folder%s not read" % (
                self.folders, "" if self.folders == 1 else "s")
        self.line("%s: %d files: %s" % (prog, files, counts))

    @property
    def failed(self):
        return self.not_read + self.folders


def failure_message(path, error):
    """The message of a failed file, without the file's name."""
    if isinstance(error, bag.BagError):
        return "BagError: " + error.reason
    if isinstance(error, FileError):
        return error.reason
    if isinstance(error, OSError):
        return str(error.strerror or error)
    return str(error)


# The outcome of a file, the same for both kinds of reading and fit to
# cross processes: its cells for the table and CSV, its data for JSON and
# what it lacks, or (all None) the reason it could not be read; `more`
# holds (cells, data, missing) of each record after the first, for a
# document that holds several.
Outcome = collections.namedtuple("Outcome",
                                 "cells data missing reason more sources",
                                 defaults=((), ()))


def record_name(path, number):
    """The name of the `number`th record (from 1) of a file that holds
    several: the path, "#" and the number."""
    return "%s#%d" % (path, number)


def source_rows(results):
    """The table's and CSV's rows of the source surveys of each record:
    (name after the record's, cells)."""
    return tuple(tuple(zip(row_names(result.source_surveys),
                           (survey_rows(source)[0]
                            for source in result.source_surveys)))
                 for result in results)


def refusal(reason):
    return Outcome(None, None, None, reason)


def read_strict(task):
    """The outcome of a file or document read by extract_metadata: a task
    (kind, source, limit) as for read_one."""
    kind, source, limit = task
    if kind == REFUSED:
        return refusal(source)
    try:
        if kind == STDIN:
            record = extract_document(Document(None, unpadded(source)))
        else:
            record = extract_file(source, limit)
    except Exception as error:
        return refusal(failure_message(source, error))
    return Outcome(*strict_rows(record), "", None)


def read_one(task):
    """The outcome of a file or document read by the survey reader: a task
    (kind, source, limit) is a path ("file", GRID_FILE: with the grid of a
    BAG file), a document read from
    standard input (STDIN), or the reason it could not be (REFUSED)."""
    kind, source, limit = task
    if kind == REFUSED:
        return refusal(source)
    try:
        if kind == STDIN:
            results = survey.parse_surveys(survey.trimmed(source))
        else:
            results = survey.read_surveys(source, limit=limit,
                                          grid=kind == GRID_FILE)
        more = tuple((*survey_rows(result), gaps(result))
                     for result in results[1:])
        return Outcome(*survey_rows(results[0]), gaps(results[0]), None,
                       more, source_rows(results))
    except survey.SurveyError as error:
        return refusal(error.message)
    except Exception as error:  # a fault of the reader: one line, go on
        return refusal("the reader failed on this file (%s: %s)" % (
            type(error).__name__, error))


def file_tasks(files, limit, kind="file"):
    tasks = [(kind, path, limit) for path in files]
    if STDIN in files:
        tasks[files.index(STDIN)] = stdin_task(limit)
    return tasks


def stdin_task(limit):
    """Standard input, read here before any process starts: the task of
    its document, parsed wherever its turn comes."""
    stream = getattr(sys.stdin, "buffer", None)
    try:
        if stream is None:
            raise OSError(errno.EBADF, "standard input is closed")
        document = stream.read(limit + 1)
    except OSError as error:
        return (REFUSED, "cannot read standard input: %s"
                % (error.strerror or error), None)
    if len(document) > limit:
        return (REFUSED, "larger than the limit of %d bytes (see "
                         "--max-size)" % limit, None)
    return (STDIN, document, None)


# The two kinds of reading: the record of extract_metadata (--strict), and
# the survey reader's.  read(task) gives an Outcome; tasks(files, limit)
# the tasks of the files, in their order.
Reading = collections.namedtuple("Reading", "keys read tasks")
STRICT = Reading(KEYS, read_strict, file_tasks)
SURVEY = Reading(S57_KEYS, read_one, file_tasks)
GRID_FILE = "file+grid"


def grid_file_tasks(files, limit):
    return file_tasks(files, limit, GRID_FILE)


def isatty(stream):
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        return False


def run(options, out, prog):
    """Reads every file and writes the output; the exit status."""
    reading = STRICT if options.strict else SURVEY
    if options.check:
        # Only the findings: the claims are checked against the grid.
        options.grid = options.quiet = True
    if options.why:
        # The explanation says what the gaps line would.
        options.quiet = True
        options.grid = options.grid or options.why in GRID_FIELDS
    if options.grid:
        reading = reading._replace(tasks=grid_file_tasks)
    messages = Messages(sys.stderr, options.quiet)
    files = expand_paths(options.paths, messages.folder_failed)
    writer = make_writer(options, out, reading.keys)
    # The counter, for long runs on a terminal; not when records stream to
    # the same terminal (they show the progress themselves).
    if (not options.quiet and len(files) > PROGRESS_THRESHOLD
            and isatty(sys.stderr) and not (writer.streams and isatty(out))):
        messages.show_progress(len(files))
    results = outcomes(reading.read, reading.tasks(files, options.max_size),
                       1 if options.strict else options.jobs,
                       lambda text: messages.line("%s: %s" % (prog, text)),
                       refusal)
    try:
        for done, (path, outcome) in enumerate(zip(files, results), 1):
            if outcome.reason is None:
                rows = ((outcome.cells, outcome.data, outcome.missing),
                        ) + outcome.more
                for number, (cells, data, missing) in enumerate(rows, 1):
                    name = record_name(path, number) if outcome.more else path
                    messages.record(name, missing, first=number == 1)
                    writer.write(name, cells, data)
                    if writer.source_rows and outcome.sources:
                        for suffix, source in outcome.sources[number - 1]:
                            writer.write(name + suffix, source)
            else:
                messages.refused(path, outcome.reason)
                writer.fail(path, outcome.reason)
            messages.progress(done)
    except KeyboardInterrupt:
        messages.clear()
        raise
    finally:
        results.close()  # stops the processes at once on a broken pipe
        stop_bag_helper()
    messages.clear()
    writer.close()
    out.flush()
    if not files:
        messages.line("no metadata files found")
        return 1
    messages.summary(prog)
    return 1 if messages.failed or getattr(writer, "found", 0) else 0


def main(argv=None):
    prog = program_name()
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] in (["catalog"], ["query"]):
        # The catalogue's commands (./catalog names a path of that name).
        from bathyra import cli_catalog
        return cli_catalog.main(arguments, prog)
    options = parse_arguments(argv, prog)
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    out = sys.stdout
    if out is None:
        print("%s: cannot write the output: standard output is closed"
              % prog, file=sys.stderr)
        return EXIT_OUTPUT_FAILED
    try:
        return run(options, out, prog)
    except KeyboardInterrupt:
        return interrupted(prog)
    except BrokenPipeError:
        return broken_pipe()
    except OSError as error:
        if error.errno == errno.EPIPE:
            return broken_pipe()
        print("%s: cannot write the output: %s"
              % (prog, display(error.strerror or str(error))),
              file=sys.stderr)
        return EXIT_OUTPUT_FAILED


def interrupted(prog):
    """Ctrl-C: the processes are gone (the run loop ended them); one line
    says why the output stops here."""
    try:
        sys.stderr.write("%s: interrupted\n" % prog)
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
    return EXIT_INTERRUPTED


def broken_pipe():
    """The reader of the output is gone: end quietly.  Python would report
    the failed flush of stdout again at exit; point it at nothing."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass
    return EXIT_BROKEN_PIPE
