"""The catalogue command's exports: an S-57 exchange file of meta-objects
(``--to NAME.000``) and a STAC folder (``--stac FOLDER``).

An exchange file is written whole from the files given, read in that run
(as the reader processes of a catalogue run read them): it is a transfer
of those surveys, with no rows kept from one run to the next.  A STAC
folder beside a catalogue is written from the catalogue once it is up to
date, so that it describes every survey the catalogue holds and not only
the files that changed in that run; beside an exchange file, from the
surveys of the run.
"""
import collections
import os
import types

from bathyra import _s57_exchange, _stac

Exported = collections.namedtuple(
    "Exported", "files surveys not_read folders left_out")
Exported.__doc__ = """What an export wrote: files found, surveys written,
files that could not be read, folders that could not be listed, and the
names of the surveys left out (no area, for an exchange file)."""


def is_exchange_file(destination):
    """Whether the destination names an S-57 exchange file (NAME.000)."""
    return destination.lower().endswith(".000")


def read_all(paths, grid, jobs, report, report_folder, warn, progress):
    """The (name, survey) pairs of the files below `paths`, read in reader
    processes as a catalogue run reads them, with the count of files, of
    those not read and of the folders that could not be listed; a survey
    has a Survey's attributes.  The callbacks are those of catalog()."""
    from bathyra import cli
    from bathyra.cli_jobs import outcomes
    from bathyra.survey_catalog import read_entry
    folders = []

    def folder_failed(path, reason):
        folders.append(path)
        report_folder(path, reason)

    files = list(dict.fromkeys(cli.expand_paths(
        [os.path.abspath(path) for path in paths], folder_failed)))
    results = outcomes(read_entry, [(path, grid) for path in files], jobs,
                       warn, lambda reason: (None, reason))
    surveys, not_read = [], 0
    try:
        for number, (path, (_, outcome)) in enumerate(zip(files, results),
                                                      1):
            if isinstance(outcome, str):
                not_read += 1
                report(path, outcome)
            else:
                for record, data in enumerate(outcome, 1):
                    name = path if len(outcome) == 1 else "%s#%d" % (
                        path, record)
                    surveys.append((name, types.SimpleNamespace(**data)))
            progress(number, len(files))
    finally:
        results.close()
    return surveys, len(files), not_read, len(folders)


def export_run(paths, to, stac=None, *, grid=False, jobs=None, report=None,
               report_folder=None, warn=None, progress=None):
    """Writes the exchange file `to` (and the STAC folder `stac`) from the
    files below `paths`; returns the Exported, and (items written, names
    left out) of the STAC folder or None."""
    quiet = (lambda *arguments: None)
    surveys, files, not_read, folders = read_all(
        paths, grid, jobs, report or quiet, report_folder or quiet,
        warn or quiet, progress or quiet)
    left_out = _s57_exchange.write(to, surveys)
    items = None
    if stac:
        undated = _stac.write(stac, surveys)
        items = (len(surveys) - len(undated), undated)
    return Exported(files, len(surveys) - len(left_out), not_read, folders,
                    left_out), items


def export_stac(folder, catalogue):
    """Writes the STAC folder from every survey of the catalogue; returns
    (items written, names of the surveys left out for stating no date)."""
    from bathyra.survey_catalog import query_catalog
    surveys = query_catalog(catalogue)
    left_out = _stac.write(folder, surveys)
    return len(surveys) - len(left_out), left_out
