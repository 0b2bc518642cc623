"""The survey catalogue as a user sees it: the layers a GIS shows (their
geometry types, CRS, columns, one known row each), read with ogrinfo and
with sqlite3; runs again after files were added, changed, deleted and
moved; a run killed in the middle and the run that finishes the job; two
runs at once; unreadable and damaged files; the queries in every form."""
import hashlib
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import unittest

from bathyra import bag, s102
from tests import support
from tests.documents import (bounding_box, depth_range, document, party,
                             period, survey_document)

try:
    from bathyra import _catalog
except ImportError:
    _catalog = None

needs_gdal = unittest.skipIf(_catalog is None,
                             "built without GDAL: there is no catalogue")
OGRINFO = shutil.which("ogrinfo")
needs_ogrinfo = unittest.skipIf(
    OGRINFO is None, "GDAL's ogrinfo is not installed (apt-get install "
                     "gdal-bin)")
needs_hdf5 = unittest.skipUnless(bag.available(),
                                 "built without the HDF5 library")

EXAMPLES = sorted(name for name in os.listdir(support.EXAMPLES_DIR)
                  if name.endswith(".xml"))
KNOWN = "survey_h13045_multibeam.xml"

# A child that runs a catalogue in batches of 5 files and, at its 13th
# file (three files into its third transaction), says so and waits for a
# line on its standard input.
PAUSED_RUN = """
    import sys
    from bathyra import survey_catalog
    write = survey_catalog.Store.write
    written = []
    def paused(self, info, outcome):
        written.append(info.path)
        if len(written) == 13:
            print("writing", flush=True)
            sys.stdin.readline()
        write(self, info, outcome)
    survey_catalog.Store.write = paused
    counts = survey_catalog.catalog([sys.argv[1]], sys.argv[2], batch=5,
                                    jobs=1)
    print(counts.added, counts.kept, flush=True)
"""


def counts_of(stdout):
    """(files, added, changed, removed, kept, not read) of a run's last
    line."""
    found = re.search(r": (\d+) files: (\d+) added, (\d+) changed, (\d+) "
                      r"removed, (\d+) kept; (\d+) not read$", stdout.strip())
    return tuple(int(n) for n in found.groups()) if found else stdout


