"""The grid pass with the footprint, against the tools a user would run for
the same answers, timed in one run with interleaved rounds.

    PYTHONPATH=build python3.9 bench/footprint_benchmark.py [--rounds N]
        [--bag FILE]

Files: the real 1478 x 1707 grid of the shared corpus
(legacy_v14_smxml_grid.bag) and a generated 4000 x 4000 grid with a few
thousand holes, written here with bathyra.bag.write.  For each file:
  bathyra     read_survey(path, grid=True): the metadata, the pass over
              every node (range, uncertainty, count) and the footprint in
              WGS 84, in the helper process
  GDAL        gdalinfo -stats (the range), then gdal_polygonize.py -b mask
              (the footprint, in the file's CRS, unsimplified), two
              processes as a user runs them
  h5py        h5py + numpy in /usr/bin/python3: the elevation read whole,
              min and max of the nodes that hold data (no footprint)
Each time is the median of the rounds; ratios are to bathyra's time in the
same run.  The sizes of the footprints' GeoJSON are printed beside them.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared",
                      "corpus", "bag", "legacy_v14_smxml_grid.bag")
SYSTEM_PYTHON = "/usr/bin/python3"
H5PY_RANGE = """
import sys, h5py, numpy
with h5py.File(sys.argv[1], "r") as f:
    a = f["BAG_root/elevation"][()]
valid = numpy.isfinite(a) & (a != 1000000.0)
print(a[valid].min(), a[valid].max(), int(valid.sum()))
"""


def generated(folder):
    """A 4000 x 4000 grid of 10 m nodes in UTM 19N, with holes of a node
    in a tile of 41 x 53 nodes (some 7000 holes)."""
    from bathyra import bag
    from tests.documents import document
    rows = cols = 4000
    fill = 1000000.0
    tile = [[fill if (r, c) == (20, 26) else -5.0 - 0.01 * c
             for c in range(53)] for r in range(41)]
    doc = document(grid=(rows, cols, "500005,5000005 %d,%d" % (
        500005 + 10 * (cols - 1), 5000005 + 10 * (rows - 1)), 10.0,
        "32619")).encode()
    path = os.path.join(folder, "generated_4000.bag")
    bag.write(path, doc, grid=dict(shape=(rows, cols), tile=tile,
                                   chunk=256))
    return path


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--bag", default=CORPUS)
    options = parser.parse_args()
    sys.path.insert(0, os.path.dirname(HERE))
    from bathyra import survey
    folder = tempfile.mkdtemp(prefix="footprint-bench-")
    files = [options.bag, generated(folder)]
    out = os.path.join(folder, "polygonized.geojson")
    for path in files:
        times = {"bathyra": [], "GDAL": [], "h5py": []}
        sizes = {}
        for _ in range(options.rounds):
            spent, result = timed(lambda: survey.read_survey(path, grid=True))
            times["bathyra"].append(spent)
            sizes["bathyra"] = len(str(result.footprint))
            notes = [m for a, m in result.problems if a == "footprint"]

            def gdal():
                run("gdalinfo", "-stats", path)
                if os.path.exists(out):
                    os.unlink(out)
                run("gdal_polygonize.py", path, "-b", "mask", "-q", "-f",
                    "GeoJSON", out)
                # gdalinfo -stats leaves its statistics beside the file.
                for side in (path + ".aux.xml",):
                    if os.path.exists(side):
                        os.unlink(side)
            times["GDAL"].append(timed(gdal)[0])
            sizes["GDAL"] = os.path.getsize(out)
            times["h5py"].append(timed(lambda: run(
                SYSTEM_PYTHON, "-c", H5PY_RANGE, path))[0])
        base = statistics.median(times["bathyra"])
        print("%s (%d rounds)" % (os.path.basename(path), options.rounds))
        for tool, spent in times.items():
            median = statistics.median(spent)
            size = sizes.get(tool)
            print("  %-8s %7.3f s  x%5.2f  %s" % (
                tool, median, median / base,
                "footprint %d bytes" % size if size else "no footprint"))
        for note in notes:
            print("  bathyra's note: " + note)


if __name__ == "__main__":
    main()
