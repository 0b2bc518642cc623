"""The command line's catalogue commands:

    bathyra catalog PATH... [--to CATALOG] [--full] [--verify] [--grid]
                    [-j N | --scheduler ADDRESS] [-q] [--wait]
                    [--stac FOLDER]
    bathyra query CATALOG [--bbox W S E N] [--since DATE] [--until DATE]
                  [--deeper-than M] [--shallower-than M] [--authority TEXT]
                  [--json | --csv | --geojson]

``catalog`` brings the catalogue (a GeoPackage by default, surveys.gpkg;
an SQLite file, a PostGIS database) up to date with the files below the
paths, and ends with a line that says what it added, changed, removed and
kept (``--to NAME.000``: an S-57 exchange file of the surveys'
meta-objects, written whole; ``--stac FOLDER``: a STAC Item per survey
and a Collection, see bathyra._catalog_exports); a file that could not
be read gets its "not read:" line on stderr, as with the plain command,
and a row in the layer ``failures``; on a terminal a long run shows the
plain command's counter.  ``query`` prints the surveys that match every
condition in the command line's forms.
Exit status: 0, 1 when a file or folder could not be read (``catalog``)
or the catalogue could not be opened, written or read, 2 for usage
errors, 130 on Ctrl-C.
"""
import argparse
import sys

from bathyra.cli_output import S57_KEYS, display, make_writer, survey_rows
from bathyra.errors import BathyraError

EXIT_INTERRUPTED = 128 + 2


def catalog_arguments(argv, prog):
    parser = argparse.ArgumentParser(
        prog=prog + " catalog",
        description="Write the surveys of metadata files and BAG files to "
                    "a catalogue (a GeoPackage by default), reading again "
                    "only the files that changed since the last run.")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="a metadata file (.xml), a BAG file (.bag), an "
                             "S-102 file (.h5), or a folder standing for "
                             "those below it")
    parser.add_argument("--to", metavar="CATALOG", default="surveys.gpkg",
                        help="the catalogue: a GeoPackage (.gpkg, the "
                             "default surveys.gpkg), an SQLite file "
                             "(.sqlite) or a PostGIS database "
                             "(PG:dbname=... host=...); or an S-57 "
                             "exchange file of the surveys' meta-objects "
                             "(NAME.000: M_QUAL, M_SREL, M_COVR), written "
                             "whole")
    parser.add_argument("--full", action="store_true",
                        help="read every file below the paths again")
    parser.add_argument("--verify", action="store_true",
                        help="also read again the files whose content "
                             "changed while their size and time stayed "
                             "(reads every file to compare)")
    parser.add_argument("--grid", action="store_true",
                        help="read each BAG and S-102 file's grid: "
                             "footprints, exact depth ranges, source "
                             "surveys (slower)")
    readers = parser.add_mutually_exclusive_group()
    readers.add_argument("-j", "--jobs", type=int, metavar="N",
                         help="read the files in N processes (default: the "
                              "number of CPUs)")
    readers.add_argument("--scheduler", metavar="ADDRESS",
                         help="read the files on the workers of a "
                              "dask.distributed cluster whose scheduler is "
                              "at ADDRESS (tcp://host:8786); this machine "
                              "writes the catalogue")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="on stderr, only the files and folders that "
                             "could not be read (no counter), and no line "
                             "at the end")
    parser.add_argument("--wait", action="store_true",
                        help="when another run writes to the catalogue, "
                             "wait for it to end instead of stopping")
    parser.add_argument("--stac", metavar="FOLDER",
                        help="also write a STAC Item for each survey of the "
                             "catalogue (of the exchange file) and a "
                             "Collection over them to FOLDER")
    options = parser.parse_args(argv)
    if options.jobs is not None and options.jobs < 1:
        parser.error("--jobs must be at least 1")
    if options.to.lower().endswith(".000"):
        # An exchange file is written whole, here: nothing to rebuild,
        # compare or wait for, and no cluster to read for it.
        given = [flag for flag, on in (
            ("--full", options.full), ("--verify", options.verify),
            ("--wait", options.wait),
            ("--scheduler", options.scheduler is not None)) if on]
        if given:
            parser.error("%s: only for a catalogue; an exchange file "
                         "(NAME.000) is written whole from this run's "
                         "files" % ", ".join(given))
    return options