@needs_gdal
class CatalogCase(support.FolderMixin, unittest.TestCase):
    """A folder of files (the examples) and the catalogue beside it."""

    def setUp(self):
        super().setUp()
        self.files = os.path.join(self.tmp, "files")
        shutil.copytree(support.EXAMPLES_DIR, self.files,
                        ignore=lambda folder, names: [
                            name for name in names
                            if not name.endswith(".xml")])
        self.gpkg = os.path.join(self.tmp, "surveys.gpkg")

    def catalog(self, *args, status=0):
        result = support.run_cli("catalog", *args, "--to", self.gpkg)
        self.assertEqual(result.returncode, status, result.stderr)
        return result

    def counts(self, *args, status=0):
        return counts_of(self.catalog(self.files, *args,
                                      status=status).stdout)

    def rows(self, sql, *parameters):
        connection = sqlite3.connect(self.gpkg)
        try:
            return connection.execute(sql, parameters).fetchall()
        finally:
            connection.close()

    def ogrinfo(self, *args, layers=()):
        result = subprocess.run([OGRINFO, "-ro", *args, self.gpkg, *layers],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def path(self, name):
        return os.path.join(self.files, name)


class LayersTest(CatalogCase):

    @needs_ogrinfo
    def test_layers_in_a_gis(self):
        self.counts()
        listing = self.ogrinfo("-so")
        for line in ("surveys (Multi Polygon)",
                     "source_surveys (Multi Polygon)",
                     "surveys_s101 (Multi Polygon)", "failures (None)",
                     "s101_names (None)"):
            self.assertIn(line, listing)
        surveys = self.ogrinfo("-so", "-nomd", layers=["surveys"])
        self.assertIn("Feature Count: 3", surveys)
        self.assertIn('ID["EPSG",4326]', surveys)
        self.assertIn("Data axis to CRS axis mapping: 2,1", surveys)
        for column in ("SURSTA: String", "SURSTA_date: Date",
                       "SUREND_date: Date", "DRVAL1: Real", "DRVAL2: Real",
                       "VERDAT: Integer64", "file_size: Integer64",
                       "file_modified: DateTime", "read_at: DateTime",
                       "file_hash: String", "problems: String"):
            self.assertIn(column + " ", surveys)
        names = self.ogrinfo("-so", layers=["surveys_s101"])
        for column in ("surveyDateRange_dateStart: Date",
                       "depthRangeMinimumValue: Real",
                       "surveyAuthority: String", "verticalDatum: Integer64"):
            self.assertIn(column, names)
        self.assertIn("licenseName: String",
                      self.ogrinfo("-so", layers=["source_surveys"]))
        # A spatial query in OGR SQL, through the layer's index.
        query = ("-dialect", "OGRSQL", "-sql",
                 "SELECT OBJNAM, DRVAL2 FROM surveys WHERE DRVAL2 > 30")
        found = self.ogrinfo(*query, "-spat", "-70.3", "43.6", "-70.2",
                             "43.7")
        self.assertIn("Feature Count: 1", found)
        self.assertIn("OBJNAM (String) = H13045_MB_1m_MLLW", found)
        self.assertIn("DRVAL2 (Real) = 35.2", found)
        self.assertIn("MULTIPOLYGON (((-70.2871 43.6312", found)
        empty = self.ogrinfo(*query, "-spat", "10", "10", "11", "11")
        self.assertIn("Feature Count: 0", empty)

    def test_known_row(self):
        self.counts()
        path = self.path(KNOWN)
        (row,) = self.rows(
            "SELECT SURSTA, SUREND, SURSTA_date, SUREND_date, DRVAL1, "
            "typeof(DRVAL1), DRVAL2, VERDAT, OBJNAM, planam, platforms, "
            "west, north, geometry_source, file_size, file_hash, "
            "file_format, record, records, problems, sources FROM surveys "
            "WHERE file_path = ?", path)
        with open(path, "rb") as stream:
            content = stream.read()
        self.assertEqual(row[:14], (
            "20190314", "20190320", "2019-03-14", "2019-03-20", 1.5, "real",
            35.2, None, "H13045_MB_1m_MLLW", "Survey Vessel One",
            '["Survey Vessel One"]', -70.2871, 43.6788, "box"))
        self.assertEqual(row[14:19], (len(content),
                                      hashlib.sha256(content).hexdigest(),
                                      "XML", 1, 1))
        self.assertIn(["horizontal_crs", "no horizontal reference system"],
                      json.loads(row[19]))
        self.assertEqual(json.loads(row[20])["SURSTA"], "metadata")
        # The files without a box have no geometry, and say so.
        self.assertEqual(self.rows(
            "SELECT count(*) FROM surveys WHERE geom IS NULL AND "
            "geometry_source IS NULL"), [(2,)])
        self.assertEqual(self.rows(
            "SELECT s57, s101 FROM s101_names WHERE s57 = 'SURATH'"),
            [("SURATH", "surveyAuthority")])
        self.assertEqual(self.rows(
            "SELECT depthRangeMaximumValue, surveyDateRange_dateEnd FROM "
            "surveys_s101 WHERE file_path = ?", path), [(35.2, "2019-03-20")])
        indexes = {name for (name,) in self.rows(
            "SELECT name FROM sqlite_master WHERE type = 'index'")}
        for column in ("SURSTA_date", "SUREND_date", "DRVAL1", "DRVAL2",
                       "file_path"):
            self.assertIn("surveys_" + column, indexes)
        self.assertEqual(self.rows(
            "SELECT count(*) FROM sqlite_master WHERE name = "
            "'rtree_surveys_geom'"), [(1,)])

    def test_unreadable_and_damaged_files(self):
        self.write("files/damaged.xml", "<gmi:MI_Metadata")
        self.write("files/not_hdf5.bag", b"\x89HDF\r\n\x1a\nbroken")
        self.write("files/empty.xml", b"")
        # A FIFO is neither waited on nor hashed.
        os.mkfifo(self.path("pipe.xml"))
        result = self.catalog(self.files, status=1)
        self.assertEqual(counts_of(result.stdout), (7, 7, 0, 0, 0, 4))
        lines = sorted(result.stderr.splitlines())
        self.assertEqual(len(lines), 4, result.stderr)
        self.assertTrue(all(": not read: " in line for line in lines))
        failures = dict(self.rows("SELECT file_path, reason FROM failures"))
        self.assertEqual(sorted(failures), sorted(
            self.path(name) for name in ("damaged.xml", "not_hdf5.bag",
                                         "empty.xml", "pipe.xml")))
        self.assertIn("XML", failures[self.path("damaged.xml")])
        self.assertIn("HDF5", failures[self.path("not_hdf5.bag")])
        self.assertEqual(failures[self.path("pipe.xml")],
                         "not a regular file")
        # The others are whole.
        self.assertEqual(self.rows(
            "SELECT count(*), count(file_hash), count(read_at) FROM "
            "surveys"), [(3, 3, 3)])
        # They stay failures, unchanged, until they change.
        self.assertEqual(self.counts(status=1), (7, 0, 0, 0, 7, 4))
        shutil.copy(self.path(KNOWN), self.path("damaged.xml"))
        self.assertEqual(self.counts(status=1), (7, 0, 1, 0, 6, 3))
        self.assertEqual(self.rows(
            "SELECT count(*) FROM failures WHERE file_path = ?",
            self.path("damaged.xml")), [(0,)])

    @needs_hdf5
    def test_footprint_and_source_surveys_of_bag_and_s102_files(self):
        doc = document(grid=(2, 2, "500005,5000005 500015,5000015", 10.0,
                             "32619"))
        path = self.path("layers.bag")
        bag.write(path, doc.encode(), grid=dict(
            shape=(2, 2), tile=[[-1.0, -2.0]], layers=[dict(
                name="sources", members=[("source_survey_id", 4),
                                         ("license_name", 4)],
                rows=[("", ""), ("S1", "CC0")], keys=[[1, 1], [1, 1]])]))
        surface = self.path("surface.h5")
        s102.write(surface, instances=[dict(
            shape=(1, 2), depth=[[3.0, 4.0]], range=(3.0, 4.0),
            origin=(500000.0, 4800000.0), spacing=(4.0, 4.0))],
            quality=dict(ids=[[1, 2]], rows=[
                dict(id=1, sourceSurveyID="A"), dict(id=2, sourceSurveyID="B")]))
        self.assertEqual(self.counts(), (5, 5, 0, 0, 0, 0))
        self.assertEqual(self.rows(
            "SELECT geometry_source, grid_read FROM surveys WHERE "
            "file_path = ?", path), [(None, 0)])
        # Read again with their grids, then kept whichever way asked.
        self.assertEqual(self.counts("--grid"), (5, 0, 2, 0, 3, 0))
        self.assertEqual(self.counts(), (5, 0, 0, 0, 5, 0))
        self.assertEqual(self.counts("--grid"), (5, 0, 0, 0, 5, 0))
        self.assertEqual(self.rows(
            "SELECT OBJNAM, DRVAL1, VERDAT, geom IS NOT NULL FROM "
            "source_surveys WHERE file_path = ? ORDER BY source", surface),
            [("A", 3.0, 12, 1), ("B", 4.0, 12, 1)])
        (row,) = self.rows(
            "SELECT geometry_source, file_format, source_survey_count, "
            "geom IS NOT NULL FROM surveys WHERE file_path = ?", path)
        self.assertEqual(row, ("footprint", "BAG", 1, 1))
        self.assertEqual(self.rows(
            "SELECT file_path, record, source, OBJNAM, licenseName, DRVAL1, "
            "DRVAL2 FROM source_surveys WHERE file_path = ?", path),
            [(path, 1, 1, "S1", "CC0", 1.0, 2.0)])
        # The query prints what reading the files with their grids does.
        files = sorted(os.path.join(self.files, name)
                       for name in os.listdir(self.files))
        for form in ((), ("--json",), ("--csv",), ("--geojson",)):
            with self.subTest(form=form):
                query = support.run_cli("query", self.gpkg, *form)
                read = support.run_cli("-j", "1", "--grid", *form, *files)
                self.assertEqual(query.stdout, read.stdout)


class IncrementalTest(CatalogCase):

    def test_add_change_delete_and_move(self):
        self.assertEqual(self.counts(), (3, 3, 0, 0, 0, 0))
        self.assertEqual(self.counts(), (3, 0, 0, 0, 3, 0))
        # A name whose bytes are no UTF-8 (an old tool's Latin-1) is known
        # again from run to run, stored with the byte as \xe9.
        added = os.fsdecode(b"added\xe9.xml")
        shutil.copy(self.path(KNOWN), self.path(added))
        self.assertEqual(self.counts(), (4, 1, 0, 0, 3, 0))
        with open(self.path(added), "a") as stream:
            stream.write("<!-- edited -->\n")
        self.assertEqual(self.counts(), (4, 0, 1, 0, 3, 0))
        os.remove(self.path(EXAMPLES[0]))
        self.assertEqual(self.counts(), (3, 0, 0, 1, 3, 0))
        os.makedirs(self.path("moved"))
        os.rename(self.path(added), self.path("moved/" + added))
        self.assertEqual(self.counts(), (3, 1, 0, 1, 2, 0))
        self.assertEqual(sorted(path for (path,) in self.rows(
            "SELECT file_path FROM surveys")), sorted(
            [self.path(name) for name in EXAMPLES[1:]]
            + [self.path("moved/added\\xe9.xml")]))
        # Every file read again; the rows of other paths stay.
        self.assertEqual(self.counts("--full"), (3, 0, 3, 0, 0, 0))
        self.assertEqual(self.rows("SELECT count(*) FROM surveys"), [(3,)])

    def test_progress_on_a_terminal(self):
        for number in range(21):
            shutil.copy(self.path(KNOWN), self.path("copy_%02d.xml" % number))
        status, output, received = support.run_cli_on_terminal(
            "catalog", self.files, "--to", self.gpkg)
        self.assertEqual(status, 0, received)
        self.assertEqual(counts_of(output), (24, 24, 0, 0, 0, 0))
        self.assertIn("\r[1/24]", received)
        self.assertIn("\r[24/24]", received)
        self.assertTrue(received.endswith("\r" + " " * 7 + "\r"), received)

    def test_verify_compares_the_content(self):
        self.counts()
        path = self.path(KNOWN)
        status = os.stat(path)
        with open(path, "r+b") as stream:
            text = stream.read()
            stream.seek(0)
            stream.write(text.replace(b"Survey Vessel One",
                                      b"Survey Vessel Two"))
        os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns))
        self.assertEqual(self.counts(), (3, 0, 0, 0, 3, 0))
        self.assertEqual(self.counts("--verify"), (3, 0, 1, 0, 2, 0))
        self.assertEqual(self.rows(
            "SELECT planam FROM surveys WHERE file_path = ?", path),
            [("Survey Vessel Two",)])

    def test_rows_of_other_paths_stay(self):
        other = os.path.join(self.tmp, "other")
        os.makedirs(other)
        shutil.copy(self.path(KNOWN), os.path.join(other, KNOWN))
        self.catalog(other)
        self.assertEqual(self.counts(), (3, 3, 0, 0, 0, 0))
        self.assertEqual(self.rows("SELECT count(*) FROM surveys"), [(4,)])
        # A path given that is not there (a share not mounted) keeps the
        # rows below it; it is said, and counted so.
        os.rename(other, other + ".away")
        result = self.catalog(self.files, other, status=1)
        self.assertEqual(counts_of(result.stdout), (4, 0, 0, 0, 4, 1))
        self.assertIn("keeps the rows of the files it holds below it",
                      result.stderr)
        self.assertEqual(self.rows("SELECT count(*) FROM surveys"), [(4,)])
        # Two names that read alike once the one beyond UTF-8 is stored:
        # the second is not read, and said so, rather than lost unseen.
        shutil.copy(self.path(KNOWN), self.path("a\\xe9.xml"))
        shutil.copy(self.path(KNOWN), self.path(os.fsdecode(b"a\xe9.xml")))
        result = self.catalog(self.files, status=1)
        self.assertEqual(counts_of(result.stdout), (4, 1, 0, 0, 3, 1))
        self.assertIn("rename one of them", result.stderr)


