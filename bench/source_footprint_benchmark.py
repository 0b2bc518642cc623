"""What the footprints of source surveys cost: read_survey(path, grid=True)
on BAG 2.0 files with georeferenced metadata layers, in this build and in
a build of the code before them (which gathers the source surveys but
traces no footprint of theirs), timed in interleaved rounds.

    PYTHONPATH=build python3.9 bench/source_footprint_benchmark.py \\
        [--baseline OTHER_BUILD] [--rounds N]

Files: v200_georef_vr_layers.bag of the shared corpus (100 x 100 nodes, 9
source surveys) and a generated 4000 x 4000 grid of 10 m nodes in UTM 19N
with 300 source surveys (15 bands of rows by 20 of columns, the borders
between columns wavy) and a hole of a node in every 41 x 53 (some 7000
holes), written here with bathyra.bag.write.  Each round runs a fresh
interpreter per build: one read of the small file starts the helper
process and loads GDAL, then each file is read three times; the time is
the median over the rounds of each round's median, and the helper's peak
resident memory is read from /proc before and after the large file.  The extra cost is this
build's time less the baseline's.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(os.path.dirname(ROOT), "shared", "corpus", "bag",
                      "v200_georef_vr_layers.bag")

# Run in each build's interpreter: times each file, and the helper's
# resident memory around the reads of the last one.
CHILD = r"""
import json, sys, time
from bathyra import bag, survey
def vm(pid, field):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
paths = sys.argv[1:]
for _ in range(2):  # the helper and GDAL, loaded
    survey.read_survey(paths[0], grid=True)
out = {"times": [], "traced": [], "bytes": []}
for path in paths:
    pid = bag._helper.process.pid
    before = vm(pid, "VmHWM")
    times = []
    for _ in range(3):
        start = time.perf_counter()
        found = survey.read_survey(path, grid=True)
        times.append(time.perf_counter() - start)
    out["times"].append(sorted(times)[1])
    out["peak"] = vm(pid, "VmHWM") - before
    shapes = [s.footprint for s in found.source_surveys]
    out["traced"].append("%d of %d" % (
        sum(shape is not None for shape in shapes), len(shapes)))
    out["bytes"].append(sum(len(json.dumps(shape)) for shape in shapes
                            if shape))
print(json.dumps(out))
"""


def generated(folder):
    """The 4000 x 4000 grid with 300 source surveys."""
    import math
    from bathyra import bag
    sys.path.insert(0, ROOT)
    from tests.documents import document
    side, bands, columns = 4000, 15, 20
    fill = 1000000.0
    tile = [[fill if (r, c) == (20, 26) else -5.0 - 0.01 * c
             for c in range(53)] for r in range(41)]
    keys = []
    for r in range(side):
        band = r * bands // side
        shift = int(40 * math.sin(r / 60.0))
        row = []
        for column in range(columns):
            start = 0 if column == 0 else column * side // columns + shift
            end = side if column == columns - 1 else \
                (column + 1) * side // columns + shift
            row += [band * columns + column + 1] * (end - start)
        keys.append(row)
    rows = [("",)] + [("S%03d" % n,) for n in range(1, bands * columns + 1)]
    doc = document(grid=(side, side, "500005,5000005 %d,%d" % (
        500005 + 10 * (side - 1), 5000005 + 10 * (side - 1)), 10.0,
        "32619")).encode()
    path = os.path.join(folder, "surveys_4000.bag")
    bag.write(path, doc, grid=dict(
        shape=(side, side), tile=tile, chunk=256, layers=[dict(
            name="sources", members=[("source_survey_id", 8)], rows=rows,
            keys=keys)]))
    return path


def run(build, paths):
    environment = dict(os.environ, PYTHONPATH=build)
    done = subprocess.run([sys.executable, "-c", CHILD, *paths],
                          env=environment, check=True,
                          stdout=subprocess.PIPE, universal_newlines=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--baseline", help="a build tree of the code before "
                        "the footprints of source surveys")
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    builds = {"this build": os.environ.get("PYTHONPATH", "")}
    if options.baseline:
        builds["baseline"] = options.baseline
    with tempfile.TemporaryDirectory() as folder:
        paths = [CORPUS, generated(folder)]
        results = {name: [] for name in builds}
        for _ in range(options.rounds):
            for name, build in builds.items():
                results[name].append(run(build, paths))
    print("%-28s %-12s %10s %12s %10s %10s" % (
        "file", "build", "ms", "extra ms", "traced", "GeoJSON"))
    for at, path in enumerate(paths):
        medians = {name: statistics.median(r["times"][at] for r in runs)
                   for name, runs in results.items()}
        for name, runs in results.items():
            extra = ""
            if name != "baseline" and "baseline" in medians:
                extra = "%.1f" % ((medians[name] - medians["baseline"])
                                  * 1e3)
            last = runs[-1]
            print("%-28s %-12s %10.1f %12s %10s %10d" % (
                os.path.basename(path)[:28], name, medians[name] * 1e3,
                extra, last["traced"][at], last["bytes"][at]))
    for name, runs in results.items():
        print("%s: the helper's resident peak grew by %.1f MiB for the "
              "4000 x 4000 grid (largest of the rounds)"
              % (name, max(r["peak"] for r in runs) / 2 ** 20))


if __name__ == "__main__":
    sys.exit(main())
