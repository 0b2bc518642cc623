"""Reading an S-102 file with its grid, against h5py + numpy computing the
same answers and against a bare read of the two grids, timed in one run
with interleaved rounds.

    PYTHONPATH=build python3.9 bench/s102_benchmark.py [--rounds N]
        [--quick]

Files: an S-102 3.0 file of 2,000 x 2,000 cells (UTM 19N, 4 m) with 300
source surveys (patches of about 133 x 100 cells, each with a square of
fill cells in it), written here with bathyra.s102.write, once in chunks
of 200 x 200 cells deflated (level 6) and once unchunked.  For each file:
  bathyra   read_survey(path, grid=True) in the helper process (started
            before the rounds): the attributes, the quality table, the pass
            over depths, uncertainties and row ids (range, uncertainty,
            count, each survey's range), the file's footprint and each
            survey's footprint in WGS 84 through GDAL
  h5py      h5py + numpy + scipy.ndimage in /usr/bin/python3 (imports made
            before the rounds): both grids and the table read whole, the
            ranges, each survey's range (sorted by id, reduceat) and the
            count of each survey's polygons (4-connected pieces of its
            cells, by ndimage.label over its bounding box; no GDAL)
  bare      h5py's read_direct of the two grids into arrays made before
            (an H5Dread each, no computation)
Each time is the median of the rounds; ratios are bathyra's time over the
others', in the same run.
"""
import argparse
import array
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"
VALUES = "BathymetryCoverage/BathymetryCoverage.01/Group_001/values"
IDS = ("QualityOfBathymetryCoverage/QualityOfBathymetryCoverage.01/"
       "Group_001/values")
# The other side: a process that answers "full PATH" and "bare PATH" with
# the seconds the work took, its imports made once.
OTHER = r"""
import sys, time
import h5py, numpy as np
from scipy import ndimage
FILL = 1000000.0
VALUES, IDS = sys.argv[1], sys.argv[2]

def full(path):
    start = time.perf_counter()
    with h5py.File(path, "r") as f:
        values = f[VALUES][()]
        ids = f[IDS][()]["iD"]
        f["QualityOfBathymetryCoverage/featureAttributeTable"][()]
    depth, error = values["depth"], values["uncertainty"]
    valid = np.isfinite(depth) & (depth != FILL)
    depths = depth[valid]
    ranges = depths.min(), depths.max()
    errors = error[valid & (error != FILL) & (error != 0)]
    error_range = errors.min(), errors.max()
    keys = ids[valid]
    order = np.argsort(keys, kind="stable")
    keys, depths = keys[order], depths[order]
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
    lows = np.minimum.reduceat(depths, starts)
    highs = np.maximum.reduceat(depths, starts)
    counts = np.diff(np.r_[starts, len(keys)])
    labelled = np.where(valid, ids, 0)
    polygons = {}
    for label, box in enumerate(ndimage.find_objects(labelled), 1):
        if box is not None:
            polygons[label] = ndimage.label(labelled[box] == label)[1]
    return time.perf_counter() - start, len(lows), sum(polygons.values())

def bare(path):
    with h5py.File(path, "r") as f:
        a, b = f[VALUES], f[IDS]
        va, vb = np.empty(a.shape, a.dtype), np.empty(b.shape, b.dtype)
        start = time.perf_counter()
        a.read_direct(va)
        b.read_direct(vb)
        return time.perf_counter() - start, 0, 0

for line in sys.stdin:
    how, path = line.rstrip("\n").split(" ", 1)
    seconds, surveys, polygons = (full if how == "full" else bare)(path)
    print(seconds, surveys, polygons, flush=True)
"""


