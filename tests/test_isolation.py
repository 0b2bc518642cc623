"""Damaged and crafted BAG files, threads at exit and fork: no file may
crash, hang or drain the caller."""
import errno
import json
import multiprocessing
import os
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from tests import support

from bathyra import bag

needs_hdf5 = unittest.skipUnless(bag.available(),
                                 "built without the HDF5 library")
with open(os.path.join(support.EXAMPLES_DIR,
                       "survey_h13045_multibeam.xml"), "rb") as _stream:
    DOCUMENT = _stream.read()


def read_or_reason(path, **options):
    """The document, or the BagError's reason."""
    try:
        return bag.open(path, **options).iso19139_xml
    except bag.BagError as error:
        return error.reason


def runs(pid, marker=b"bathyra._bag_worker"):
    """Whether the process `pid` still runs (a zombie does not) with
    `marker` in its command line (Linux: read from /proc)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as stream:
            command = stream.read()
        with open("/proc/%d/stat" % pid, "rb") as stream:
            state = stream.read().rsplit(b")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state != b"Z" and marker in command


def wait_for(condition, seconds=30):
    """condition() once it is true, or its last value after `seconds`:
    for what another process does in its own time."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


@needs_hdf5
class CraftedFileTest(unittest.TestCase):
    """What a file may not make the reader do: follow links, read other
    files or devices, or allocate what it declares."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.good = self.path("good.bag")
        bag.write(self.good, DOCUMENT)

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def test_links_and_outside_storage_are_refused_both_ways(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        cases = {
            "soft": "/BAG_root/metadata is a link to elsewhere",
            "external:good.bag": "/BAG_root/metadata is a link to elsewhere",
            "external:" + fifo: "/BAG_root/metadata is a link to elsewhere",
            "storage:" + self.path("raw.bin"):
                "keeps its data outside this file",
        }
        for index, (layout, reason) in enumerate(cases.items()):
            crafted = self.path("crafted%d.bag" % index)
            bag.write(crafted, DOCUMENT, layout=layout)
            for isolated in (True, False):
                with self.subTest(layout=layout, isolated=isolated):
                    self.assertIn(reason,
                                  read_or_reason(crafted, isolated=isolated))

    def test_relative_paths_follow_the_working_folder(self):
        bag.open(self.good)  # the helper process starts elsewhere
        old = os.getcwd()
        os.chdir(self.folder.name)
        try:
            self.assertEqual(read_or_reason("good.bag"), DOCUMENT)
        finally:
            os.chdir(old)

    def test_the_helper_imports_nothing_from_the_working_folder(self):
        with open(self.path("struct.py"), "w") as stream:
            stream.write("raise SystemExit('imported from the working "
                         "folder')\n")
        child = support.run_child(
            "import os, sys\n"
            "from bathyra import bag\n"
            "os.chdir(sys.argv[1])\n"
            "print(len(bag.open(sys.argv[2]).iso19139_xml))",
            argv=(self.folder.name, self.good))
        self.assertEqual(child.stdout.strip(), str(len(DOCUMENT)),
                         child.stderr)

    def test_an_interrupted_read_leaves_no_answer_behind(self):
        other = self.path("other.bag")
        bag.write(other, DOCUMENT.replace(b"H13045", b"H99999"))
        helper = bag._helper
        receive = helper._receive_answer

        def interrupted(timeout):
            helper._receive_answer = receive
            raise KeyboardInterrupt

        helper._receive_answer = interrupted
        with self.assertRaises(KeyboardInterrupt):
            bag.open(other)
        self.assertEqual(read_or_reason(self.good), DOCUMENT)

    def test_special_files_are_refused_before_opening(self):
        fifo = self.path("fifo.bag")
        os.mkfifo(fifo)
        link = self.path("zero.bag")
        os.symlink("/dev/zero", link)
        for path in (fifo, link):
            self.assertEqual(read_or_reason(path), "not a regular file")

    def test_declared_size_is_refused_before_allocation(self):
        crafted = self.path("declared.bag")
        bag.write(crafted, DOCUMENT, chunk=1 << 20,
                  layout="declared:%d" % (1 << 30))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        self.assertIn("declares 1073741824 bytes, more than the limit of "
                      "67108864 bytes",
                      read_or_reason(crafted, isolated=False))
        grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        self.assertLess(grown_kib, 64 * 1024)
        self.assertIn("more than the limit of 1000 bytes",
                      read_or_reason(self.good, limit=1000))
        self.assertEqual(read_or_reason(self.good, limit=len(DOCUMENT) + 1),
                         DOCUMENT)

    def test_damaged_files_cost_their_own_read_only(self):
        # Bytes overwritten in the first 3 KB of a compressed file: some of
        # these crash HDF5 1.10; the helper process takes the crash.
        bag.write(self.good, DOCUMENT, chunk=4096, compress=6)
        with open(self.good, "rb") as stream:
            data = stream.read()
        crashes = 0
        damaged = self.path("damaged.bag")
        for offset in range(0, 3072, 8):
            with open(damaged, "wb") as stream:
                stream.write(data[:offset] + b"\xff" * 8 + data[offset + 8:])
            outcome = read_or_reason(damaged)
            if isinstance(outcome, str):
                crashes += outcome.startswith(
                    "the HDF5 library failed on this file")
        self.assertEqual(read_or_reason(self.good), DOCUMENT)
        if crashes == 0:
            self.skipTest("no mutation crashed this HDF5 library")

    def test_fuzzed_files_never_reach_the_caller(self):
        # Random mutations of files written here, read through the helper
        # process; BATHYRA_FUZZ_SECONDS runs it longer.
        originals = []
        for index, options in enumerate(({}, {"chunk": 512, "compress": 6},
                                         {"chunk": 64})):
            original = self.path("original%d.bag" % index)
            bag.write(original, DOCUMENT, **options)
            with open(original, "rb") as stream:
                originals.append(stream.read())
        fuzzed = self.path("fuzzed.bag")
        runs = 0
        for _ in support.mutated_files(originals, fuzzed, 11):
            outcome = read_or_reason(fuzzed, timeout=20)
            self.assertIsInstance(outcome, (bytes, str))
            runs += 1
        print("\nBAG fuzz: %d mutated files" % runs, file=sys.stderr)
        self.assertEqual(read_or_reason(self.good), DOCUMENT)


@needs_hdf5
class WriterTest(unittest.TestCase):

    def test_arguments_are_checked(self):
        with tempfile.TemporaryDirectory() as folder:
            target = os.path.join(folder, "x.bag")
            with self.assertRaises(TypeError):
                bag.write(target, 42)
            with self.assertRaises(TypeError):
                bag.write(target, DOCUMENT, version=1.6)
            with self.assertRaises(ValueError):
                bag.write(target, DOCUMENT, version="1.6\0")
            with self.assertRaises(FileNotFoundError) as caught:
                bag.write(os.path.join(folder, "no", "x.bag"), DOCUMENT)
            self.assertIn("No such file or directory", str(caught.exception))


FINALIZED = "interpreter finalized"
EXIT_SCRIPT = """
import ctypes, sys, threading, time
from bathyra import bag
from bathyra.metadata_parser import extract_metadata
path, document = sys.argv[1], open(sys.argv[2], "rb").read()

