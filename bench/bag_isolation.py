"""What reading BAG files in the helper process costs: per file, the median
time of bathyra.bag.open(path, isolated=False) (the HDF5 library in this
process) against bathyra.bag.open(path) (in the helper process, already
running), and the start-up of the helper process itself.

    python bench/bag_isolation.py [--quick] [--corpus DIR] [--grid-size N]

Then the elevation: what reading the elevation attributes adds to an open
(target: at most 1.1x), and the pass over the grid (open with grid=True)
against a bare read of the same datasets and h5py + numpy's min/max, run
by Debian's python3 when it has h5py and numpy; and an N x N grid
(default 20000) written here with bag.write, read for the peak memory that
the helper process gains (target: under 64 MiB).

Run it with the build tree on the path (./dev bench does); any supported
interpreter.  Target: isolated at most 1.5x in-process, per file.  The
start-up is the first isolated open in a fresh interpreter (a child
process, the import of bathyra.bag not counted), median of a few runs.
"""
import argparse
import glob
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The BAG files beside the repository: <root>/../shared/corpus/bag.
DEFAULT_CORPUS = os.path.normpath(os.path.join(
    HERE, os.pardir, os.pardir, "shared", "corpus", "bag"))
TARGET = 1.5


def corpus_options(argv, description, quick_help):
    """The options of the corpus benchmarks: --quick, --corpus (ISO 19139
    documents) and --bags (BAG files); returns them with the time slice
    and the number of rounds they ask for."""
    shared = os.path.dirname(DEFAULT_CORPUS)
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--corpus", default=os.path.join(shared, "real"),
                        help="folder of ISO 19139 documents "
                        "(default: %(default)s)")
    parser.add_argument("--bags", default=DEFAULT_CORPUS,
                        help="folder of BAG files (default: %(default)s)")
    options = parser.parse_args(argv)
    slice_seconds, rounds = (0.005, 3) if options.quick else (0.03, 11)
    return options, slice_seconds, rounds


def calls_per_round(function, slice_seconds):
    """How many calls of `function` fill about `slice_seconds`."""
    function()
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            function()
        elapsed = time.perf_counter() - start
        if elapsed >= slice_seconds / 4 or number >= 1 << 20:
            return max(1, int(number * slice_seconds / max(elapsed, 1e-9)))
        number *= 4


def median_times(functions, slice_seconds, rounds):
    """Seconds per call of each function (no arguments): the median over
    `rounds` rounds, the functions taking turns within each round so that
    a change of the machine's speed touches all of them alike."""
    numbers = [calls_per_round(f, slice_seconds) for f in functions]
    samples = [[] for _ in functions]
    for _ in range(rounds):
        for function, number, times in zip(functions, numbers, samples):
            start = time.perf_counter()
            for _ in range(number):
                function()
            times.append((time.perf_counter() - start) / number)
    return [statistics.median(times) for times in samples]


# The child that times the first isolated open of a fresh interpreter, and
# then a second one (the helper already running) for comparison.
FIRST_OPEN = """
import sys, time
from bathyra import bag
start = time.perf_counter()
bag.open(sys.argv[1])
first = time.perf_counter() - start
start = time.perf_counter()
bag.open(sys.argv[1])
print(first, time.perf_counter() - start)
"""


