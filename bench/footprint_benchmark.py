"""The grid pass with the footprint, against the tools a user would run for
the same answers, timed in one run with interleaved rounds.

    PYTHONPATH=build python3.9 bench/footprint_benchmark.py [--rounds N]
        [--bag FILE] [--size N]

Files: the real 1478 x 1707 grid of the shared corpus
(legacy_v14_smxml_grid.bag) and a generated N x N grid (default 4000;
20000 for 400 million nodes) with a hole in each tile of 41 x 53 nodes,
written here with bathyra.bag.write.  For each file:
  bathyra     read_survey(path, grid=True): the metadata, the pass over
              every node (range, uncertainty, count) and the footprint in
              WGS 84, in the helper process
  pass        bag.open(path, grid=True): the pass alone (range,
              uncertainty range, count; no metadata reading, no footprint)
  GDAL        gdalinfo -stats (the range), then gdal_polygonize.py -b mask
              (the footprint, in the file's CRS, unsimplified), two
              processes as a user runs them
  h5py        h5py + numpy in /usr/bin/python3: the elevation read whole,
              min and max of the nodes that hold data (no footprint)
  H5Dread     the physical limit: one H5Dread of the elevation and one of
              the uncertainty (where the file has one) into arrays made beforehand (h5py's
              read_direct, decompression included), timed inside the
              process, so without its start
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
BARE_READ = """
import sys, time, h5py, numpy
with h5py.File(sys.argv[1], "r") as f:
    sets = [f[name] for name in ("BAG_root/elevation", "BAG_root/uncertainty")
            if name in f]
    arrays = [numpy.empty(s.shape, s.dtype) for s in sets]
    start = time.perf_counter()
    for s, a in zip(sets, arrays):
        s.read_direct(a)
    print(time.perf_counter() - start)
"""


def generated(folder, size):
    """A size x size grid of 10 m nodes in UTM 19N, with holes of a node
    in a tile of 41 x 53 nodes (some 7000 holes in 4000 x 4000)."""
    from bathyra import bag
    from tests.documents import document
    rows = cols = size
    fill = 1000000.0
    tile = [[fill if (r, c) == (20, 26) else -5.0 - 0.01 * c
             for c in range(53)] for r in range(41)]
    doc = document(grid=(rows, cols, "500005,5000005 %d,%d" % (
        500005 + 10 * (cols - 1), 5000005 + 10 * (rows - 1)), 10.0,
        "32619")).encode()
    path = os.path.join(folder, "generated_%d.bag" % size)
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
    parser.add_argument("--size", type=int, default=4000)
    options = parser.parse_args()
    sys.path.insert(0, os.path.dirname(HERE))
    from bathyra import bag, survey
    folder = tempfile.mkdtemp(prefix="footprint-bench-")
    files = [options.bag, generated(folder, options.size)]
    out = os.path.join(folder, "polygonized.geojson")
    for path in files:
        times = {"bathyra": [], "pass": [], "GDAL": [], "h5py": [],
                 "H5Dread": []}
        sizes = {}
        for _ in range(options.rounds):
            spent, result = timed(lambda: survey.read_survey(path, grid=True))
            times["bathyra"].append(spent)
            sizes["bathyra"] = len(str(result.footprint))
            notes = [m for a, m in result.problems if a == "footprint"]
            times["pass"].append(timed(lambda: bag.open(path, grid=True))[0])

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
            times["H5Dread"].append(float(subprocess.run(
                (SYSTEM_PYTHON, "-c", BARE_READ, path), check=True,
                capture_output=True, text=True).stdout))
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