class Hooked:
    @property
    def iso19139_xml(self):
        time.sleep(0.0005)
        return document

def busy(call):
    while True:
        try:
            call()
        except Exception:
            pass

import bathyra
for call in (lambda: extract_metadata(Hooked()),
             lambda: bathyra.read_survey(path),
             lambda: bathyra.parse_survey(document),
             lambda: bag.open(path),
             lambda: bag.open(path, isolated=False),
             lambda: extract_metadata(bag.open(path, isolated=False))):
    for _ in range(2):
        threading.Thread(target=busy, args=(call,), daemon=True).start()
# The first of the C exit handlers, which run once the interpreter has
# finished: it marks the moment on stderr (a string that outlives Python).
libc = ctypes.CDLL("libc.so.6")
libc.strdup.restype = ctypes.c_void_p
libc.__cxa_atexit.argtypes = [ctypes.c_void_p] * 3
libc.__cxa_atexit(ctypes.cast(libc.perror, ctypes.c_void_p).value,
                  libc.strdup(b"%s"), None)
time.sleep(0.05)
""" % FINALIZED


@needs_hdf5
class ExitTest(unittest.TestCase):

    @unittest.skipIf(support.SANITIZED,
                     "AddressSanitizer's runtime (GCC 12) reports its own "
                     "stack check during a thread's forced unwind as an "
                     "overflow, a false positive; the plain builds run it")
    def test_interpreter_exits_while_threads_read(self):
        # Daemon threads inside every entry point when the interpreter
        # ends them: the forced unwind must pass through the module.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "survey.bag")
            bag.write(path, DOCUMENT, chunk=4096, compress=6)
            example = os.path.join(support.EXAMPLES_DIR,
                                   "survey_h13045_multibeam.xml")
            runs = int(os.environ.get("BATHYRA_EXIT_RUNS", "8"))
            host_faults = 0
            for run in range(runs):
                child = support.run_child(EXIT_SCRIPT, argv=(path, example))
                finalized = FINALIZED in child.stderr
                # The host may report a daemon thread's exception after
                # sys.stderr is gone ("lost sys.stderr"); nothing else.
                stderr = "".join(
                    line for line in child.stderr.splitlines(True)
                    if line != "lost sys.stderr\n"
                    and not line.startswith(FINALIZED))
                if (child.returncode < 0 and not stderr and
                        sys.version_info[:2] == (3, 10)):
                    # CPython 3.10 lets a daemon thread take the interpreter
                    # lock once the interpreter is gone: while the C exit
                    # handlers run (the module's code is no longer on any
                    # stack then), and, rarely, while the interpreter is
                    # being torn down, before the first of them marks the
                    # moment; 3.9 and 3.11 on do not.
                    host_faults += 1
                    continue
                self.assertEqual((child.returncode, stderr), (0, ""),
                                 "run %d" % run)
                self.assertTrue(finalized, "run %d" % run)
            self.assertLessEqual(host_faults, runs // 2)


# Child programs of HelperProcessTest.  Each hook signals the helper
# process after stopping it, so that the signal always comes before the
# answer; `times` is how many processes in a row it befalls.
OUTSIDE_SCRIPT = """
import json, os, signal, sys
from bathyra import bag
helper, found = bag._helper, {}
send = helper._send

