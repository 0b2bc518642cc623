"""The survey catalogue: the surveys of many files in one GIS dataset,
kept up to date run after run, and queried by place, date, depth and
authority.

    >>> import bathyra
    >>> counts = bathyra.catalog(["surveys/"])  # doctest: +SKIP
    >>> counts.added, counts.kept  # doctest: +SKIP
    (120, 0)
    >>> found = bathyra.query_catalog(  # doctest: +SKIP
    ...     "surveys.gpkg", since="2019", deeper_than=30)

``catalog(paths, to)`` writes to an OGR destination that takes updates:
a GeoPackage (the default, ``surveys.gpkg``), an SQLite file, a PostGIS
database (``PG:dbname=...``); not a FlatGeobuf file, which is written
once and holds only features with a geometry, but ``query_catalog`` reads
the export of the surveys layer to one.  The layers are described in
bathyra._catalog_schema.
A second run over the same paths reads only the files whose size or
modification time changed (with ``verify``, also those whose content
changed), removes the rows of files that are gone from the paths it was
given (but those below a folder that could not be listed, or below a
path given that is not there), and keeps the others; ``full`` reads every
file again.  Rows are written in
transactions of at most ``batch`` files (and about ten seconds), each
file's rows replaced in one
of them, so that a run that is killed leaves every row whole and the next
run finishes the job.  One run at a time writes a file catalogue: a lock
beside it (CATALOG.lock) refuses a second one, or with ``wait`` makes it
wait.

The C++ module bathyra._catalog writes and reads the features, through
GDAL; it is imported on first use, and where bathyra was built without
GDAL, CatalogSupportMissing says so.
"""
import collections
import hashlib
import io
import os
import stat
import time
from typing import Any, Callable, Iterable, List, Optional, Tuple

from bathyra import _catalog_schema as schema
from bathyra._catalog_store import (FLATGEOBUF_REFUSED, Lock, Store,
                                    driver_for, is_file_destination,
                                    load_module, make, shown_name)
from bathyra._catalog_query import query_catalog, where_clause
from bathyra.document import OPEN_FLAGS
from bathyra.errors import CatalogError

__all__ = ["catalog", "query_catalog", "where_clause", "export_stac",
           "export_exchange", "Counts", "DEFAULT_CATALOG"]

DEFAULT_CATALOG = "surveys.gpkg"
EXCHANGE_FILE_REFUSED = (
    "an S-57 exchange file is a transfer written whole, not a catalogue "
    "kept up to date: write it with the command (bathyra catalog PATH... "
    "--to NAME.000)")
MISSING_FOLDER = ("not found: the catalogue keeps the rows of the files it "
                  "holds below it")
NAME_TAKEN = ("its name, in another encoding than UTF-8, reads as that of "
              "%s, which the catalogue holds; rename one of them")
# Files whose rows one transaction writes at most, and the seconds it is
# held open at most: few commits on a fast run of metadata files (each
# rewrites the indexes' pages), little work lost by a run killed while it
# reads slow grids.
BATCH = 1000
BATCH_SECONDS = 10.0
Counts = collections.namedtuple(
    "Counts", "files added changed removed kept not_read folders")
Counts.__doc__ = """What a run did: files found, files added and changed
(read again), files whose rows were removed, files kept as they were, the
files found that could not be read (their rows are in the layer
`failures`; those kept were not read again), and folders that could not
be listed."""

# What the reader process tells of a file besides its surveys.
FileInfo = collections.namedtuple(
    "FileInfo", "path size mtime_ns digest kind version read_at grid")


def content_hash(path):
    """(the SHA-256 of the file's content in hex, its first eight bytes),
    or (None, b"") when it is no regular file: a FIFO or a device is not
    waited on.  The blocks are read into one buffer: a new bytes object
    for each block costs as much again as the hash on a large BAG file."""
    with io.FileIO(os.open(path, OPEN_FLAGS), "r") as stream:
        if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            return None, b""
        digest = hashlib.sha256()
        block = bytearray(1 << 18)
        view = memoryview(block)
        head = None
        while True:
            count = stream.readinto(block)
            if not count:
                break
            if head is None:
                head = bytes(view[:8])
            digest.update(view[:count])
    return digest.hexdigest(), head or b""


