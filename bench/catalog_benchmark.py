"""Speed of the survey catalogue, against what it is held to:

  1. a run over 10,000 files that have not changed since the last run
     (target: under 0.5 s): one read of the catalogue's key columns and a
     stat of each file
  2. a query by box and date on a catalogue of 100,000 surveys (target:
     under 10 ms): the GeoPackage's R-tree and the index of the dates

    python bench/catalog_benchmark.py [--quick]

Run it with the build tree on the path; it needs bathyra._catalog (GDAL).
The files are copies of an example; the 100,000 surveys are written
through the catalogue's store with boxes and dates drawn at random.  Each
time is the median of several rounds.
"""
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(os.path.dirname(HERE), "examples",
                       "survey_h13045_multibeam.xml")
RERUN_TARGET = 0.5
QUERY_TARGET = 0.010


def median_time(call, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def unchanged_run(folder, files):
    import bathyra
    with open(EXAMPLE, "rb") as stream:
        data = stream.read()
    for number in range(files):
        sub = os.path.join(folder, "files", "%03d" % (number % 100))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "s%06d.xml" % number), "wb") as out:
            out.write(data)
    target = os.path.join(folder, "files.gpkg")
    bathyra.catalog([os.path.join(folder, "files")], target)
    return median_time(lambda: bathyra.catalog([os.path.join(folder,
                                                             "files")],
                                               target), 5)


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
    files, rows = (1000, 10000) if quick else (10000, 100000)
    folder = tempfile.mkdtemp()
    try:
        rerun = unchanged_run(folder, files)
        print("unchanged run over %d files: %.3f s (target %.1f s)"
              % (files, rerun, RERUN_TARGET))
        took, found = query(folder, rows)
        print("query by box and date on %d surveys: %.1f ms, %d found "
              "(target %.0f ms)" % (rows, took * 1000, found,
                                    QUERY_TARGET * 1000))
    finally:
        shutil.rmtree(folder)
    return 0 if rerun < RERUN_TARGET and took < QUERY_TARGET else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