def signalling(number, times, used):
    def send_and_signal(request):
        pid = helper.process.pid
        used.append(pid)
        if len(used) > times:
            return send(request)
        os.kill(pid, signal.SIGSTOP)
        send(request)
        if number != signal.SIGSTOP:
            os.kill(pid, number)
            os.kill(pid, signal.SIGCONT)
    return send_and_signal

def read(case, used):
    try:
        outcome = ["read", len(bag.open(sys.argv[1]).iso19139_xml)]
    except bag.BagError as error:
        outcome = [type(error).__name__, error.reason]
    found[case] = outcome + [len(set(used))]

for name, times in (("SIGKILL", 1), ("SIGTERM", 1), ("SIGSTOP", 1),
                    ("SIGKILL", 2), ("SIGSTOP", 2), ("SIGSEGV", 1)):
    used = []
    helper._send = signalling(getattr(signal, name), times, used)
    read("%s %d" % (name, times), used)
helper._send = send
# The same while the process starts.
await_ready = helper._await_ready

def signalling_at_start(number, times, used):
    def signal_and_wait(timeout):
        used.append(helper.process.pid)
        if len(used) <= times:
            os.kill(helper.process.pid, number)
        return await_ready(timeout)
    return signal_and_wait

for name, times in (("SIGKILL", 1), ("SIGSTOP", 1), ("SIGKILL", 2)):
    used = []
    bag.stop_helper()
    helper._await_ready = signalling_at_start(getattr(signal, name), times,
                                              used)
    read("start %s %d" % (name, times), used)
