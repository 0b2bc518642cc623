"""The survey catalogue's dataset as the runs and queries use it: the
destination's driver and name in messages, the lock of a run, and Store,
the dataset with the catalogue's layers open (bathyra._catalog, loaded
here on first use), its indexes and S-101 view, and the rows of a file
replaced as a whole."""
import errno
import os
import re

from bathyra import _catalog_schema as schema
from bathyra.errors import CatalogError, CatalogSupportMissing

# The drivers by the destination's name, GeoPackage for any other.
_DRIVERS = ((".fgb", "FlatGeobuf"), (".sqlite", "SQLite"),
            (".gpkg", "GPKG"))
# Drivers whose datasets take SQL: attribute indexes and the S-101 view.
SQL_DRIVERS = ("GPKG", "SQLite", "PostgreSQL")
# Layer creation options by driver: a database keeps the columns' names as
# they are (the S-57 acronyms in capitals), and names the geometry column
# as a GeoPackage does.
_LAYER_OPTIONS = {"PostgreSQL": ("LAUNDER=NO", "GEOMETRY_NAME=geom")}
# The key of the advisory lock that a run holds on a database.
DATABASE_LOCK = 0x62617468
ANOTHER_RUN = ("another run is writing to this catalogue; run again when it "
               "has finished (or wait for it: --wait)")
FLATGEOBUF_REFUSED = (
    "a FlatGeobuf file is written once and holds only features that have a "
    "geometry, so it cannot keep a catalogue up to date, nor the files "
    "without a box or not read: write the catalogue to a GeoPackage and "
    "export its surveys (ogr2ogr -f FlatGeobuf surveys.fgb surveys.gpkg "
    "surveys), which bathyra query reads too")


def load_module():
    """bathyra._catalog, or CatalogSupportMissing where it was not built."""
    try:
        from bathyra import _catalog
    except ImportError:
        raise CatalogSupportMissing(
            "the survey catalogue needs GDAL, and this bathyra was built "
            "without it: install GDAL's development files (apt-get install "
            "libgdal-dev) and build bathyra again") from None
    return _catalog


def shown_name(destination):
    """The destination as messages show it: a database's connection text
    without its password."""
    return re.sub(r"(password\s*=\s*)('[^']*'|\S+)", r"\1***", destination,
                  flags=re.IGNORECASE)


def driver_for(destination):
    if destination.upper().startswith("PG:"):
        return "PostgreSQL"
    lower = destination.lower()
    for suffix, driver in _DRIVERS:
        if lower.endswith(suffix):
            return driver
    return "GPKG"


def is_file_destination(destination):
    return ":" not in destination.split(os.sep)[0] or os.path.exists(
        destination)


