"""The catalogue beyond one process: its files read on a dask.distributed
cluster (a LocalCluster of worker processes) give the rows that -j gives,
a worker that dies costs only the file it died on, a cluster left without
workers stops the run with what it saved kept, dask is imported only
when asked for; a PostGIS database, in a throw-away PostgreSQL cluster
started here, holds the surveys as PostGIS geometry with a GiST index
that psql's spatial query uses."""
import logging
import os
import shutil
import subprocess
import tempfile
import time
import unittest
from unittest import mock

from tests import support
from tests.test_catalog import CatalogCase, counts_of

NO_DASK = support.distributed_or_reason()


def _dies_on_bad(task):
    """A reader for the cluster's workers that ends its worker on "bad"."""
    if task == "bad":
        os._exit(3)
    return "read " + task


class SchedulerTest(CatalogCase):

    @unittest.skipIf(NO_DASK, NO_DASK)
    def test_a_worker_that_dies_costs_one_file(self):
        import dask
        from distributed import LocalCluster
        from bathyra import _catalog_dask
        tasks = ["f%02d" % number for number in range(10)]
        tasks.insert(6, "bad")
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
            with LocalCluster(n_workers=2, threads_per_worker=1,
                              processes=True, dashboard_address=None,
                              silence_logs=logging.CRITICAL) as cluster:
                got = dict(_catalog_dask.outcomes(
                    cluster.scheduler_address, _dies_on_bad, tasks,
                    lambda reason: "lost: " + reason, "it stopped"))
        self.assertEqual(got, {task: "lost: it stopped" if task == "bad"
                               else "read " + task for task in tasks})

    @unittest.skipIf(NO_DASK, NO_DASK)
    def test_read_on_a_local_cluster(self):
        from distributed import LocalCluster
        for number in range(40):  # a few chunks of files
            shutil.copy(self.path("survey_h13045_multibeam.xml"),
                        self.path("copy%02d.xml" % number))
        self.write("files/broken.xml", b"<not a survey")
        local = os.path.join(self.tmp, "local.gpkg")
        result = support.run_cli("catalog", self.files, "--to", local,
                                 "-j", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None,
                          silence_logs=logging.CRITICAL) as cluster:
            cluster_run = self.catalog(self.files, "--scheduler",
                                       cluster.scheduler_address, status=1)
        self.assertEqual(counts_of(cluster_run.stdout),
                         counts_of(result.stdout))
        self.assertIn("broken.xml", cluster_run.stderr)
        for form in ("--json", "--csv"):
            self.assertEqual(
                support.run_cli("query", self.gpkg, form).stdout,
                support.run_cli("query", local, form).stdout)
        # Run again: nothing is read, on the cluster or here.
        self.assertEqual(counts_of(self.catalog(
            self.files, "--scheduler", "tcp://127.0.0.1:1",
            status=1).stdout)[1:5], (0, 0, 0, 44))

    @unittest.skipIf(NO_DASK, NO_DASK)
    def test_a_cluster_without_workers_stops_the_run(self):
        from distributed import LocalCluster
        from bathyra import _catalog_dask, catalog
        from bathyra.errors import CatalogError
        for number in range(40):  # three chunks of files
            shutil.copy(self.path("survey_h13045_multibeam.xml"),
                        self.path("copy%02d.xml" % number))
        with mock.patch.object(_catalog_dask, "NO_WORKERS_SECONDS", 0.5), \
                LocalCluster(n_workers=1, threads_per_worker=1,
                             processes=False, dashboard_address=None,
                             silence_logs=logging.CRITICAL) as cluster:

            def progress(done, total):
                # Two batches saved: the only worker leaves, with the
                # outcomes of the third chunk, not yet fetched.
                if done == 20:
                    cluster.scale(0)
                    while cluster.scheduler.workers:
                        time.sleep(0.01)

            # The worker gone mid-run, then none from the start.
            for _ in range(2):
                started = time.monotonic()
                with self.assertRaises(CatalogError) as caught:
                    catalog([self.files], self.gpkg, batch=10,
                            scheduler=cluster.scheduler_address,
                            progress=progress)
                self.assertIn("has had no workers to read the files for "
                              "0.5 s", str(caught.exception))
                self.assertLess(time.monotonic() - started, 20)  # not 30
        # The batches saved are kept; the next run reads the rest.
        self.assertEqual(self.counts(), (43, 13, 0, 0, 30, 0))

    def test_dask_only_when_asked(self):
        result = support.run_child("""
            import sys
            import bathyra
            bathyra.catalog([sys.argv[1]], sys.argv[2], jobs=2)
            print(sorted(name for name in sys.modules
                         if name.split(".")[0] in ("dask", "distributed")))
        """, argv=[self.files, self.gpkg])
        self.assertEqual(result.stdout, "[]\n", result.stderr)
        os.remove(self.gpkg)
        result = support.run_child("""
            import sys
            sys.modules["distributed"] = None
            sys.argv[0] = "bathyra"
            from bathyra.cli import main
            sys.exit(main(["catalog", sys.argv[1], "--to", sys.argv[2],
                           "--scheduler", "tcp://127.0.0.1:8786"]))
        """, argv=[self.files, self.gpkg])
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("--scheduler) needs dask.distributed", result.stderr)
        self.assertIn("apt-get install python3-distributed", result.stderr)
        self.assertFalse(os.path.exists(self.gpkg))
        result = support.run_cli("catalog", self.files, "-j", "2",
                                 "--scheduler", "x")
        self.assertEqual(result.returncode, 2)