helper._await_ready = await_ready
found["after"] = len(bag.open(sys.argv[1]).iso19139_xml)
print(json.dumps(found))
"""

START_SCRIPT = """
import errno, json, os, sys
sys.path.insert(0, sys.argv[1])
from bathyra import _bag_helper, bag
path, broken, empty = sys.argv[2:]

def outcome():
    try:
        return len(bag.open(path).iso19139_xml)
    except bag.BagError as error:
        return [type(error).__name__, error.reason]
    finally:
        bag.stop_helper()

def no_process(*args, **options):
    raise BlockingIOError(errno.EAGAIN, os.strerror(errno.EAGAIN))

found = {}
interpreter, sys.executable = sys.executable, broken
found["broken interpreter"] = outcome()
sys.executable = interpreter
parent, _bag_helper._PACKAGE_PARENT = _bag_helper._PACKAGE_PARENT, empty
found["no package"] = outcome()
_bag_helper._PACKAGE_PARENT = parent
popen, _bag_helper.subprocess.Popen = _bag_helper.subprocess.Popen, no_process
found["no process left"] = outcome()
_bag_helper.subprocess.Popen = popen
found["after"] = outcome()
print(json.dumps(found))
"""

REENTRY_SCRIPT = """
import json, os, signal, sys
from bathyra import bag
outer_path, inner_path = sys.argv[1:]
inner = []
signal.signal(signal.SIGUSR1, lambda number, frame: inner.append(
    bag.open(inner_path).iso19139_xml.decode()))
helper = bag._helper
send = helper._send

def send_and_interrupt(request):
    # The handler runs here, while this thread holds the helper process.
    send(request)
    os.kill(os.getpid(), signal.SIGUSR1)

helper._send = send_and_interrupt
outer = bag.open(outer_path).iso19139_xml.decode()
helper._send = send
# The handler runs while this thread stops the process, between the
# closing of its pipes.
close = os.close

def close_and_interrupt(fd):
    close(fd)
    os.close = close
    os.kill(os.getpid(), signal.SIGUSR1)

os.close = close_and_interrupt
bag.stop_helper()
os.close = close
print(json.dumps([outer, inner, bag.open(inner_path).iso19139_xml.decode()]))
"""

# How a program ends (argv[2]) after a read, and the helper processes it
# had, as JSON: [pids, those still there when it printed, others to end].
ENDING_SCRIPT = """
import json, multiprocessing, os, signal, subprocess, sys, threading
from bathyra import bag

def helper_pid(path):
    bag.open(path)
    return bag._helper.process.pid

def stopped_helper_pid(path):
    # A stopped process: as if busy with a file, it reads no end of input.
    pid = helper_pid(path)
    os.kill(pid, signal.SIGSTOP)
    return pid

def there(pid):
    return os.path.exists("/proc/%d" % pid)

