"""Command line: chart attributes of ISO 19139 survey metadata files.

    python -m bathyra [--json | --csv] PATH...

Each PATH is an ISO 19139 metadata file (``.xml``), a BAG file (``.bag``),
or a directory that stands for both kinds of file below it.  One record is printed per file; a file that fails gets one
line on stderr and the others go on.  Exit status: 0 when every file gave a
record, 1 when any failed, 2 for usage errors.
"""
import argparse
import csv
import json
import math
import os
import sys

from bathyra import bag
from bathyra import metadata_parser
from bathyra._traceback_lines import Line

KEYS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM")
MODULE_FILE = "bathyra/metadata_parser"
PROGRESS_THRESHOLD = 20
TABLE_CELL_WIDTH = 48

# What a failure at a line of the extraction routine means for the document.
LINE_MEANINGS = {
    Line.read_document: "the input carries no metadata document",
    Line.namespace_loop: "the namespace table XML_NS is unusable",
    Line.register_namespace: "a namespace prefix could not be registered",
    Line.parse_document: "the document is not well-formed XML",
    Line.find_begin_position:
        "the document has no GML 3.2 gml:beginPosition "
        "(a temporal extent in another GML version is not read)",
    Line.find_end_position: "the document has no GML 3.2 gml:endPosition",
    Line.find_minimum_value:
        "the document has no gco:Real under gmd:minimumValue "
        "(vertical extent minimum)",
    Line.find_maximum_value:
        "the document has no gco:Real under gmd:maximumValue "
        "(vertical extent maximum)",
    Line.convert_minimum: "the vertical extent minimum is not a number",
    Line.convert_maximum: "the vertical extent maximum is not a number",
    Line.survey_start: "the gml:beginPosition element is empty",
    Line.survey_end: "the gml:endPosition element is empty",
    Line.make_placeholders: "the placeholder set could not be made",
    Line.find_platforms: "the acquisition information could not be searched",
    Line.platform_loop: "the acquisition information could not be searched",
    Line.test_platform: "a platform or instrument name is unusable",
    Line.append_platform: "a platform or instrument name is unusable",
    Line.join_platforms: "the platform names could not be joined",
    Line.find_citation: "the citation could not be searched",
    Line.citation_text: "the citation title is unusable",
    Line.object_name: "the citation title is unusable",
    Line.build_record: "the result record could not be built",
    Line.make_drval1: "the result record could not be built",
    Line.make_drval2: "the result record could not be built",
}


SUFFIXES = (".xml", ".bag")


class Survey:
    """The argument of extract_metadata: carries the document."""

    def __init__(self, document):
        self.iso19139_xml = document


class UsageError(Exception):
    pass


def module_line(error):
    """The line of the module's traceback entry of `error`, or None."""
    line = None
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == MODULE_FILE:
            line = tb.tb_lineno
        tb = tb.tb_next
    return line


def describe_failure(path, error):
    """One line for a person: file, exception, and what it means."""
    text = "%s: %s: %s" % (path, type(error).__name__, error)
    meaning = LINE_MEANINGS.get(module_line(error))
    if meaning:
        text += " (%s)" % meaning
    return text


def expand_paths(paths):
    """Files in the order given; a directory gives its *.xml and *.bag
    files below it, sorted.  A missing path is returned as is and fails
    when read."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = []
            for folder, dirs, names in os.walk(path):
                dirs.sort()
                found.extend(os.path.join(folder, name) for name in names
                             if name.lower().endswith(SUFFIXES))
            files.extend(sorted(found))
        else:
            files.append(path)
    return files


def is_bag(path):
    return path.lower().endswith(".bag")


def read_survey(path):
    """The argument for extract_metadata: a BAG file's metadata, or the
    document of a metadata file.  A document copied out of a BAG file may
    end in NUL bytes; they are dropped."""
    if is_bag(path):
        return bag.open(path)
    with open(path, "rb") as stream:
        return Survey(stream.read().rstrip(b"\0"))


def extract_file(path):
    return metadata_parser.extract_metadata(read_survey(path))


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
        self.rows.append([path] + [str(format_value(record[k]))
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
        line = {"file": path}
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
        self.writer.writerow([path] + [format_value(record[k]) for k in KEYS])

    def close(self):
        pass


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python -m bathyra",
        description="Print the S-57 survey attributes (SURSTA, SUREND, "
                    "DRVAL1, DRVAL2, planam, OBJNAM) read from ISO 19139 "
                    "survey metadata files and BAG files.")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true",
                      help="one JSON object per line")
    form.add_argument("--csv", action="store_true",
                      help="CSV with a header line")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="an ISO 19139 metadata file (.xml), a BAG file "
                             "(.bag), or a directory standing for the *.xml "
                             "and *.bag files below it")
    return parser.parse_args(argv)


def main(argv=None):
    options = parse_arguments(argv)
    files = expand_paths(options.paths)
    out = sys.stdout
    if options.json:
        writer = JsonWriter(out)
    elif options.csv:
        writer = CsvWriter(out)
    else:
        writer = TableWriter(out)
    show_progress = sys.stderr.isatty() and len(files) > PROGRESS_THRESHOLD
    failures = 0
    for number, path in enumerate(files, 1):
        if show_progress:
            sys.stderr.write("\r[%d/%d] " % (number, len(files)))
            sys.stderr.flush()
        try:
            record = extract_file(path)
        except bag.BagSupportMissing as error:
            failures += 1
            print(("\n" if show_progress else "") + "%s: %s" % (path, error),
                  file=sys.stderr)
            continue
        except bag.BagError as error:
            # The message names the file already.
            failures += 1
            print(("\n" if show_progress else "") +
                  "%s: BagError: %s" % (path, str(error).replace(
                      path + ": ", "", 1)), file=sys.stderr)
            continue
        except OSError as error:
            failures += 1
            message = "%s: %s" % (path, error.strerror or error)
            print(("\n" if show_progress else "") + message, file=sys.stderr)
            continue
        except Exception as error:
            failures += 1
            print(("\n" if show_progress else "") +
                  describe_failure(path, error), file=sys.stderr)
            continue
        writer.write(path, record)
    if show_progress:
        sys.stderr.write("\n")
    writer.close()
    if not files:
        print("no metadata files found", file=sys.stderr)
    return 1 if failures else 0