def read_entry(task):
    """In a reader process: (FileInfo, the to_dict() of each record, or
    the reason the file could not be read) of a task (path, grid)."""
    from bathyra import cli, s102, survey
    path, wanted = task
    kind = "BAG" if cli.is_bag(path) else "XML"
    try:
        status = os.stat(path)
        size, mtime = status.st_size, status.st_mtime_ns
    except OSError as error:
        reason = "cannot read this file: %s" % (error.strerror or error)
        return (FileInfo(path, None, None, None, kind, None, time.time(),
                         wanted and kind != "XML"), reason)
    digest = version = None
    grid = wanted and kind != "XML"
    try:
        digest, head = content_hash(path)
        # The reader tells an S-102 file by the same signature.
        if kind == "XML" and head == s102.HDF5_SIGNATURE:
            kind, grid = "S-102", wanted
        results = survey.read_surveys(path, grid=grid)
        outcome = [result.to_dict() for result in results]
        version = results[0].bag_version
    except survey.SurveyError as error:
        outcome = error.message
    except OSError as error:
        outcome = "cannot read this file: %s" % (error.strerror or error)
    except Exception as error:  # a fault of the reader: this file only
        outcome = "the reader failed on this file (%s: %s)" % (
            type(error).__name__, error)
    return FileInfo(path, size, mtime, digest, kind, version, time.time(),
                    grid), outcome


def export_stac(folder: str, catalogue: str) -> Tuple[int, List[str]]:
    """Writes a STAC Item for each survey of the catalogue, and a
    Collection over them, to `folder`; returns (items written, names of
    the surveys left out because they state no date)."""
    from bathyra import _catalog_exports
    load_module()
    return _catalog_exports.export_stac(folder, catalogue)


def export_exchange(paths: Iterable[str], to: str, stac: Optional[str] = None,
                    **options: Any) -> Tuple[Any, Optional[Tuple[int,
                                                                 List[str]]]]:
    """Writes the S-57 exchange file `to` (NAME.000: an M_SREL and an
    M_QUAL per survey, an M_COVR over them) from the files below `paths`,
    read in this call, and with `stac` a STAC folder of the same surveys.
    `options`: grid, jobs and the callbacks of catalog().  Returns the
    Exported (files, surveys, not_read, folders, left_out) and (items,
    undated names) of the STAC folder or None."""
    from bathyra import _catalog_exports
    load_module()
    return _catalog_exports.export_run(paths, to, stac, **options)


def _lost(reason):
    return None, reason


_Report = Optional[Callable[[str, str], Any]]


def catalog(paths: Iterable[str], to: str = DEFAULT_CATALOG, *,
            full: bool = False, verify: bool = False, grid: bool = False,
            jobs: Optional[int] = None, batch: int = BATCH,
            scheduler: Optional[str] = None, wait: bool = False,
            report: _Report = None, report_folder: _Report = None,
            warn: Optional[Callable[[str], Any]] = None,
            progress: Optional[Callable[[int, int], Any]] = None) -> Counts:
    """Brings the catalogue `to` up to date with the files below `paths`
    (metadata files, BAG and S-102 files, as the command line finds them),
    and returns the Counts.  `grid`: BAG and S-102 grids are read for
    their footprints, depths and source surveys; `jobs`: reader processes
    (None: a CPU each); `scheduler`: the address of a dask.distributed
    scheduler whose workers read the files instead (this process writes);
    report(path, reason) is told of each file that could not be read,
    report_folder(path, reason) of each folder that could not be listed,
    warn(text) of anything else worth a line, progress(done, total) of
    each file written of those read."""
    from bathyra import cli
    from bathyra.cli_jobs import outcomes
    load_module()
    if scheduler is not None:
        from bathyra._catalog_dask import require
        require(scheduler)
    if driver_for(to) == "FlatGeobuf":
        raise CatalogError(shown_name(to), FLATGEOBUF_REFUSED)
    if to.lower().endswith(".000"):
        raise CatalogError(to, EXCHANGE_FILE_REFUSED)
    report = report or (lambda path, reason: None)
    warn = warn or (lambda text: None)
    folders = []

    def folder_failed(path, reason):
        folders.append(path)
        if report_folder is not None:
            report_folder(path, reason)

    # Absolute from the start: the folders' files are found so.
    given = [os.path.abspath(path) for path in paths]
    files = cli.expand_paths(given, folder_failed)
    lock = Lock(to, wait)
    try:
        if is_file_destination(to) and not os.path.exists(to):
            make(to)
        store = Store(to, "update", wait=wait)
        try:
            store.prepare()
            return _update(store, files, given, full, verify, grid,
                           (jobs, scheduler), max(1, batch), folders,
                           report, warn,
                           progress or (lambda done, total: None), outcomes)
        finally:
            store.close()
    finally:
        lock.release()


