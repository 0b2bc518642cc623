"""Shared helpers of the test suite: where things are, fresh interpreters,
the module's traceback entries, failed allocations, mutated files to
fuzz the readers with, a stand-in for the XML
library module and the command line (as python -m bathyra and as the
installed command, with stderr on a pipe or on a terminal).

When no ``bathyra`` package is on sys.path, importing this module (the
tests package does, before any test module) puts the build tree first, so
that a test module may import ``bathyra`` before anything else.  The build
tree is the one that holds the package found, else $BATHYRA_BUILD_DIR,
else build/.
"""
import gc
import importlib.machinery
import math
import os
import sys

# Children import this module too: what only the tests' own process needs
# is imported where it is used.
REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_package = importlib.machinery.PathFinder.find_spec("bathyra")
if _package is not None and _package.origin:
    BUILD_DIR = os.path.dirname(os.path.dirname(
        os.path.abspath(_package.origin)))
else:
    BUILD_DIR = (os.environ.get("BATHYRA_BUILD_DIR") or
                 os.path.join(REPO_DIR, "build"))
    sys.path.insert(0, BUILD_DIR)
SHARED_DIR = os.path.join(os.path.dirname(REPO_DIR), "shared")
CORPUS_REAL = os.path.join(SHARED_DIR, "corpus", "real")
CORPUS_BAG = os.path.join(SHARED_DIR, "corpus", "bag")
# Built under AddressSanitizer, whose runtime the tests preload.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
EXAMPLES_DIR = os.path.join(REPO_DIR, "examples")

MODULE_FILE = "bathyra/metadata_parser"
CALL_FUNCTION = "bathyra.metadata_parser.extract_metadata"
IMPORT_FUNCTION = "init bathyra.metadata_parser"


def corpus_paths():
    """The metadata documents of the shared corpus and of the examples."""
    return [os.path.join(folder, name)
            for folder in (CORPUS_REAL, EXAMPLES_DIR) if os.path.isdir(folder)
            for name in sorted(os.listdir(folder)) if name.endswith(".xml")]


def temporary_directory(test):
    """A new directory, removed with its contents when `test` ends."""
    import shutil
    import tempfile
    path = tempfile.mkdtemp()
    test.addCleanup(shutil.rmtree, path)
    return path


class FolderMixin:
    """A test case's own temporary folder, `self.tmp`, and `write(name,
    data)`: a file of bytes, or of a str as UTF-8, made with its folders;
    returns its path."""

    def setUp(self):
        super().setUp()
        self.tmp = temporary_directory(self)

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(data, str):
            data = data.encode("utf-8")
        with open(path, "wb") as stream:
            stream.write(data)
        return path


def mutated_files(originals, path, seed):
    """Writes random mutations of `originals` (the bytes of files) to
    `path` one after another, yielding after each, for
    $BATHYRA_FUZZ_SECONDS (2 by default): one to eight runs of one to
    eight random bytes written over a copy, at places that
    random.Random(seed) picks."""
    import random
    import time
    seconds = float(os.environ.get("BATHYRA_FUZZ_SECONDS", "2"))
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(originals))
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(len(data))
            data[at:at + rng.randint(1, 8)] = os.urandom(rng.randint(1, 8))
        with open(path, "wb") as stream:
            stream.write(data)
        yield


def growth(call, rounds):
    """What `rounds` calls of `call` add to the host's allocated blocks and
    gc objects, after collections, measured up to three times: the host's
    pools grow in steps now and then, while a leak grows every time."""
    for _ in range(3):
        gc.collect()
        blocks = sys.getallocatedblocks()
        objects = len(gc.get_objects())
        for _ in range(rounds):
            call()
        gc.collect()
        grown = (sys.getallocatedblocks() - blocks,
                 len(gc.get_objects()) - objects)
        if grown[0] < 100 and grown[1] < 10:
            break
    return grown


def module_tracebacks(exc):
    """The traceback items of `exc` whose code is the module's."""
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == MODULE_FILE:
            yield tb
        tb = tb.tb_next


def module_entries(exc):
    """The module's traceback entries of `exc`, as tuples of (file name,
    line, function name) read from the frames and their code objects."""
    return [(tb.tb_frame.f_code.co_filename, tb.tb_lineno,
             tb.tb_frame.f_code.co_name) for tb in module_tracebacks(exc)]