def query_arguments(argv, prog):
    parser = argparse.ArgumentParser(
        prog=prog + " query",
        description="Print the surveys of a catalogue that match every "
                    "condition given.")
    parser.add_argument("catalog", metavar="CATALOG",
                        help="a catalogue written by the catalog command "
                             "(or a FlatGeobuf export of its surveys)")
    parser.add_argument("--bbox", nargs=4, type=float,
                        metavar=("W", "S", "E", "N"),
                        help="surveys that touch this box (degrees; west "
                             "beyond east crosses the antimeridian)")
    parser.add_argument("--since", metavar="DATE",
                        help="surveys that end on or after DATE (YYYY, "
                             "YYYY-MM or YYYY-MM-DD)")
    parser.add_argument("--until", metavar="DATE",
                        help="surveys that start on or before DATE")
    parser.add_argument("--deeper-than", type=float, metavar="M",
                        help="surveys whose deepest depth is beyond M "
                             "metres")
    parser.add_argument("--shallower-than", type=float, metavar="M",
                        help="surveys whose shallowest depth is above M "
                             "metres")
    parser.add_argument("--authority", metavar="TEXT",
                        help="surveys whose survey authority (SURATH) "
                             "holds TEXT, whatever the case")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true",
                      help="one JSON object per line")
    form.add_argument("--csv", action="store_true",
                      help="CSV with a header line")
    form.add_argument("--geojson", action="store_true",
                      help="a GeoJSON FeatureCollection")
    options = parser.parse_args(argv)
    from bathyra._catalog_query import query_boxes
    from bathyra.survey_catalog import where_clause
    try:
        where_clause(options.since, options.until, options.deeper_than,
                     options.shallower_than)
        query_boxes(options.bbox)
    except ValueError as error:
        parser.error(str(error))
    return options


def run_catalog(options, prog):
    from bathyra.cli import PROGRESS_THRESHOLD, Messages, isatty
    from bathyra._catalog_store import shown_name
    from bathyra.survey_catalog import catalog
    # The plain command's lines on stderr: files not read, folders that
    # cannot be listed, and on a terminal the counter of a long run.
    messages = Messages(sys.stderr, options.quiet)
    terminal = not options.quiet and isatty(sys.stderr)

    def progress(done, total):
        if done == 1 and terminal and total > PROGRESS_THRESHOLD:
            messages.show_progress(total)
        messages.progress(done)

    if options.to.lower().endswith(".000"):
        return _run_export(options, messages, progress, prog)
    try:
        counts = catalog(
            options.paths, options.to, full=options.full,
            verify=options.verify, grid=options.grid, jobs=options.jobs,
            scheduler=options.scheduler, wait=options.wait,
            report=messages.refused, report_folder=messages.folder_failed,
            warn=lambda text: messages.line("%s: %s" % (prog, text)),
            progress=progress)
    finally:
        messages.clear()
    if not options.quiet:
        print("%s: %d files: %d added, %d changed, %d removed, %d kept; "
              "%d not read" % (display(shown_name(options.to)), counts.files,
                               counts.added, counts.changed, counts.removed,
                               counts.kept, counts.not_read), flush=True)
    if options.stac:
        from bathyra.survey_catalog import export_stac
        _stac_line(options, export_stac(options.stac, options.to))
    return 1 if counts.not_read or counts.folders else 0


def _run_export(options, messages, progress, prog):
    """`catalog --to NAME.000`: the exchange file (and STAC folder) of the
    surveys read in this run."""
    from bathyra.survey_catalog import export_exchange
    try:
        done, items = export_exchange(
            options.paths, options.to, options.stac, grid=options.grid,
            jobs=options.jobs, report=messages.refused,
            report_folder=messages.folder_failed,
            warn=lambda text: messages.line("%s: %s" % (prog, text)),
            progress=progress)
    finally:
        messages.clear()
    if not options.quiet:
        print("%s: %d files: %d surveys written; %d without an area left "
              "out; %d not read" % (display(options.to), done.files,
                                    done.surveys, len(done.left_out),
                                    done.not_read), flush=True)
        if items is not None:
            _stac_line(options, items)
    return 1 if done.not_read or done.folders else 0


def _stac_line(options, items):
    if not options.quiet:
        print("%s: %d STAC items; %d surveys without a date left out"
              % (display(options.stac), items[0], len(items[1])), flush=True)


def run_query(options, out):
    from bathyra.cli import source_rows
    from bathyra.survey_catalog import query_catalog
    found = query_catalog(options.catalog, bbox=options.bbox,
                          since=options.since, until=options.until,
                          deeper_than=options.deeper_than,
                          shallower_than=options.shallower_than,
                          authority=options.authority)
    options.check = False
    writer = make_writer(options, out, S57_KEYS)
    for name, survey in found:
        writer.write(name, *survey_rows(survey))
        if writer.source_rows:
            for suffix, cells in source_rows([survey])[0]:
                writer.write(name + suffix, cells)
    writer.close()
    out.flush()
    return 0


def main(arguments, prog):
    """`arguments` start with the command's name."""
    from bathyra.cli import broken_pipe
    command, rest = arguments[0], arguments[1:]
    if command == "catalog":
        options = catalog_arguments(rest, prog)
    else:
        options = query_arguments(rest, prog)
    for stream in (sys.stdout, sys.stderr):
        if stream is not None and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        if command == "catalog":
            return run_catalog(options, prog)
        return run_query(options, sys.stdout)
    except BathyraError as error:
        print("%s: %s" % (prog, display(str(error))), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("%s: interrupted" % prog, file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return broken_pipe()