class Lock:
    """The lock of a run that writes a file catalogue: CATALOG.lock, held
    with a POSIX lock (lockf) while the run lasts.  The system drops it when
    the process ends, however it ends, and the reader processes forked
    meanwhile do not inherit it (as they would a flock()), so that none
    keeps it after a killed run.  A database has its own (Store)."""

    def __init__(self, destination, wait):
        self.stream = None
        if not is_file_destination(destination):
            return
        import fcntl
        path = destination + ".lock"
        try:
            self.stream = open(path, "a")
        except OSError as error:
            raise CatalogError(shown_name(destination),
                               "cannot make its lock %s: %s" %
                               (path, error.strerror or error)) from None
        try:
            fcntl.lockf(self.stream,
                        fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        except OSError as error:
            self.stream.close()
            if error.errno in (errno.EAGAIN, errno.EACCES):
                raise CatalogError(shown_name(destination),
                                   ANOTHER_RUN) from None
            raise

    def release(self):
        if self.stream is not None:
            self.stream.close()
            self.stream = None


class Store:
    """The catalogue's dataset with its layers open (`layers`: the index
    of each by name).  `mode`: "read", "update" or "create" (update, and
    made when missing, with `driver`, by default the one its name
    implies); read, only the layers `names` are opened."""

    def __init__(self, destination, mode, names=None, wait=False,
                 driver=None):
        module = load_module()
        self.name = shown_name(destination)
        # The files whose rows stored() found, once it has run.
        self.held = None
        self.dataset = module.open(destination, self.name,
                                   driver or driver_for(destination), mode)
        self.driver, self.transactions = self.dataset.describe()
        if mode != "read" and self.driver == "PostgreSQL":
            if self._enable_postgis():
                # The driver learns of PostGIS when it connects.
                self.dataset.close()
                self.dataset = module.open(destination, self.name,
                                           "PostgreSQL", mode)
            self._lock_database(wait)
        options = _LAYER_OPTIONS.get(self.driver, ())
        self.layers = {}
        for name, geometry, columns in schema.LAYERS:
            if names is None or name in names:
                self.layers[name] = self.dataset.layer(name, geometry,
                                                       columns, options)
        if mode != "read" and not all(
                self.dataset.describe_layer(index)[2]
                for index in self.layers.values()):
            self.dataset.close()
            raise CatalogError(self.name, "this destination cannot delete "
                                          "features, so a catalogue there "
                                          "cannot be kept up to date")

    def _enable_postgis(self):
        """Before a database's first catalogue: PostGIS enabled where it is
        installed and not yet (the footprints are then PostGIS geometry
        under a GiST index, instead of plain binary that a GIS cannot
        draw); True when it was.  Where this user may not enable it, the
        catalogue is written without it, as before."""
        if self.dataset.execute(
                "SELECT count(*) FROM pg_extension WHERE extname = "
                "'postgis'") or not self.dataset.execute(
                "SELECT count(*) FROM pg_available_extensions WHERE name "
                "= 'postgis'") or self.dataset.execute(
                "SELECT count(*) FROM pg_tables WHERE tablename = "
                "'surveys' AND schemaname = current_schema()"):
            return False
        try:
            self.dataset.execute("CREATE EXTENSION IF NOT EXISTS postgis")
        except CatalogError:
            return False
        return True

    def _lock_database(self, wait):
        """The database's own lock of a run (a session's advisory lock,
        which ends with its connection): taken, waited for, or refused."""
        if wait:
            self.dataset.execute("SELECT pg_advisory_lock(%d)"
                                 % DATABASE_LOCK)
        elif not self.dataset.execute("SELECT pg_try_advisory_lock(%d)"
                                      % DATABASE_LOCK):
            self.dataset.close()
            raise CatalogError(self.name, ANOTHER_RUN)

    def prepare(self):
        """The indexes, the S-101 names and their view, where the driver
        takes SQL; each made once."""
        names = self.layers["s101_names"]
        if not self.dataset.read(names, ("s57",)):
            self.begin()
            for row in schema.S101_NAMES:
                self.dataset.insert(names, row, None)
            self.commit()
        if self.driver not in SQL_DRIVERS:
            return
        for layer, column in schema.INDEXES:
            self.dataset.execute(
                'CREATE INDEX IF NOT EXISTS "%s_%s" ON "%s" ("%s")'
                % (layer, column, layer, column))
        self._view()

    def _view(self):
        """The surveys under the S-101 names of their attributes, a view
        that a GeoPackage also lists as a layer of its own."""
        fid, geometry, _ = self.dataset.describe_layer(self.layers["surveys"])
        if not fid or not geometry:
            return
        columns = ", ".join('"%s" AS "%s"' % (s57, s101)
                            for s57, s101, _ in schema.S101_NAMES)
        select = ('SELECT "%s", "%s", file_path, record, %s FROM surveys'
                  % (fid, geometry, columns))
        if self.driver == "PostgreSQL":
            self.dataset.execute('CREATE OR REPLACE VIEW "%s" AS %s'
                                 % (schema.S101_VIEW, select))
            return
        self.dataset.execute('CREATE VIEW IF NOT EXISTS "%s" AS %s'
                             % (schema.S101_VIEW, select))
        if self.driver == "GPKG":
            self.dataset.execute(
                "INSERT OR IGNORE INTO gpkg_contents (table_name, data_type, "
                "identifier, srs_id) VALUES ('%s', 'features', '%s', 4326)"
                % (schema.S101_VIEW, schema.S101_VIEW))
            self.dataset.execute(
                "INSERT OR IGNORE INTO gpkg_geometry_columns (table_name, "
                "column_name, geometry_type_name, srs_id, z, m) VALUES "
                "('%s', '%s', 'MULTIPOLYGON', 4326, 0, 0)"
                % (schema.S101_VIEW, geometry))

    def stored(self):
        """What the catalogue holds of each file: path -> (size, mtime_ns,
        hash, whether it could not be read, whether its grid was read),
        from one read of the key columns of surveys and failures."""
        keys = {}
        for layer in ("surveys", "failures"):
            for path, size, mtime, digest, grid in self.dataset.read(
                    self.layers[layer],
                    ("file_path", "file_size", "file_mtime_ns", "file_hash",
                     "grid_read")):
                keys[path] = (size, mtime, digest, layer == "failures",
                              bool(grid))
        self.held = set(keys)
        return keys

    def forget(self, path):
        """Deletes every row of the file."""
        where = '"file_path" = %s' % schema.quoted(path)
        for layer in ("surveys", "source_surveys", "failures"):
            self.dataset.remove(self.layers[layer], where)

    def write(self, info, outcome):
        """Replaces the rows of the file: its records, or its failure.  A
        file that stored() did not find has no rows to delete (the rows of
        a file are written in one transaction, so none is left without
        its surveys or failure)."""
        path = schema.stored_path(info.path)
        if self.held is None or path in self.held:
            self.forget(path)
        if isinstance(outcome, str):
            self.dataset.insert(self.layers["failures"],
                                schema.file_values(info) + (outcome,), None)
            return
        for record, data in enumerate(outcome, 1):
            values, geometry = schema.survey_row(info, data, record,
                                                 len(outcome))
            self.dataset.insert(self.layers["surveys"], values, geometry)
            for number, source in enumerate(data["source_surveys"] or (), 1):
                self.dataset.insert(
                    self.layers["source_surveys"],
                    *schema.source_row(path, record, number, source))

    def begin(self):
        if self.transactions:
            self.dataset.begin()

    def commit(self):
        if self.transactions:
            self.dataset.commit()

    def rollback(self):
        """Rolls the open transaction back, on the way out of a failure:
        after a commit that failed there is none left (SQLite ended it),
        and the failure to tell is the commit's, not this one's."""
        if self.transactions:
            try:
                self.dataset.rollback()
            except CatalogError:
                pass

    def close(self):
        self.dataset.close()


def make(destination):
    """A new file catalogue, made whole (layers, indexes, view) under a
    passing name, DESTINATION.new, and then put in its place: a run killed
    while it makes them leaves no catalogue half made.  Under the run's
    lock."""
    passing = destination + ".new"
    for leftover in ("", "-journal", "-wal", "-shm"):
        if os.path.exists(passing + leftover):
            os.remove(passing + leftover)
    store = Store(passing, "create", driver=driver_for(destination))
    try:
        store.prepare()
    finally:
        store.close()
    os.replace(passing, destination)