def raised_by(call, *args):
    """The exception that call(*args) raises, with its traceback (which
    assertRaises drops), or None when it returns."""
    try:
        call(*args)
    except BaseException as exc:
        return exc
    return None


def describe(exc):
    """An exception (None for none) as JSON data: its type name, its text
    and its module traceback entries."""
    if exc is None:
        return ["ok", "", []]
    return [type(exc).__name__, str(exc),
            [list(entry) for entry in module_entries(exc)]]


def testcapi():
    """The host's _testcapi module; skips the test when the host has
    none."""
    try:
        import _testcapi
    except ImportError:
        import unittest
        raise unittest.SkipTest("_testcapi is not available") from None
    return _testcapi


def fail_allocation(n, function, *args):
    """Calls function(*args) with the n-th allocation from now on failing;
    returns the call's result or exception, and whether the failing
    allocation was left for after the call."""
    hooks = testcapi()
    # The call starts with no collection of garbage due: one that fell
    # inside it would run finalizers under the failing allocation, whose
    # errors the host can lose (3.9 then raises SystemError in the
    # caller); where it fell would depend on what was imported before.
    gc.collect(0)
    # The exception goes into a slot made beforehand: nothing allocates
    # between the call and the probe.
    result, raised, spent = None, [None], False
    hooks.set_nomemory(n, n + 1)
    try:
        try:
            result = function(*args)
        except Exception as error:
            raised[0] = error
        # Reaches the failing allocation if the call did not.
        probe = [object() for _ in range(64)]  # noqa: F841
    except MemoryError:
        spent = True
    finally:
        hooks.remove_mem_hooks()
    # No local of this frame may hold the exception when it returns: the
    # frames of the exception's traceback keep this one alive, and the
    # cycle would keep every MemoryError until a garbage collection (from
    # 3.12 on, the host then runs out of spare ones).
    return (result if raised[0] is None else raised.pop()), spent


def allocation_sweep(function, *args, start=0, limit=5000, before=None):
    """Yields (n, outcome) for n = start, start + 1, ...: what
    function(*args) gives when its n-th allocation fails, until a call no
    longer reaches the failing allocation.  `before(n)`, if given, runs
    before each call."""
    for n in range(start, limit):
        if before:
            before(n)
        outcome, spent = fail_allocation(n, function, *args)
        if spent and not isinstance(outcome, MemoryError):
            return
        yield n, outcome
    raise AssertionError("calls still fail at allocation %d" % limit)


_GENERATOR_PROBE = """
from tests import support
items = [("a", "b")]
for n, outcome in support.allocation_sweep(
        lambda: tuple(tuple(item) for item in items)):
    pass
"""
_generators_survive = []


def generators_survive_failed_allocations():
    """Whether the host's generator expressions survive failed allocations
    (CPython 3.12 and 3.13 crash in them), probed once in a child."""
    if not _generators_survive:
        _generators_survive.append(
            run_child(_GENERATOR_PROBE).returncode == 0)
    return _generators_survive[0]


def is_host_frame_failure(exc, text=None):
    """Whether `exc` (an exception, or its type name with `text`) is the
    SystemError that hosts from 3.11 on raise when the interpreter cannot
    get memory for a Python-level frame: either the called function
    "returned NULL without setting an exception" (naming the host's
    function, never this module's, whose calls the host checks the same
    way) or the evaluation loop itself reports an "error return without
    exception set"."""
    if text is None:
        name, text = type(exc).__name__, str(exc)
    else:
        name = exc
    if sys.version_info < (3, 11) or name != "SystemError":
        return False
    if text == "error return without exception set":
        return True
    return (text.endswith("returned NULL without setting an exception")
            and not text.startswith("<bathyra function"))


def host_failure(outcome):
    """Whether `outcome` is the host's own failure for want of memory in
    Python-level frames: its evaluation loop reporting an error return
    without an exception (a function of the module that did so would be
    named instead).  CPython 3.9 and 3.10 give it when an allocation fails
    in a garbage collection that falls inside the call."""
    return isinstance(outcome, SystemError) and (
        is_host_frame_failure(outcome) or str(outcome) in (
            "_PyEval_EvalFrameDefault returned NULL without setting an error",
            "_PyEval_EvalFrameDefault returned NULL without setting an "
            "exception"))