class CrashTest(CatalogCase):

    def setUp(self):
        super().setUp()
        for number in range(20):
            shutil.copy(self.path(EXAMPLES[number % 3]),
                        self.path("copy_%02d.xml" % number))
        self.addCleanup(self.end_children)
        self.children = []

    def end_children(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
            child.communicate()

    def paused_run(self):
        """A run stopped with its third transaction open."""
        child = support.start_child(PAUSED_RUN, self.files, self.gpkg)
        self.children.append(child)
        self.assertEqual(child.stdout.readline(), "writing\n")
        return child

    @needs_ogrinfo
    def test_killed_run_then_resumed(self):
        child = self.paused_run()
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        # Two transactions of 5 files were committed; the third is gone
        # once the catalogue is opened for update (by GDAL here, as a GIS
        # or the next run would), which rolls it back.
        self.assertTrue(os.path.exists(self.gpkg + "-journal"))
        result = subprocess.run([OGRINFO, "-so", self.gpkg, "surveys"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Feature Count: 10", result.stdout)
        self.assertIn("Feature Count: 10",
                      self.ogrinfo("-so", layers=["surveys"]))
        self.assertEqual(self.rows("PRAGMA integrity_check"), [("ok",)])
        self.assertEqual(self.rows(
            "SELECT count(*), count(DISTINCT file_path), count(file_hash) "
            "FROM surveys"), [(10, 10, 10)])
        self.assertEqual(self.counts(), (23, 13, 0, 0, 10, 0))
        self.assertEqual(self.rows(
            "SELECT count(*), count(DISTINCT file_path) FROM surveys"),
            [(23, 23)])

    def test_killed_while_making_the_catalogue(self):
        child = support.start_child("""
            import sys
            from bathyra import _catalog_store
            prepare = _catalog_store.Store.prepare
            def paused(self):
                prepare(self)
                print("made", flush=True)
                sys.stdin.readline()
            _catalog_store.Store.prepare = paused
            from bathyra import survey_catalog
            survey_catalog.catalog([sys.argv[1]], sys.argv[2])
        """, self.files, self.gpkg)
        self.children.append(child)
        self.assertEqual(child.stdout.readline(), "made\n")
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        self.assertFalse(os.path.exists(self.gpkg))
        self.assertEqual(self.counts(), (23, 23, 0, 0, 0, 0))
        self.assertFalse(os.path.exists(self.gpkg + ".new"))

    def test_two_runs_at_once(self):
        child = self.paused_run()
        refused = self.catalog(self.files, status=1)
        self.assertIn("another run is writing to this catalogue",
                      refused.stderr)
        waiting = subprocess.Popen(
            [support.sys.executable, "-m", "bathyra", "catalog", "--wait",
             self.files, "--to", self.gpkg], stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, **support._child_options(
                support.BUILD_DIR))
        self.children.append(waiting)
        child.stdin.write("go on\n")
        child.stdin.flush()
        self.assertEqual(child.communicate()[0], "23 0\n")
        out, err = waiting.communicate()
        self.assertEqual(waiting.returncode, 0, err)
        self.assertEqual(counts_of(out), (23, 0, 0, 0, 23, 0))
        self.assertEqual(self.rows(
            "SELECT count(*), count(DISTINCT file_path) FROM surveys"),
            [(23, 23)])


class QueryTest(CatalogCase):

    def setUp(self):
        super().setUp()
        self.write("files/a.xml", survey_document(
            "A", parties=party("NOAA Office of Coast Survey", "originator"),
            extents=period("2019-03-14", "2019-03-20")
            + depth_range("-35.2", "-1.5")
            + bounding_box(-70.3, 43.6, -70.2, 43.7)))
        self.write("files/b.xml", survey_document(
            "B", parties=party("Canadian Hydrographic Service", "owner"),
            extents=period("2010-05", "2010-06") + depth_range("-8", "-0.5")
            + bounding_box(-64, 44, -63, 45)))
        self.write("files/c.xml", survey_document(
            "C", parties=party("Servicio Hidrográfico", "owner"),
            extents=period("2021", "2021")
            + depth_range("-120", "-20")))
        self.catalog(self.files)

    def query(self, *args):
        result = support.run_cli("query", self.gpkg, *args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def names(self, *args):
        return [json.loads(line)["OBJNAM"] for line in
                self.query("--json", *args).splitlines()
                if json.loads(line)["OBJNAM"] in ("A", "B", "C")]

    def test_filters(self):
        for args, expected in (
                ((), ["A", "B", "C"]),
                (("--since", "2019"), ["A", "C"]),
                (("--until", "2010-05-31"), ["B"]),
                (("--since", "2021-06"), ["C"]),
                (("--until", "20100501"), ["B"]),
                (("--deeper-than", "30"), ["A", "C"]),
                (("--shallower-than", "1"), ["B"]),
                (("--authority", "noaa"), ["A"]),
                (("--authority", "Hydrographic"), ["B"]),
                # Case aside beyond ASCII too.
                (("--authority", "HIDROGRÁFICO"), ["C"]),
                (("--authority", "100%"), []),
                (("--bbox", "-71", "43", "-70", "44"), ["A"]),
                (("--bbox", "-71", "43", "-60", "46", "--since", "2015"),
                 ["A"]),
                # Across the antimeridian: east of 170, west of -170.
                (("--bbox", "170", "40", "-170", "50"), []),
                (("--bbox", "0", "40", "-60", "50"), ["A", "B"])):
            with self.subTest(args=args):
                self.assertEqual(self.names(*args), expected)

    def test_forms_are_those_of_the_reading(self):
        files = sorted(os.path.join(self.files, name)
                       for name in os.listdir(self.files))
        for form in ((), ("--json",), ("--csv",), ("--geojson",)):
            with self.subTest(form=form):
                read = support.run_cli("-j", "1", *form, *files)
                self.assertEqual(self.query(*form), read.stdout)

    def test_flatgeobuf(self):
        # A catalogue is not kept in FlatGeobuf; its export is queried.
        result = support.run_cli("catalog", self.files, "--to",
                                 os.path.join(self.tmp, "surveys.fgb"))
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("write the catalogue to a GeoPackage", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.tmp,
                                                     "surveys.fgb")))
        ogr2ogr = shutil.which("ogr2ogr")
        if ogr2ogr is None:
            self.skipTest("GDAL's ogr2ogr is not installed (apt-get install "
                          "gdal-bin)")
        exported = os.path.join(self.tmp, "export.fgb")
        subprocess.run([ogr2ogr, "-f", "FlatGeobuf", exported, self.gpkg,
                        "surveys"], check=True, capture_output=True)
        result = support.run_cli("query", exported, "--json", "--since",
                                 "2000", "--authority", "noaa")
        self.assertEqual(result.returncode, 0, result.stderr)
        # The file without a box has no feature there.
        self.assertEqual([json.loads(line)["OBJNAM"] for line in
                          result.stdout.splitlines()][:1], ["A"])
        self.assertEqual(len(result.stdout.splitlines()),
                         len(self.query("--json", "--since", "2000",
                                        "--authority", "noaa", "--bbox",
                                        "-180", "-90", "180",
                                        "90").splitlines()))

    def test_usage_and_missing_catalogue(self):
        result = support.run_cli("query", self.gpkg, "--since", "2019-13")
        self.assertEqual(result.returncode, 2)
        self.assertIn("is no date", result.stderr)
        result = support.run_cli("query", self.gpkg, "--bbox", "nan", "0",
                                 "1", "1")
        self.assertEqual(result.returncode, 2)
        self.assertIn("a box is four numbers", result.stderr)
        result = support.run_cli("query", self.gpkg, "--deeper-than", "nan")
        self.assertEqual(result.returncode, 2)
        self.assertIn("takes a depth in metres", result.stderr)
        missing = os.path.join(self.tmp, "missing.gpkg")
        result = support.run_cli("query", missing)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("missing.gpkg: no such catalogue", result.stderr)


@unittest.skipUnless(os.environ.get("BATHYRA_TEST_PG"),
                     "no database to write to: set BATHYRA_TEST_PG to a "
                     "PostgreSQL connection (PG:dbname=... host=...) whose "
                     "catalogue layers the test may replace")
class DatabaseTest(CatalogCase):

    def test_catalogue_in_a_database(self):
        database = os.environ["BATHYRA_TEST_PG"]

        def run(*args):
            result = support.run_cli(*args)
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout

        # The layers start empty: a run keeps the rows of other paths.
        from bathyra._catalog_store import Store
        run("catalog", self.files, "--to", database)
        store = Store(database, "update")
        try:
            for layer in ("surveys", "source_surveys", "failures"):
                store.dataset.remove(store.layers[layer], "")
        finally:
            store.close()
        self.assertEqual(counts_of(run("catalog", self.files, "--to",
                                       database)), (3, 3, 0, 0, 0, 0))
        os.remove(self.path(EXAMPLES[0]))
        self.assertEqual(counts_of(run("catalog", self.files, "--to",
                                       database)), (2, 0, 0, 1, 2, 0))
        self.catalog(self.files)
        for form in ((), ("--csv",), ("--json",)):
            with self.subTest(form=form):
                self.assertEqual(
                    run("query", database, "--since", "2019", *form),
                    run("query", self.gpkg, "--since", "2019", *form))
        # Two runs at once: the second is refused.
        for number in range(20):
            shutil.copy(self.path(EXAMPLES[1]), self.path("c%d.xml" % number))
        child = support.start_child(PAUSED_RUN, self.files, database)
        self.addCleanup(child.communicate)
        self.addCleanup(child.kill)
        self.assertEqual(child.stdout.readline(), "writing\n")
        result = support.run_cli("catalog", self.files, "--to", database)
        self.assertEqual(result.returncode, 1)
        self.assertIn("another run is writing to this catalogue",
                      result.stderr)
        child.kill()


@needs_gdal
class ModuleTest(support.FolderMixin, unittest.TestCase):
    """bathyra._catalog itself: its failures and its references."""

    def test_failures_and_references(self):
        from bathyra.errors import CatalogError
        with self.assertRaises(TypeError):
            _catalog.Catalog()
        path = os.path.join(self.tmp, "t.gpkg")
        catalog = _catalog.open(path, "t.gpkg", "GPKG", "create")
        layer = catalog.layer("t", True, [("name", "text"),
                                          ("depth", "real")])
        with self.assertRaises(ValueError):
            catalog.layer("u", False, [("name", "colour")])
        with self.assertRaises(TypeError):
            catalog.insert(layer, ("a", b"1.5"), None)
        with self.assertRaises(CatalogError) as caught:
            catalog.insert(layer, ("a",), None)
        self.assertEqual(caught.exception.destination, "t.gpkg")
        with self.assertRaises(CatalogError) as caught:
            catalog.insert(layer, ("a", 1.5), '{"type": "Point"}')
        self.assertIn("no GeoJSON geometry", caught.exception.reason)
        with self.assertRaises(CatalogError):
            catalog.read(layer, ("name",), where="name = = 'a'")
        with self.assertRaises(CatalogError):
            catalog.read(layer, ("colour",))
        box = ('{"type": "Polygon", "coordinates": [[[0, 0], [1, 0], '
               '[1, 1], [0, 0]]]}')

        def round_trip():
            catalog.insert(layer, ("a", 1.5), box)
            catalog.read(layer, ("name", "depth"), box=(0, 0, 1, 1),
                         where="\"name\" = 'a'", geometry=True)
            catalog.remove(layer, "\"name\" = 'a'")

        self.assertLess(support.growth(round_trip, 200)[0], 100)
        catalog.insert(layer, ("b", None), None)
        self.assertEqual(catalog.read(layer, ("name", "depth"),
                                      geometry=True), [("b", None, None)])
        catalog.close()
        with self.assertRaises(CatalogError) as caught:
            catalog.read(layer, ("name",))
        self.assertEqual(caught.exception.reason, "the catalogue is closed")
        with self.assertRaises(CatalogError):
            _catalog.open(os.path.join(self.tmp, "none.gpkg"), "none",
                          "GPKG", "read")


class LoadingTest(unittest.TestCase):

    def test_loaded_on_first_use_only(self):
        result = support.run_child("""
            import sys
            import bathyra
            bathyra.read_survey(sys.argv[1])
            print("bathyra._catalog" in sys.modules)
            print(callable(bathyra.catalog))
        """, argv=[os.path.join(support.EXAMPLES_DIR, KNOWN)])
        self.assertEqual(result.stdout, "False\nTrue\n", result.stderr)

    def test_without_gdal(self):
        result = support.run_child("""
            import sys
            sys.modules["bathyra._catalog"] = None
            import bathyra
            try:
                bathyra.catalog(["x"], "x.gpkg")
            except ImportError as error:
                print(type(error).__name__, isinstance(
                    error, bathyra.BathyraError))
                print(error)
            sys.argv[0] = "bathyra"
            from bathyra.cli import main
            sys.exit(main(["query", "x.gpkg"]))
        """)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "CatalogSupportMissing True")
        self.assertIn("needs GDAL", lines[1])
        self.assertIn("apt-get install libgdal-dev", lines[1])
        self.assertEqual(result.returncode, 1)
        self.assertIn("bathyra: the survey catalogue needs GDAL",
                      result.stderr)
