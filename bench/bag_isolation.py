"""What reading BAG files in the helper process costs: per file, the median
time of bathyra.bag.open(path, isolated=False) (the HDF5 library in this
process) against bathyra.bag.open(path) (in the helper process, already
running), and the start-up of the helper process itself.

    python bench/bag_isolation.py [--quick] [--corpus DIR]

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
    return 0


if __name__ == "__main__":
    sys.exit(main())