def same_number(got, expected):
    """Whether `got` is the float `expected`: both NaN, or equal with the
    same sign."""
    if not isinstance(got, float):
        return False
    if math.isnan(expected):
        return math.isnan(got)
    return got == expected and (math.copysign(1, got) ==
                                math.copysign(1, expected))


def comparable(record):
    """A record's items, NaN made equal to NaN."""
    return [(key, "nan" if isinstance(value, float) and math.isnan(value)
             else value) for key, value in record.items()]


def call_outcome(document, library=None):
    """How a call of extract_metadata on `document` ends, with ET bound to
    `library` when given: ("record", its comparable items), or ("error",
    the exception's type, its message, its module traceback lines)."""
    from bathyra import metadata_parser as mp
    from tests.documents import Raster
    saved = vars(mp)["ET"]
    mp.ET = library or saved
    try:
        return ("record", comparable(mp.extract_metadata(Raster(document))))
    except Exception as error:
        return ("error", type(error), str(error),
                [line for _, line, _ in module_entries(error)])
    finally:
        mp.ET = saved


class LibraryProxy:
    """Behaves as the XML library module without being it, which makes the
    module read documents through the library."""

    def __init__(self):
        import xml.etree.ElementTree as library
        self.library = library

    def __getattr__(self, name):
        return getattr(self.library, name)


def _child_options(tree):
    path = os.pathsep.join([tree, REPO_DIR])
    return dict(cwd=tree, env=dict(os.environ, PYTHONPATH=path), text=True)


def start_python(*arguments, tree=BUILD_DIR):
    """Starts a fresh interpreter with `arguments` that imports the package
    from `tree` (by default the build tree, also its working directory) and
    this repository's tests; returns the process, output piped as text."""
    import subprocess
    return subprocess.Popen([sys.executable, *arguments],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            **_child_options(tree))


def start_child(code, *argv):
    """Starts `code` (dedented) in a fresh interpreter as start_python
    does, with its standard input on a pipe too (text, line-buffered), for
    a child that waits for a word from the test."""
    import subprocess
    import textwrap
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *argv],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, bufsize=1, **_child_options(BUILD_DIR))


def run_python(*arguments, timeout=120, tree=BUILD_DIR, input=None,
               **streams):
    """start_python waited for: the completed process.  `input` (text)
    is its standard input; `streams` (stdout=, stderr=, text=) replace the
    captured text output."""
    import subprocess
    options = _child_options(tree)
    options.update(streams)
    if "stdout" not in streams and "stderr" not in streams:
        options["capture_output"] = True
    return subprocess.run([sys.executable, *arguments], timeout=timeout,
                          input=input, **options)


def run_child(code, *options, argv=(), **keywords):
    """Runs `code` (dedented) in a fresh interpreter with the interpreter
    options `options` and the script arguments `argv`."""
    import textwrap
    return run_python(*options, "-c", textwrap.dedent(code), *argv,
                      **keywords)


# Code for a child (dedented): run_in_subinterpreter(code, config) runs
# `code` in a new sub-interpreter and returns the text of what it raised
# ("" for nothing).  `config` is "isolated" or "legacy" (sub-interpreters
# sharing the main one's rules, the only kind before 3.12).
SUBINTERPRETER = """\
import sys
try:
    import _interpreters as interpreters          # 3.13
except ImportError:
    import _xxsubinterpreters as interpreters     # 3.9 to 3.12

def run_in_subinterpreter(code, config):
    if interpreters.__name__ == "_interpreters":
        sub = interpreters.create(config)
        failure = interpreters.run_string(sub, code)
        interpreters.destroy(sub)
        return "" if failure is None else failure.formatted
    if config == "isolated":
        sub = interpreters.create()
    else:
        sub = (interpreters.create(isolated=False)
               if sys.version_info >= (3, 12) else interpreters.create())
    try:
        interpreters.run_string(sub, code)
        return ""
    except interpreters.RunFailedError as failure:
        return str(failure)
    finally:
        interpreters.destroy(sub)
"""


# The installed command, as the script that pip writes for it runs it:
# sys.argv[0] is the command, the script (not the package) is __main__.
COMMAND_SCRIPT = ("import sys; from bathyra.cli import main; "
                  "sys.argv[0] = 'bathyra'; sys.exit(main())")


