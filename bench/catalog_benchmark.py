"""Speed of the survey catalogue, against what it is held to:

  1. a first run over 10,000 mixed files (the corpus's metadata files and
     BAG files under new names) with -j 2, against the pipeline a user
     would write instead (bench/peer_catalog.py: lxml in a multiprocessing
     pool, GeoJSON, ogr2ogr to a GeoPackage; target: faster) and against
     reading the same files with `bathyra --json -j 2` (target: the
     catalogue costs at most 1.3 times the reading)
  2. a run over the same files with nothing changed since (target: under
     0.5 s): one read of the catalogue's key columns and a stat of each
     file
  3. a query by box and date on a catalogue of 100,000 surveys (target:
     under 10 ms): the GeoPackage's R-tree and the index of the dates

    python bench/catalog_benchmark.py [--quick] [--corpus FOLDER]

Run it with the build tree on the path; it needs bathyra._catalog (GDAL),
and for the peer lxml, h5py and ogr2ogr (run it with Debian's python3 and
its build for the peer; without them the peer is left out).  The files
are hard links to the corpus's files (default ../shared/corpus beside the
repository; the bundled examples where it is absent), so that their
content is read as often as there are names; the 100,000 surveys are
written through the catalogue's store with boxes and dates drawn at
random.  The first runs are timed once each (a second would not be
cold); the others are the median of several rounds.
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(os.path.dirname(HERE), "examples",
                       "survey_h13045_multibeam.xml")
CORPUS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared",
                      "corpus")
PEER = os.path.join(HERE, "peer_catalog.py")
RERUN_TARGET = 0.5
QUERY_TARGET = 0.010
OWN_COST_TARGET = 1.3


def median_time(call, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def mixed_files(folder, corpus, files):
    """`files` names under folder/files, hard links (or copies) of the
    corpus's metadata and BAG files in turn; the folder."""
    originals = sorted(
        os.path.join(top, name) for top, _, names in os.walk(corpus)
        for name in names if name.endswith((".xml", ".bag")))
    target = os.path.join(folder, "files")
    for number in range(files):
        original = originals[number % len(originals)]
        sub = os.path.join(target, "%03d" % (number % 100))
        os.makedirs(sub, exist_ok=True)
        name = os.path.join(sub, "f%06d%s" % (
            number, os.path.splitext(original)[1]))
        try:
            os.link(original, name)
        except OSError:
            shutil.copyfile(original, name)
    return target


def timed_command(*command):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def peer_reason():
    try:
        import h5py  # noqa: F401
        import lxml  # noqa: F401
    except ImportError as error:
        return "not available (%s)" % error
    if shutil.which("ogr2ogr") is None:
        return "not available (no ogr2ogr)"
    return None


def cold_runs(folder, files):
    """Seconds of the first catalogue run, of the reading alone, and of
    the peer (None where it cannot run), with -j 2."""
    cli = (sys.executable, "-m", "bathyra")
    catalogue = timed_command(*cli, "catalog", files, "--to",
                              os.path.join(folder, "cold.gpkg"), "-j", "2",
                              "-q")
    reading = timed_command(*cli, "--json", "-j", "2", files)
    peer = None
    if peer_reason() is None:
        peer = timed_command(sys.executable, PEER, files,
                             os.path.join(folder, "peer.gpkg"), "-j", "2")
    return catalogue, reading, peer


def query(folder, rows):
    import bathyra
    from bathyra import _catalog_schema as schema
    from bathyra import survey_catalog
    from bathyra._catalog_store import Store
    base = bathyra.read_survey(EXAMPLE).to_dict()
    target = os.path.join(folder, "big.gpkg")
    store = Store(target, "create")
    store.prepare()
    draw = random.Random(1)
    store.begin()
    for number in range(rows):
        data = dict(base)
        west, south = draw.uniform(-180, 179), draw.uniform(-80, 79)
        data["bbox"] = [west, south, west + draw.uniform(0.01, 1),
                        south + draw.uniform(0.01, 1)]
        year = draw.randint(1990, 2024)
        data["SURSTA"] = "%d%02d01" % (year, draw.randint(1, 12))
        data["SUREND"] = "%d1231" % year
        info = survey_catalog.FileInfo("/survey/%07d.xml" % number, 1000, 1,
                                       "0", "XML", None, time.time(),
                                       False)
        values, geometry = schema.survey_row(info, data, 1, 1)
        store.dataset.insert(store.layers["surveys"], values, geometry)
    store.commit()
    store.close()
    found = bathyra.query_catalog(target, bbox=(-10, 40, 0, 50),
                                  since="2020")
    took = median_time(lambda: bathyra.query_catalog(
        target, bbox=(-10, 40, 0, 50), since="2020"), 20)
    return took, len(found)


def main(argv):
    quick = "--quick" in argv
    corpus = argv[argv.index("--corpus") + 1] if "--corpus" in argv else (
        CORPUS if os.path.isdir(CORPUS) else os.path.dirname(EXAMPLE))
    files, rows = (1000, 10000) if quick else (10000, 100000)
    folder = tempfile.mkdtemp()
    passed = True
    try:
        tree = mixed_files(folder, corpus, files)
        catalogue, reading, peer = cold_runs(folder, tree)
        print("first run over %d mixed files, -j 2: catalogue %.2f s, "
              "reading alone (--json) %.2f s: %.2fx (target %.1fx)"
              % (files, catalogue, reading, catalogue / reading,
                 OWN_COST_TARGET))
        passed = catalogue / reading <= OWN_COST_TARGET
        if peer is None:
            print("peer pipeline (lxml, GeoJSON, ogr2ogr): %s"
                  % peer_reason())
        else:
            print("peer pipeline (lxml, GeoJSON, ogr2ogr), -j 2: %.2f s: "
                  "the catalogue takes %.2fx its time (target: under 1)"
                  % (peer, catalogue / peer))
            passed = passed and catalogue < peer
        import bathyra
        target = os.path.join(folder, "cold.gpkg")
        rerun = median_time(lambda: bathyra.catalog([tree], target), 5)
        print("unchanged run over the same %d files: %.3f s (target %.1f "
              "s)" % (files, rerun, RERUN_TARGET))
        took, found = query(folder, rows)
        print("query by box and date on %d surveys: %.1f ms, %d found "
              "(target %.0f ms)" % (rows, took * 1000, found,
                                    QUERY_TARGET * 1000))
    finally:
        shutil.rmtree(folder)
    passed = passed and rerun < RERUN_TARGET and took < QUERY_TARGET
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