if __name__ == "__main__":
    path, how = sys.argv[1:]
    others = []
    if how.startswith("pool"):
        end, method = how.split()[1:]
        pool = multiprocessing.get_context(method).Pool(2)
        task = helper_pid if end == "close" else stopped_helper_pid
        pids = sorted(set(pool.map(task, [path] * 4, chunksize=1)))
        getattr(pool, end)()
        pool.join()
    elif how == "thread":
        # Started by a thread that is gone; its input held open elsewhere.
        thread = threading.Thread(target=helper_pid, args=(path,))
        thread.start()
        thread.join()
        pids = [bag._helper.process.pid]
        others.append(subprocess.Popen(
            [sys.executable, "-c", "import time; time.sleep(60)"],
            pass_fds=(bag._helper.requests,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).pid)
    else:
        pids = [(stopped_helper_pid if how == "_exit" else helper_pid)(path)]
    print(json.dumps([pids, [pid for pid in pids if there(pid)], others]),
          flush=True)
    if how in ("_exit", "thread"):
        os._exit(0)
"""


def read_in_child(path):
    return len(bag.open(path).iso19139_xml)


@needs_hdf5
class ForkTest(unittest.TestCase):

    def test_children_read_while_the_parent_reads(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "survey.bag")
            bag.write(path, DOCUMENT, chunk=4096, compress=6)
            stop = threading.Event()

            def parent_reads():
                while not stop.is_set():
                    bag.open(path, isolated=False)
                    bag.open(path)

            reader = threading.Thread(target=parent_reads)
            reader.start()
            try:
                for method in multiprocessing.get_all_start_methods():
                    with self.subTest(method=method):
                        context = multiprocessing.get_context(method)
                        with context.Pool(2) as pool:
                            sizes = pool.map_async(
                                read_in_child, [path] * 16).get(timeout=60)
                        self.assertEqual(sizes, [len(DOCUMENT)] * 16)
            finally:
                stop.set()
                reader.join()


needs_proc = unittest.skipUnless(os.path.isdir("/proc/self"),
                                 "no /proc to look at processes in")


@needs_hdf5
class HelperProcessTest(unittest.TestCase):
    """What befalls the helper process from outside is no fault of the
    file; the process starts as its caller would, and ends with it."""

    def setUp(self):
        self.folder = support.temporary_directory(self)
        self.good = os.path.join(self.folder, "good.bag")
        bag.write(self.good, DOCUMENT)

    def child_json(self, script, *argv, options=()):
        """What the program `script` (code, or a file) printed last, as
        JSON."""
        if os.path.isfile(script):
            child = support.run_python(*options, script, *argv)
        else:
            child = support.run_child(script, *options, argv=argv)
        self.assertEqual(child.returncode, 0, child.stderr)
        return json.loads(child.stdout.splitlines()[-1])

    def test_a_reader_stopped_from_outside_reads_the_file_anew(self):
        found = self.child_json(OUTSIDE_SCRIPT, self.good)
        for case in ("SIGKILL 1", "SIGTERM 1", "SIGSTOP 1", "start SIGKILL 1",
                     "start SIGSTOP 1"):
            with self.subTest(case=case):
                self.assertEqual(found[case], ["read", len(DOCUMENT), 2])
        self.assertEqual(found["start SIGKILL 2"][::2], ["BagReaderError", 2])
        for case, how in (("SIGKILL 2", "killed by SIGKILL"),
                          ("SIGSTOP 2", "stopped by SIGSTOP")):
            with self.subTest(case=case):
                kind, reason, processes = found[case]
                self.assertEqual((kind, processes), ("BagReaderError", 2))
                self.assertTrue(reason.startswith(
                    "the BAG reader was stopped from outside while reading "
                    "this file (%s), and again" % how), reason)
                self.assertNotIn("a damaged file", reason)
        # A crash signal is the library's: the file is damaged, at once.
        # (AddressSanitizer's handler turns the fault into an abort.)
        crash = "SIGABRT" if support.SANITIZED else "SIGSEGV"
        self.assertEqual(found["SIGSEGV 1"], [
            "BagError", "the HDF5 library failed on this file (a damaged "
            "file; the reader stopped, %s)" % crash, 1])
        self.assertEqual(found["after"], len(DOCUMENT))

    def test_a_reader_that_cannot_start_says_why(self):
        broken = os.path.join(self.folder, "python")
        with open(broken, "w") as stream:
            stream.write("#!/bin/sh\necho 'python: cannot load its "
                         "library' >&2\nexit 127\n")
        os.chmod(broken, 0o755)
        # Isolated (-I), the helper process finds bathyra only where the
        # caller says it is.
        found = self.child_json(START_SCRIPT, support.BUILD_DIR, self.good,
                                broken, self.folder, options=("-I",))
        prefix = "the BAG reader could not start: "
        self.assertEqual(found, {
            "broken interpreter": [
                "BagReaderError",
                prefix + "python: cannot load its library (exit status 127)"],
            "no package": [
                "BagReaderError", prefix + "ModuleNotFoundError: No module "
                "named 'bathyra' (exit status 1)"],
            "no process left": [
                "BagReaderError", prefix + "the system would not start a "
                "new process: " + os.strerror(errno.EAGAIN)],
            "after": len(DOCUMENT)})

    def test_the_reader_sees_what_its_caller_sees(self):
        # A site hook that prints a banner, and a module that shadows the
        # library's struct, on the path given by the environment.
        hooks = os.path.join(self.folder, "hooks")
        shadows = os.path.join(self.folder, "shadows")
        for folder, name, text in (
                (hooks, "sitecustomize.py",
                 "import sys\nprint('Welcome to the survey office ' * 99)\n"
                 "print('site hook', file=sys.stderr)\n"),
                (shadows, "struct.py", "raise SystemExit('struct from "
                 "PYTHONPATH')\n")):
            os.makedirs(folder)
            with open(os.path.join(folder, name), "w") as stream:
                stream.write(text)
        code = ("import sys\nsys.path.insert(0, sys.argv[1])\n"
                "from bathyra import bag\n"
                "print(len(bag.open(sys.argv[2]).iso19139_xml))")
        runs = [(flag, os.pathsep.join([shadows, hooks]))
                for flag in ("-I", "-E")]
        runs.append((None, os.pathsep.join([support.BUILD_DIR, hooks])))
        for flag, path in runs:
            with self.subTest(flag=flag):
                child = support.run_child(
                    code, *([flag] if flag else []),
                    argv=(support.BUILD_DIR, self.good),
                    env=dict(os.environ, PYTHONPATH=path))
                self.assertEqual(child.stdout.splitlines()[-1:],
                                 [str(len(DOCUMENT))], child.stderr)

    def test_a_signal_handler_reads_while_its_thread_reads(self):
        other = os.path.join(self.folder, "other.bag")
        bag.write(other, b"<other/>")
        found = self.child_json(REENTRY_SCRIPT, self.good, other)
        self.assertEqual(found, [DOCUMENT.decode(), ["<other/>"] * 2,
                                 "<other/>"])

    @needs_proc
    def test_no_helper_outlives_its_caller(self):
        # Reaped by their caller: at its return, and when a pool worker
        # leaves.  Killed with their caller: a stopped one when it ends
        # without clean-up (by the system, PR_SET_PDEATHSIG) and one whose
        # input another process holds (its parent watch); their remains
        # are then the system's to reap.
        # A file: the workers of the "spawn" method import the program.
        script = os.path.join(self.folder, "ending.py")
        with open(script, "w") as stream:
            stream.write(ENDING_SCRIPT)
        hows = ["return", "_exit", "thread"]
        for method in multiprocessing.get_all_start_methods():
            hows += ["pool close " + method, "pool terminate " + method]
        for how in hows:
            with self.subTest(how=how):
                pids, there, others = self.child_json(script, self.good, how)
                for pid in others:
                    self.addCleanup(os.kill, pid, signal.SIGKILL)
                self.assertTrue(pids)
                if how.startswith("pool close"):
                    self.assertEqual(there, [])
                if how == "return" or how.startswith("pool close"):
                    self.assertFalse(any(map(runs, pids)))
                self.assertTrue(wait_for(
                    lambda: not any(map(runs, pids))), pids)


@needs_hdf5
class CommandLineSafetyTest(unittest.TestCase):
    """Special, damaged and oddly named files among good ones: each costs
    its own line, none hangs the run or loses another's record."""

    def test_hostile_folder(self):
        with tempfile.TemporaryDirectory() as folder:
            good = os.path.join(folder, "a_good.xml")
            with open(good, "wb") as stream:
                stream.write(DOCUMENT)
            os.mkfifo(os.path.join(folder, "b_fifo.xml"))
            os.symlink("/dev/zero", os.path.join(folder, "c_zero.xml"))
            damaged = os.path.join(folder, "d_damaged.bag")
            bag.write(damaged, DOCUMENT, chunk=4096, compress=6)
            with open(damaged, "r+b") as stream:
                stream.seek(1000)
                stream.write(b"\xff" * 2000)
            odd = os.path.join(os.fsencode(folder), b"e_odd\xff\nname.xml")
            with open(odd, "wb") as stream:
                stream.write(DOCUMENT)
            # Both readers: the survey reader (in two processes) and
            # extract_metadata (--strict, whose BagError lines name it).
            for options, bag_error in ((["-j", "2"], ""),
                                       (["--strict"], "BagError: ")):
                with self.subTest(options=options):
                    result = support.run_cli("--json", *options, folder,
                                             text=False)
                    self.check_hostile_folder(result, bag_error)

    def check_hostile_folder(self, result, bag_error):
        self.assertEqual(result.returncode, 1)
        files = [json.loads(line)["file"]
                 for line in result.stdout.decode("utf-8").splitlines()
                 if "error" not in json.loads(line)]
        self.assertEqual([os.path.basename(f) for f in files],
                         ["a_good.xml", "e_odd\\xff\\nname.xml"])
        errors = [line for line in result.stderr.decode(
            "utf-8").splitlines() if ": not read: " in line]
        self.assertEqual(len(errors), 3, errors)
        self.assertTrue(errors[0].endswith(
            "b_fifo.xml: not read: not a regular file"))
        self.assertTrue(errors[1].endswith(
            "c_zero.xml: not read: not a regular file"))
        self.assertIn("d_damaged.bag: not read: " + bag_error, errors[2])

    def test_output_failures(self):
        example = os.path.join(support.EXAMPLES_DIR,
                               "survey_h13045_multibeam.xml")
        with open("/dev/full", "wb") as full_disk:
            result = support.run_cli(example, stdout=full_disk,
                                     stderr=subprocess.PIPE, text=False)
        self.assertEqual(result.returncode, 3)
        self.assertIn(b"cannot write the output: No space left on device",
                      result.stderr)
        closed = support.run_child(
            "import os, sys, subprocess\n"
            "sys.exit(subprocess.call([sys.executable, '-m', 'bathyra', "
            "sys.argv[1]], preexec_fn=lambda: os.close(1)))",
            argv=(example,))
        self.assertEqual(closed.returncode, 3, closed.stderr)
        self.assertIn("standard output is closed", closed.stderr)
        reader = subprocess.Popen(
            [sys.executable, "-m", "bathyra", "--strict", "--json"]
            + [example] * 2000,
            env=dict(os.environ, PYTHONPATH=support.BUILD_DIR),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader.stdout.readline()
        reader.stdout.close()
        self.assertEqual(reader.wait(timeout=120), 141)
        self.assertEqual(reader.stderr.read(), b"")
        reader.stderr.close()

    def test_unreadable_folder_is_reported(self):
        from bathyra import cli
        reports = []
        real_scandir = os.scandir

        def refusing_scandir(path):
            if os.path.basename(path) == "locked":
                raise PermissionError(13, "Permission denied", path)
            return real_scandir(path)

        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(os.path.join(folder, "locked"))
            os.scandir = refusing_scandir
            try:
                files = cli.expand_paths(
                    [folder], lambda *report: reports.append(report))
            finally:
                os.scandir = real_scandir
        self.assertEqual(files, [])
        self.assertEqual(reports, [(os.path.join(folder, "locked"),
                                    "cannot read this folder: "
                                    "Permission denied")])


if __name__ == "__main__":
    unittest.main()
