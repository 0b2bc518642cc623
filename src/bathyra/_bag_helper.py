"""The caller's side of the BAG helper process (bathyra._bag_worker): its
start, the files it is asked for, what its end means, and its end.

How the process ends while it reads a file decides what the caller hears:

- a crash signal of the library (SIGSEGV, SIGBUS, SIGABRT, SIGFPE,
  SIGILL): the file is damaged, a BagError;
- anything else (killed or stopped from outside, SIGKILL, SIGTERM,
  SIGSTOP..., or an exit of its own): the file is read again by a fresh
  process, once.  A second exit of its own, or a crash then, means a
  damaged file; a second stop from outside is a BagReaderError that says
  so, for nothing is known about the file;
- no answer within the timeout: the process is killed, a BagError.

A stopped process is noticed while the caller waits (``waitpid`` with
WUNTRACED, at most half a second apart), not at the timeout.  A process
that cannot start is a BagReaderError with the reason it gave.
"""
import os
import select
import signal
import struct
import subprocess
import sys
import threading
import time

from bathyra import _bag_worker
from bathyra.document import DEFAULT_LIMIT
from bathyra.errors import BagError

_POSIX = os.name == "posix"
_CRASH_SIGNALS = frozenset(
    getattr(signal, name) for name in
    ("SIGSEGV", "SIGBUS", "SIGABRT", "SIGFPE", "SIGILL")
    if hasattr(signal, name))
_LONGEST_PAUSE = 0.5  # seconds between looks at a process that is silent
_STDERR_KEPT = 4096   # bytes of the start-up errors that are kept
_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DAMAGED = ("the HDF5 library failed on this file (a damaged file; the "
           "reader stopped%s)")
TIMED_OUT = ("the HDF5 library did not finish reading this file within "
             "%g s (a damaged file?); it was stopped")
STOPPED_TWICE = ("the BAG reader was stopped from outside while reading "
                 "this file (%s), and again when the file was read anew "
                 "(%s): the file was not read, and nothing says that it is "
                 "damaged")
NOT_STARTED = "the BAG reader could not start: %s"


class BagReaderError(BagError):
    """The BAG reader failed, not the file: its helper process could not
    start, or was stopped from outside each time it read the file.
    ``reason`` says which; as a BagError, it costs only this file."""


class _Ended(Exception):
    """The process ended or stopped before it answered: `how` is "crash",
    "outside" or "exit", `text` names the signal or the exit status."""

    def __init__(self, how, text):
        super().__init__(how, text)
        self.how, self.text = how, text


class _TimedOut(Exception):
    """No answer before the deadline."""


class _NotStarted(Exception):
    """The process could not start; the text says why."""


def _ending(code):
    """How a process with the exit code `code` (negative: the signal) ended:
    (how, text) as in _Ended; a crash names its signal alone."""
    if code is None or code >= 0:
        return "exit", "exit status %s" % code
    if -code in _CRASH_SIGNALS:
        return "crash", _signal_name(-code)
    return "outside", "killed by " + _signal_name(-code)


def _signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def _interpreter_flags():
    """The options of this interpreter that decide where imports come from,
    for the helper's: it must see what this process sees, no more."""
    flags = sys.flags
    options = []
    if flags.isolated:
        options.append("-I")
    else:
        if flags.ignore_environment:
            options.append("-E")
        if flags.no_user_site:
            options.append("-s")
        if getattr(flags, "safe_path", False):  # 3.11 on
            options.append("-P")
    if flags.no_site:
        options.append("-S")
    if flags.dont_write_bytecode:
        options.append("-B")
    return options