def _postgres_or_reason():
    """The folder of PostgreSQL's programs with PostGIS beside them, or
    why the test cannot start a cluster."""
    folder = "/usr/lib/postgresql"
    versions = sorted(os.listdir(folder), key=lambda v: int(v)) \
        if os.path.isdir(folder) else []
    if not versions:
        return None, "PostgreSQL is not installed (./dev installs " \
                     "postgresql and postgis)"
    version = versions[-1]
    if not os.path.exists("/usr/share/postgresql/%s/extension/postgis."
                          "control" % version):
        return None, "PostGIS is not installed (./dev installs postgis)"
    if shutil.which("psql") is None:
        return None, "psql is not installed"
    if os.geteuid() == 0 and shutil.which("runuser") is None:
        return None, "PostgreSQL does not run as root, and runuser is missing"
    return os.path.join(folder, version, "bin"), None


PG_BIN, NO_POSTGRES = _postgres_or_reason()
# PostgreSQL's programs run without the sanitizers' runtime that a
# sanitized test run preloads (postgres hangs under it); each has a bound.
PG_ENV = {name: value for name, value in os.environ.items()
          if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
PG_TIMEOUT = 120


@unittest.skipIf(NO_POSTGRES, NO_POSTGRES)
class PostgisTest(CatalogCase):

    def setUp(self):
        super().setUp()
        self.cluster = tempfile.mkdtemp(prefix="bathyra-pg-")
        self.addCleanup(shutil.rmtree, self.cluster, ignore_errors=True)
        # PostgreSQL refuses root: as root, the server runs as nobody.
        self.user = "nobody" if os.geteuid() == 0 else None
        if self.user:
            shutil.chown(self.cluster, self.user)
        data = os.path.join(self.cluster, "data")
        self.server("initdb", "-D", data, "-A", "trust", "-U", "bathyra")
        self.server("pg_ctl", "-D", data, "-l",
                    os.path.join(self.cluster, "log"), "-w", "-o",
                    "-c listen_addresses='' -k %s -p 5499" % self.cluster,
                    "start")
        self.addCleanup(self.server, "pg_ctl", "-D", data, "-m", "fast",
                        "-w", "stop")
        self.database = ("PG:dbname=postgres host=%s port=5499 "
                         "user=bathyra" % self.cluster)

    def server(self, program, *args):
        command = [os.path.join(PG_BIN, program), *args]
        if self.user:
            command = ["runuser", "-u", self.user, "--"] + command
        result = subprocess.run(command, capture_output=True, text=True,
                                cwd=self.cluster, env=PG_ENV,
                                timeout=PG_TIMEOUT)
        if result.returncode and program == "initdb":
            self.skipTest("no PostgreSQL cluster can be made here: %s"
                          % result.stderr.strip()[-300:])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def psql(self, sql):
        result = subprocess.run(
            ["psql", "-X", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h",
             self.cluster, "-p", "5499", "-U", "bathyra", "-d", "postgres",
             "-c", sql], capture_output=True, text=True, env=PG_ENV,
            timeout=PG_TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def test_surveys_in_postgis(self):
        # PostGIS is installed, not enabled: the first run enables it.
        self.write("files/broken.xml", b"<not a survey")
        result = support.run_cli("catalog", self.files, "--to",
                                 self.database)
        self.assertEqual(counts_of(result.stdout), (4, 4, 0, 0, 0, 1),
                         result.stderr)
        column, kind, srid = self.psql(
            "SELECT f_geometry_column, type, srid FROM geometry_columns "
            "WHERE f_table_name = 'surveys'").split("|")
        self.assertEqual((column, kind, srid),
                         ("geom", "MULTIPOLYGON", "4326"))
        self.assertIn("USING gist", self.psql(
            "SELECT indexdef FROM pg_indexes WHERE tablename = 'surveys'"))
        # The box of the known survey finds it, through the index.
        spatial = ('SELECT count(*) FROM surveys WHERE "%s" && '
                   "ST_MakeEnvelope(-70.3, 43.6, -70.2, 43.7, 4326)" % column)
        self.assertNotEqual(self.psql(spatial), "0")
        plan = self.psql("SET enable_seqscan = off; EXPLAIN " + spatial)
        self.assertIn("Index Scan", plan)
        self.assertEqual(self.psql("SELECT count(*) FROM failures"), "1")
        self.catalog(self.files, status=1)
        self.assertEqual(
            support.run_cli("query", self.database, "--json").stdout,
            support.run_cli("query", self.gpkg, "--json").stdout)