def start_up(path, repetitions):
    """(first, next): median seconds of the first and of the second
    isolated open in a fresh interpreter."""
    import bathyra
    package_parent = os.path.dirname(os.path.dirname(
        os.path.abspath(bathyra.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (package_parent, env.get("PYTHONPATH")) if p)
    firsts, nexts = [], []
    for _ in range(repetitions):
        output = subprocess.run(
            [sys.executable, "-c", FIRST_OPEN, path], env=env, check=True,
            stdout=subprocess.PIPE, universal_newlines=True).stdout
        first, second = map(float, output.split())
        firsts.append(first)
        nexts.append(second)
    return statistics.median(firsts), statistics.median(nexts)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="shorter and fewer rounds")
    parser.add_argument("--corpus", default=DEFAULT_CORPUS,
                        help="folder of BAG files (default: %(default)s)")
    parser.add_argument("--grid-size", type=int, default=20000,
                        help="the side of the generated grid (default "
                             "%(default)s)")
    options = parser.parse_args(argv)
    from bathyra import bag

    print("== BAG files: helper process against in-process reading")
    if not bag.available():
        print("skipped: this build of bathyra has no BAG support (built "
              "without the HDF5 library)")
        return 0
    paths = sorted(glob.glob(os.path.join(options.corpus, "*.bag")))
    if not paths:
        print("skipped: no BAG files in %s" % options.corpus)
        return 0
    slice_seconds, rounds, repetitions = (
        (0.01, 5, 3) if options.quick else (0.05, 21, 7))
    print("CPython %s, HDF5 %s, %s; median of %d interleaved rounds"
          % (sys.version.split()[0], bag.hdf5_version(),
             time.strftime("%Y-%m-%d"), rounds))
    print("%-28s %9s %14s %12s %6s  %s"
          % ("file", "metadata", "in-process us", "isolated us", "ratio",
             "isolated <= %gx in-process" % TARGET))
    short = 0
    for path in paths:
        size = len(bag.open(path, isolated=False).iso19139_xml)
        inside, isolated = median_times(
            [lambda: bag.open(path, isolated=False),
             lambda: bag.open(path)], slice_seconds, rounds)
        ratio = isolated / inside
        verdict = "PASS" if ratio <= TARGET else "FALLS SHORT"
        short += ratio > TARGET
        print("%-28s %9d %14.1f %12.1f %6.2f  %s"
              % (os.path.basename(path)[:28], size, inside * 1e6,
                 isolated * 1e6, ratio, verdict))
    first, following = start_up(paths[0], repetitions)
    print("helper start-up: the first isolated open in a fresh interpreter "
          "takes %.1f ms, the next %.1f ms (median of %d runs, %s): about "
          "%.1f ms once per process"
          % (first * 1e3, following * 1e3, repetitions,
             os.path.basename(paths[0]), (first - following) * 1e3))
    print("target isolated <= %gx in-process: %s"
          % (TARGET, "PASS on every file" if not short else
             "FALLS SHORT on %d of %d files" % (short, len(paths))))
    grid_pass(paths, slice_seconds, rounds, options.grid_size)
    return 0


ATTRIBUTES_TARGET = 1.1
MEMORY_TARGET = 64 << 20
DEBIAN_PYTHON = "/usr/bin/python3"
# Times, in Debian's python3, a bare read of the elevation, uncertainty and
# refinement datasets, and the same with numpy's min/max over valid nodes.
H5PY_READ = """
import sys, time, h5py, numpy
def bare(path):
    with h5py.File(path, "r") as f:
        root = f["BAG_root"]
        arrays = [root[name][()] for name in ("elevation", "uncertainty",
                  "varres_refinements") if name in root]
    return arrays
def ranges(path):
    arrays = bare(path)
    e = arrays[0][arrays[0] != 1000000.0]
    return e.min() if e.size else None, e.max() if e.size else None
for path in sys.argv[1:]:
    out = []
    for work in (bare, ranges):
        times = []
        for _ in range(5):
            start = time.perf_counter(); work(path)
            times.append(time.perf_counter() - start)
        out.append(sorted(times)[2])
    print(path, *out)
"""


def peak_memory(pid):
    """The peak resident memory of process `pid` in bytes (Linux)."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def h5py_times(paths):
    """{path: (bare read, read and min/max)} seconds in Debian's python3,
    or None when it lacks h5py or numpy."""
    if not os.path.exists(DEBIAN_PYTHON):
        return None
    probe = subprocess.run([DEBIAN_PYTHON, "-c", "import h5py, numpy"],
                           stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        return None
    output = subprocess.run([DEBIAN_PYTHON, "-c", H5PY_READ, *paths],
                            check=True, stdout=subprocess.PIPE,
                            universal_newlines=True).stdout
    return {line.split()[0]: tuple(map(float, line.split()[1:]))
            for line in output.splitlines()}


COMPARED_SIDE = 4000


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def write_grid(path, side):
    """A side x side grid of three kinds of node (one of them fill) in
    256 x 256 deflate chunks, written with bag.write."""
    from bathyra import bag
    seconds = timed(lambda: bag.write(
        path, b"<gmi:MI_Metadata/>", grid=dict(
            shape=(side, side), tile=[[-12.5, 1000000.0, -30.25]],
            uncertainty=[[0.5, 1000000.0, 0.25]], chunk=256, compress=1)))
    print("wrote a %d x %d grid (256 x 256 deflate chunks) in %.1f s"
          % (side, side, seconds))
    return path


def grid_pass(paths, slice_seconds, rounds, size):
    import tempfile
    from bathyra import _bag_worker, bag
    print("\n== The elevation: attributes on every open, the grid pass")
    metadata_only = _bag_worker.METADATA
    print("%-28s %10s %12s %6s" % ("file", "open us", "metadata-only us",
                                   "ratio"))
    worst = 0.0
    for path in paths:
        def metadata_open():
            # bag.open as it was before the elevation: the metadata alone.
            bag._check_regular(path)
            document, version, _ = bag._helper.read(
                path, bag.DEFAULT_LIMIT, bag.DEFAULT_TIMEOUT, metadata_only)
            return bag.BagFile(path, document, version)

        with_attributes, without = median_times(
            [lambda: bag.open(path), metadata_open], slice_seconds, rounds)
        worst = max(worst, with_attributes / without)
        print("%-28s %10.1f %12.1f %6.2f"
              % (os.path.basename(path)[:28], with_attributes * 1e6,
                 without * 1e6, with_attributes / without))
    print("target open with the attributes <= %gx the metadata alone: %s"
          % (ATTRIBUTES_TARGET, "PASS" if worst <= ATTRIBUTES_TARGET
             else "FALLS SHORT (%.2fx)" % worst))
    with tempfile.TemporaryDirectory() as folder:
        # A grid that a whole-array read (h5py) holds in memory, for the
        # times; the big one only for the memory of the pass.
        side = min(size, COMPARED_SIDE)
        compared = write_grid(os.path.join(folder, "grid_%d.bag" % side),
                              side)
        big = compared if side == size else write_grid(
            os.path.join(folder, "grid_%d.bag" % size), size)
        files = paths + [compared]
        pass_times = {}
        for path in files:
            pass_times[path] = min(timed(lambda: bag.open(
                path, grid=True, isolated=False)) for _ in range(3))
        others = h5py_times(files)
        print("%-28s %10s %10s %12s %8s %8s" % (
            "file", "pass ms", "bare ms", "h5py+np ms", "vs bare",
            "vs h5py"))
        for path in files:
            ours = pass_times[path]
            row = "%-28s %10.1f" % (os.path.basename(path)[:28], ours * 1e3)
            if others and path in others:
                bare, numpy_ranges = others[path]
                row += " %10.1f %12.1f %8.2f %8.2f" % (
                    bare * 1e3, numpy_ranges * 1e3, ours / bare,
                    ours / numpy_ranges)
            print(row)
        if others is None:
            print("(%s has no h5py and numpy: no comparison)"
                  % DEBIAN_PYTHON)
        bag.stop_helper()
        bag.open(big)
        pid = bag._helper.process.pid
        before = peak_memory(pid)
        seconds = timed(lambda: bag.open(big, grid=True, timeout=None))
        extra = peak_memory(pid) - before
        print("the pass over the %d x %d grid took %.1f s in the helper "
              "process" % (size, size, seconds))
        print("the helper process's peak memory grew by %.1f MiB for the "
              "%d x %d grid: %s" % (extra / 2 ** 20, size, size,
                                    "PASS" if extra < MEMORY_TARGET
                                    else "FALLS SHORT"))


if __name__ == "__main__":
    sys.exit(main())