def _cli_arguments(args, command):
    if command == "bathyra":
        return ("-c", COMMAND_SCRIPT) + args
    assert command == "python -m bathyra", command
    return ("-m", "bathyra") + args


def run_cli(*args, command="python -m bathyra", **options):
    """The command line as a user runs it: python -m bathyra ARGS, or
    the installed command with command="bathyra" (`options` as for
    run_python)."""
    return run_python(*_cli_arguments(args, command), **options)


def run_cli_on_terminal(*args, command="python -m bathyra", timeout=120):
    """run_cli with stderr on a pseudo-terminal: (exit status, stdout,
    the text that the terminal received)."""
    import pty
    import subprocess
    import threading
    master, slave = pty.openpty()
    try:
        process = subprocess.Popen(
            [sys.executable, *_cli_arguments(args, command)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave,
            **_child_options(BUILD_DIR))
    finally:
        os.close(slave)
    output = []
    reader = threading.Thread(
        target=lambda: output.append(process.stdout.read()))
    reader.start()
    received = []
    try:
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: the terminal's last writer has gone
                break
            if not data:
                break
            received.append(data)
    finally:
        os.close(master)
        reader.join(timeout)
        process.stdout.close()
    return (process.wait(timeout), output[0],
            b"".join(received).decode("utf-8"))


def interrupt_cli(*args, timeout=120, signals=None, group=True, script=None):
    """Starts the command line with ARGS (or Python code `script` that
    runs it, with ARGS as sys.argv[1:]) in a process group of its own,
    waits for its first output, and sends SIGINT to the group, as Ctrl-C
    on a terminal does (or each of `signals` in turn, half a second apart;
    to the command's own process alone when not `group`): (exit status,
    stderr, the pids of the group's processes still running a few seconds
    after it ended)."""
    import signal
    import subprocess
    import time
    process = subprocess.Popen(
        [sys.executable, *(("-c", script) + args if script else
                           _cli_arguments(args, "python -m bathyra"))],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, start_new_session=True,
        **_child_options(BUILD_DIR))
    try:
        os.read(process.stdout.fileno(), 1)
        for number in signals or [signal.SIGINT]:
            if group:
                os.killpg(process.pid, number)
            else:
                os.kill(process.pid, number)
            time.sleep(0.5)
        _, errors = process.communicate(timeout=timeout)
    finally:
        process.kill()
        process.wait(timeout)
    # What outlives the command ends within a few seconds, or not at all.
    for _ in range(50):
        left = group_members(process.pid)
        if not left:
            break
        time.sleep(0.1)
    return process.returncode, errors, left


def group_members(group):
    """The pids of the processes (not zombies) in process group `group`."""
    members = []
    for name in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % name) as stream:
                fields = stream.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            members.append(int(name))
    return members


def polygons(geometry):
    """The polygons (lists of rings) of a GeoJSON Polygon or
    MultiPolygon."""
    if geometry["type"] == "Polygon":
        return [geometry["coordinates"]]
    return geometry["coordinates"]


def area(geometry):
    """The plane area of a GeoJSON Polygon or MultiPolygon in its own
    units (square degrees), holes taken out: the shoelace formula."""
    def ring(points):
        return abs(sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1)
                       in zip(points, points[1:]))) / 2
    return sum(ring(rings[0]) - sum(ring(hole) for hole in rings[1:])
               for rings in polygons(geometry))


def bounds(geometry):
    """(west, south, east, north) of a GeoJSON Polygon or MultiPolygon."""
    points = [p for rings in polygons(geometry) for p in rings[0]]
    return (min(x for x, _ in points), min(y for _, y in points),
            max(x for x, _ in points), max(y for _, y in points))


def within(inner, outer, margin=1e-7):
    """True when the box `inner` lies in the box `outer` widened by
    `margin`."""
    return (inner[0] >= outer[0] - margin and inner[1] >= outer[1] - margin
            and inner[2] <= outer[2] + margin
            and inner[3] <= outer[3] + margin)


def distributed_or_reason():
    """Why the dask.distributed tests cannot run here, or None."""
    try:
        import dask.bag  # noqa: F401
        import distributed  # noqa: F401
    except ImportError as error:
        return "dask.distributed is not installed (%s); ./dev installs " \
               "python3-distributed for Debian's python3" % error
    return None