def _update(store, files, given, full, verify, grid, readers, batch, failed,
            report, warn, progress, outcomes):
    from bathyra.cli import is_bag
    stored = store.stored()
    roots = [schema.stored_path(root) for root in given]
    # The rows below a folder that could not be listed, or below a path
    # given that is not there (an unmounted share), are kept: those files
    # were not looked for, so they are not gone.
    missing = {key for root, key in zip(given, roots)
               if not os.path.lexists(root)
               and any(path != key and schema.in_scope(path, [key])
                       for path in stored)}
    unlisted = [schema.stored_path(path) for path in failed] + list(missing)
    seen = {}
    wanted, kept, not_read = [], 0, 0
    for path in files:
        key = schema.stored_path(path)
        if key in missing:
            report(path, MISSING_FOLDER)
            not_read += 1
            continue
        if key in seen:
            if seen[key] != path:  # two names beyond UTF-8, one key
                report(path, NAME_TAKEN % seen[key])
                not_read += 1
            continue
        seen[key] = path
        known = stored.get(key)
        try:
            status = os.stat(path)
            current = (status.st_size, status.st_mtime_ns)
        except OSError:
            current = None
        # A BAG or S-102 file read without its grid is read again with it.
        regrid = bool(known and grid and not known[4]
                      and (is_bag(path) or path.lower().endswith(".h5")))
        if (not full and known is not None and current == known[:2]
                and not regrid
                and not (verify and _hash_or_none(path) != known[2])):
            kept += 1
            not_read += known[3]
        else:
            wanted.append(path)
    gone, held = [], 0
    for path, known in stored.items():
        if path in seen or not schema.in_scope(path, roots):
            continue
        if schema.in_scope(path, unlisted):
            held += 1
            not_read += known[3]
        else:
            gone.append(path)
    kept += held
    store.begin()
    for number, path in enumerate(gone, 1):
        store.forget(path)
        if number % batch == 0:
            store.commit()
            store.begin()
    store.commit()
    added = changed = 0
    tasks = [(path, grid) for path in wanted]
    results = _readings(tasks, readers, warn, outcomes)
    store.begin()
    opened = time.monotonic()
    try:
        in_batch = 0
        for number, ((path, _), (info, outcome)) in enumerate(results, 1):
            if info is None:  # its reader process died on it
                info = FileInfo(path, None, None, None, None, None,
                                time.time(), False)
            if isinstance(outcome, str):
                not_read += 1
                report(path, outcome)
            store.write(info, outcome)
            if schema.stored_path(path) in stored:
                changed += 1
            else:
                added += 1
            in_batch += 1
            if (in_batch == batch
                    or time.monotonic() - opened > BATCH_SECONDS):
                store.commit()
                store.begin()
                opened, in_batch = time.monotonic(), 0
            progress(number, len(wanted))
        store.commit()
    except BaseException:
        store.rollback()
        raise
    finally:
        results.close()
    return Counts(len(seen) + held, added, changed, len(gone), kept,
                  not_read, len(failed))


def _readings(tasks, readers, warn, outcomes):
    """(task, outcome) of each task: read in this machine's processes in
    the tasks' order, or, when `readers` (jobs, scheduler) names a
    scheduler, on its cluster in the order they end."""
    jobs, scheduler = readers
    if scheduler is not None:
        from bathyra import _catalog_dask
        from bathyra.cli_jobs import STOPPED
        yield from _catalog_dask.outcomes(scheduler, read_entry, tasks,
                                          _lost, STOPPED)
        return
    results = outcomes(read_entry, tasks, jobs, warn, _lost)
    try:
        yield from zip(tasks, results)
    finally:
        results.close()


def _hash_or_none(path):
    try:
        return content_hash(path)[0]
    except OSError:
        return None