def _ready(fds, seconds):
    """The descriptors of `fds` that can be read within `seconds`."""
    if hasattr(select, "poll"):
        poller = select.poll()
        for fd in fds:
            poller.register(fd, select.POLLIN)
        return [fd for fd, _ in poller.poll(seconds * 1000)]
    return select.select(fds, [], [], seconds)[0]


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class Helper:
    """One helper process and the lock of its readers.  The shared one
    (``shared=True``) serves every thread and is stopped when a
    multiprocessing worker exits; a call that re-enters it from a signal
    handler of its reading thread gets a one-off process of its own."""

    def __init__(self, shared=False):
        self.shared = shared
        self.lock = threading.RLock()
        self.owner = None      # the thread asking the process for a file
        self.process = None
        self.requests = self.answers = -1  # this side's pipe ends
        self.limit = 0
        self.finalized_in = None  # the process whose exit stops this one

    def read(self, path, limit, timeout, parts=_bag_worker.METADATA,
             extra=b""):
        """(document, version, summary) of the file at `path`: the `parts`
        that it asks for (flags of _bag_worker), read with a metadata limit
        of `limit` bytes and `timeout` seconds (None: no bound) for each
        wait on the process; `extra` follows the path (the georeferencing
        of a FOOTPRINT request, after its length)."""
        encoded = os.fsencode(os.path.abspath(path))
        request = _bag_worker.REQUEST.pack(len(encoded), limit,
                                           parts) + encoded
        if parts & _bag_worker.FOOTPRINT:
            request += struct.pack("!I", len(extra)) + extra
        me = threading.get_ident()
        if self.owner == me:
            # A signal handler of the reading thread: the process is busy
            # with the other file, whose call waits under this frame.
            one_off = Helper()
            try:
                return one_off.read(path, limit, timeout, parts, extra)
            finally:
                one_off.stop()
        # Re-entrant: a handler that runs before `owner` is set finds the
        # process unused and may use it.
        with self.lock:
            self.owner = me
            try:
                kind, first, second, third = self._ask(path, request,
                                                       limit, timeout)
            finally:
                self.owner = None
        if kind == _bag_worker.OK:
            version = None if first is None else first.decode(
                "utf-8", "replace")
            return second, version, third
        if kind == _bag_worker.FAILURE:
            raise BagError(path, first.decode("utf-8", "replace"))
        raise MemoryError()

    def _ask(self, path, request, limit, timeout):
        """The answer to `request`, from a fresh process when the first
        one is stopped from outside."""
        first_end = None
        while True:
            # The process bounds its memory by the limit it started with:
            # a larger one needs a new process; one that ended between
            # files is replaced.
            if (self.process is None or self.process.poll() is not None
                    or limit > self.limit):
                self.stop()
                try:
                    self._start(limit, timeout)
                except _NotStarted as failure:
                    raise BagReaderError(path,
                                         NOT_STARTED % failure) from None
                except _Ended as ended:
                    # Stopped from outside while it started: as in a read.
                    if first_end is not None:
                        raise BagReaderError(path, STOPPED_TWICE % (
                            first_end.text, ended.text)) from None
                    first_end = ended
                    continue
            try:
                self._send(request)
                return self._receive_answer(timeout)
            except _Ended as ended:
                self.stop()
                if ended.how == "crash" or (first_end is not None
                                            and ended.how == "exit"):
                    raise BagError(path,
                                   DAMAGED % (", " + ended.text)) from None
                if first_end is not None:
                    raise BagReaderError(path, STOPPED_TWICE % (
                        first_end.text, ended.text)) from None
                first_end = ended
            except _TimedOut:
                self.stop()
                raise BagError(path, TIMED_OUT % timeout) from None
            except BaseException:
                # Interrupted between request and answer: the answer
                # would be taken for the next file's.
                self.stop()
                raise

    def _send(self, request):
        try:
            _write_all(self.requests, request)
        except BrokenPipeError:
            # It ended before the request: not this file's doing.
            how, text = _ending(self._exit_code())
            raise _Ended("exit" if how == "exit" else "outside", text)

    def _receive_answer(self, timeout):
        """(kind, first payload or None, second payload, third payload) of
        one answer."""
        deadline = None if timeout is None else time.monotonic() + timeout
        size = _bag_worker.ANSWER.size
        data = self._receive(b"", size, deadline)
        kind, first_length, second_length, third_length = (
            _bag_worker.ANSWER.unpack_from(data))
        no_first = first_length == _bag_worker.NO_VERSION
        body = size + (0 if no_first else first_length)
        end = body + second_length
        data = self._receive(data, end + third_length, deadline)
        first = None if no_first else data[size:body]
        return kind, first, data[body:end], data[end:end + third_length]

    def _receive(self, data, size, deadline):
        """`data` completed to at least `size` bytes of the answers."""
        parts = [data]
        have = len(data)
        while have < size:
            if _POSIX:
                self._wait([self.answers], deadline)
            part = os.read(self.answers, max(size - have, 1 << 16))
            if not part:
                raise _Ended(*_ending(self._exit_code()))
            parts.append(part)
            have += len(part)
        return b"".join(parts)

    def _wait(self, fds, deadline):
        """The descriptors of `fds` ready to be read.  Raises _TimedOut at
        the deadline (None: none) and _Ended when the process is stopped."""
        pause = 0.01
        while True:
            wait = pause
            if deadline is not None:
                wait = min(pause, deadline - time.monotonic())
                if wait <= 0:
                    self._look_for_stop()
                    raise _TimedOut()
            ready = _ready(fds, wait)
            if ready:
                return ready
            self._look_for_stop()
            pause = min(2 * pause, _LONGEST_PAUSE)

    def _look_for_stop(self):
        """Raises _Ended when the process is stopped; records its exit
        code when it has ended (its pipes then tell the caller)."""
        try:
            pid, status = os.waitpid(self.process.pid,
                                     os.WNOHANG | os.WUNTRACED)
        except ChildProcessError:  # reaped elsewhere (SIGCHLD ignored)
            return
        if pid == 0:
            return
        if os.WIFSTOPPED(status):
            raise _Ended("outside", "stopped by %s"
                         % _signal_name(os.WSTOPSIG(status)))
        self.process.returncode = os.waitstatus_to_exitcode(status)

    def _exit_code(self):
        """The exit code of a process whose pipe ended (None if it does
        not end)."""
        try:
            return self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            return None

    def _start(self, limit, timeout):
        self.limit = max(limit, DEFAULT_LIMIT)
        if not sys.executable:
            raise _NotStarted("this Python does not know the path of its "
                              "interpreter (sys.executable is empty)")
        # The thread that starts the process kills it when it ends (see
        # the worker): only the main thread lasts as long as this process.
        tie = threading.current_thread() is threading.main_thread()
        ends = os.pipe() + os.pipe()  # requests (r, w), answers (r, w)
        streams = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, pass_fds=(ends[0], ends[3]))
        if not _POSIX:  # no descriptors to pass: the standard streams
            streams = dict(stdin=ends[0], stdout=ends[3],
                           stderr=subprocess.DEVNULL)
        child_ends = (ends[0], ends[3]) if _POSIX else (0, 1)
        arguments = [sys.executable, *_interpreter_flags(), "-c",
                     _bag_worker.BOOT, _PACKAGE_PARENT,
                     *map(str, child_ends), str(self.limit),
                     str(os.getpid()), str(int(tie))]
        try:
            # Started in the package's own folder: the caller's working
            # folder may hold anything.
            self.process = subprocess.Popen(arguments, cwd=_PACKAGE_PARENT,
                                            **streams)
        except OSError as error:
            os.close(ends[1])
            os.close(ends[2])
            reason = error.strerror or str(error)
            if error.filename:  # the interpreter, or the folder
                reason = "%s: %s" % (error.filename, reason)
            else:  # fork() failed
                reason = "the system would not start a new process: " + reason
            raise _NotStarted(reason) from None
        finally:
            os.close(ends[0])
            os.close(ends[3])
        self.requests, self.answers = ends[1], ends[2]
        if self.shared:
            self._stop_with_multiprocessing_worker()
        try:
            self._await_ready(timeout)
        except BaseException:
            self.stop()
            raise

    def _await_ready(self, timeout):
        """Waits for the process to say it is ready; raises _NotStarted
        with the reason it printed, or _Ended when it was killed or stopped
        from outside."""
        deadline = None if timeout is None else time.monotonic() + timeout
        errors = self.process.stderr
        fds = [self.answers] + ([errors.fileno()] if errors else [])
        said, printed = b"", b""
        while len(said) < len(_bag_worker.READY):
            try:
                ready = self._wait(fds, deadline) if _POSIX else fds[:1]
            except _TimedOut:
                raise _NotStarted("it did not answer within %g s" % timeout)
            except _Ended as ended:
                if ended.how == "outside":
                    raise
                raise _NotStarted("it was %s" % ended.text)
            if errors and errors.fileno() in ready:
                part = os.read(errors.fileno(), 1 << 16)
                printed = (printed + part)[-_STDERR_KEPT:]
                if not part:
                    fds.remove(errors.fileno())
            if self.answers in ready:
                part = os.read(self.answers, len(_bag_worker.READY))
                if not part:
                    how, text = _ending(self._exit_code())
                    if how == "outside":
                        raise _Ended(how, text)
                    raise _NotStarted(self._why_not_started(printed))
                said += part
        if said != _bag_worker.READY:
            raise _NotStarted("it answered in a way this bathyra does not "
                              "know (%r)" % said)
        if errors:
            errors.close()

    def _why_not_started(self, printed):
        """The reason of a process that ended before it was ready: the last
        line it printed, and how it ended."""
        how, text = _ending(self._exit_code())
        errors = self.process.stderr
        while errors and len(_ready([errors.fileno()], 0.5)):
            part = os.read(errors.fileno(), 1 << 16)
            if not part:
                break
            printed = (printed + part)[-_STDERR_KEPT:]
        lines = printed.decode("utf-8", "replace").strip().splitlines()
        text = "killed by " + text if how == "crash" else text
        return "%s (%s)" % (lines[-1], text) if lines else "it ended, " + text

    def _stop_with_multiprocessing_worker(self):
        """In a multiprocessing worker, which leaves without the atexit
        handlers: the process ends before the worker does."""
        util = sys.modules.get("multiprocessing.util")
        if util is not None and self.finalized_in != os.getpid():
            util.Finalize(None, self.stop_if_idle, exitpriority=10)
            self.finalized_in = os.getpid()

    def stop(self):
        """Kills the process, if any, and waits for it.  What it closes is
        forgotten first: a signal handler that runs meanwhile and reads a
        file starts a process of its own, whose pipes this call leaves
        alone."""
        process, self.process = self.process, None
        ends = (self.requests, self.answers)
        self.requests = self.answers = -1
        for fd in ends:
            if fd >= 0:
                os.close(fd)
        if process is None:
            return
        if process.stderr:
            process.stderr.close()
        try:
            process.kill()
        except OSError:
            pass
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass

    def stop_if_idle(self):
        """Stops the process unless a thread is reading with it (when the
        interpreter exits: that thread's read ends the process later)."""
        if self.lock.acquire(blocking=False):
            try:
                if self.owner is None:
                    self._stop_as_owner()
            finally:
                self.lock.release()

    def stop_when_idle(self):
        """Stops the process once no other thread reads with it; nothing
        from a signal handler of the thread that reads."""
        if self.owner == threading.get_ident():
            return
        with self.lock:
            if self.owner is None:
                self._stop_as_owner()

    def _stop_as_owner(self):
        # A signal handler that reads a file meanwhile gets a one-off
        # process, as during a read.
        self.owner = threading.get_ident()
        try:
            self.stop()
        finally:
            self.owner = None

    def forget_after_fork(self):
        """In a forked child: the parent's process and pipes are the
        parent's; the child starts its own process when it needs one."""
        process, self.process = self.process, None
        for fd in (self.requests, self.answers):
            if fd >= 0:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self.requests = self.answers = -1
        self.lock = threading.RLock()
        self.owner = None
        if process is not None:
            if process.stderr:
                process.stderr.close()
            # Not this process's child: never wait for it.
            process.returncode = 0