def generated(path, rows=2000, cols=2000, chunk=0, compress=0):
    """The 3.0 file of 300 source surveys (15 x 20 patches)."""
    from bathyra import s102
    fill = s102.FILL
    band_rows, band_cols = 15, 20
    depth = array.array("f")
    error = array.array("f")
    ids = array.array("I")
    for r in range(rows):
        band = r * band_rows // rows
        inside_r = r - band * rows // band_rows
        row_ids = [band * band_cols + c * band_cols // cols + 1
                   for c in range(cols)]
        hole_row = 40 <= inside_r < 50
        depth.extend(
            fill if hole_row and 40 <= c % (cols // band_cols) < 50
            else 5.0 + 0.01 * c + 0.003 * r + (row_ids[c] % 7)
            for c in range(cols))
        error.extend(0.2 + 0.0001 * c for c in range(cols))
        ids.extend(row_ids)
    table = [{"id": n, "dataAssessment": 1 + n % 3,
              "sourceSurveyID": "H%05d" % (10000 + n),
              "surveyAuthority": "Hydrographic Office",
              "surveyDateRange.dateStart": "2019%02d01" % (1 + n % 12),
              "surveyDateRange.dateEnd": "2019%02d28" % (1 + n % 12)}
             for n in range(1, band_rows * band_cols + 1)]
    s102.write(path, edition="3.0", crs=32619,
               bounds=(-69.01, 43.33, -68.89, 43.42),
               instances=[dict(shape=(rows, cols), depth=depth,
                               uncertainty=error, origin=(500000.0,
                                                          4800000.0),
                               spacing=(4.0, 4.0), range=(5.0, 40.0),
                               vertical_datum=12)],
               quality=dict(ids=ids, rows=table), chunk=chunk,
               compress=compress)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true",
                        help="one file (deflated), three rounds")
    options = parser.parse_args(argv)
    rounds = 3 if options.quick else options.rounds
    from bathyra import survey
    folder = tempfile.mkdtemp(prefix="bathyra-s102-bench-")
    files = [("deflated, chunks of 200", os.path.join(folder, "deflated.h5"),
              dict(chunk=200, compress=6)),
             ("unchunked", os.path.join(folder, "plain.h5"), {})]
    if options.quick:
        files = files[:1]
    for _, path, layout in files:
        started = time.perf_counter()
        generated(path, **layout)
        print("written %s (%.1f MB) in %.1f s" % (
            os.path.basename(path), os.path.getsize(path) / 1e6,
            time.perf_counter() - started))
    other = None
    if subprocess.run([SYSTEM_PYTHON, "-c",
                       "import h5py, numpy, scipy.ndimage"],
                      stderr=subprocess.DEVNULL).returncode != 0 \
            if os.path.exists(SYSTEM_PYTHON) else True:
        print("no h5py, numpy and scipy in %s: bathyra alone" % SYSTEM_PYTHON)
    else:
        other = subprocess.Popen([SYSTEM_PYTHON, "-c", OTHER, VALUES, IDS],
                                 stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)

    def ask(how, path):
        other.stdin.write("%s %s\n" % (how, path))
        other.stdin.flush()
        seconds, surveys, polygons = other.stdout.readline().split()
        return float(seconds), int(surveys), int(polygons)

    try:
        for title, path, _ in files:
            record = survey.read_survey(path, grid=True)  # the helper starts
            times = {"bathyra": [], "h5py": [], "bare": []}
            counts = None
            for _ in range(rounds):
                started = time.perf_counter()
                record = survey.read_survey(path, grid=True)
                times["bathyra"].append(time.perf_counter() - started)
                if other is not None:
                    seconds, surveys, polygons = ask("full", path)
                    times["h5py"].append(seconds)
                    counts = surveys, polygons
                    times["bare"].append(ask("bare", path)[0])
            mine = statistics.median(times["bathyra"])
            traced = sum(1 for s in record.source_surveys
                         if s.footprint is not None)
            print("\n%s: %d source surveys, %d footprints traced"
                  % (title, len(record.source_surveys), traced))
            if counts:
                print("  h5py found %d surveys, %d polygons" % counts)
            for name, values in times.items():
                if not values:
                    continue
                median = statistics.median(values)
                print("  %-8s %7.3f s   bathyra / %s: %.2fx"
                      % (name, median, name, mine / median))
    finally:
        if other is not None:
            other.stdin.close()
            other.wait()
        for _, path, _ in files:
            if os.path.exists(path):
                os.remove(path)
        os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
