"""The processes of the command line's -j: the outcome of every task, in
the order of the tasks, read in a pool of worker processes that take the
tasks in chunks.  A worker that dies costs no file but the one it died on;
where no worker can be started the tasks are read in this process."""
import collections
import concurrent.futures
import os
import signal
import time
from concurrent.futures.process import BrokenProcessPool

from bathyra import bag

# The chunks of files that the processes take: at most MAX_CHUNK files, and
# about CHUNKS_PER_PROCESS of them for each process.
MAX_CHUNK = 64
CHUNKS_PER_PROCESS = 4
# Chunks handed to the pool ahead of the one being printed, per process.
AHEAD_PER_PROCESS = 2
# Seconds the workers have to end their file after a Ctrl-C or a broken
# pipe, before they are ended from here.
GRACE = 2.0

STOPPED = ("the reader process stopped while reading this file (it was "
           "ended, or the file made it fail)")


def available_cpus():
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def process_count(jobs, tasks):
    """The processes for `tasks` tasks when -j asks for `jobs` (None: one
    per CPU): never more than the CPUs this process may use, nor than the
    tasks."""
    return max(1, min(jobs or available_cpus(), available_cpus(), tasks))


def stop_bag_helper():
    stop = getattr(bag, "stop_helper", None)
    if stop is not None:
        stop()


def sigint_mask(how):
    """Blocks or unblocks SIGINT in this thread where the system can; the
    mask before (None where it cannot)."""
    if not hasattr(signal, "pthread_sigmask"):
        return None
    return signal.pthread_sigmask(how, [signal.SIGINT])


# In a worker: the event that asks it to stop reading (set by the main
# process on Ctrl-C or a broken pipe).
stopping = None


def worker_start(stop, main_process):
    """Initializer of each worker: Ctrl-C is for the main process alone
    (it stops the workers through `stop`), the worker ends soon after the
    main process ends (killed, say, by a batch scheduler), and the
    worker's BAG helper stops when the worker ends."""
    global stopping
    stopping = stop
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sigint_mask(signal.SIG_UNBLOCK)
    if os.name == "posix":
        from bathyra._bag_worker import watch_parent
        watch_parent(main_process)
    from multiprocessing import util
    util.Finalize(None, stop_bag_helper, exitpriority=10)


def read_chunk(read, tasks):
    """The outcomes of a chunk; fewer when the main process asks the
    workers to stop (it then uses none of them)."""
    outcomes = []
    for task in tasks:
        if stopping is not None and stopping.is_set():
            break
        outcomes.append(read(task))
    return outcomes


class Entry:
    """A chunk of tasks on its way: its future in the pool, or its
    outcomes once known.  `suspect`: it was in the pool when a worker
    died, and its tasks are read again one at a time."""

    def __init__(self, tasks):
        self.tasks = tasks
        self.future = None
        self.results = None
        self.suspect = False


class Pool:
    """A ProcessPoolExecutor, started again after a worker died.  Worker
    processes start with SIGINT blocked, so that a Ctrl-C before their
    initializer ignores it cannot print a traceback from them."""

    def __init__(self, jobs):
        self.jobs = jobs
        self.executor = None

    def submit(self, *call):
        if self.executor is None:
            import multiprocessing
            self.stop = multiprocessing.Event()
            self.executor = concurrent.futures.ProcessPoolExecutor(
                self.jobs, initializer=worker_start,
                initargs=(self.stop, os.getpid()))
        blocked = sigint_mask(signal.SIG_BLOCK)
        try:
            return self.executor.submit(*call)
        finally:
            if blocked is not None and signal.SIGINT not in blocked:
                sigint_mask(signal.SIG_UNBLOCK)

    def broken(self):
        """After a worker died: the next submission starts a new pool."""
        self.executor.shutdown(wait=True)
        self.executor = None

    def close(self, at_once):
        """Ends the pool: waits for its workers to end, or (`at_once`, as
        on Ctrl-C or a broken pipe) asks them to stop after the file each
        one reads, and ends those still reading after GRACE seconds, or
        at once on a second Ctrl-C.  (A worker ended while it sends its
        outcomes could leave half a message in the pool's pipe: asked
        first, the workers end between files.)"""
        executor, self.executor = self.executor, None
        if executor is None:
            return
        if not at_once:
            executor.shutdown(wait=True)
            return
        self.stop.set()
        # The pool's own record of its workers, taken before the shutdown
        # forgets them.
        workers = list((getattr(executor, "_processes", None) or {}).values())
        executor.shutdown(wait=False, cancel_futures=True)
        deadline = time.monotonic() + GRACE
        try:
            for worker in workers:
                worker.join(max(0.0, deadline - time.monotonic()))
        finally:
            for worker in workers:
                if worker.exitcode is None:
                    worker.terminate()


def outcomes(read, tasks, jobs, warn, lost):
    """read(task) of each task, in order; in `jobs` processes (bounded by
    process_count) when there is more than one task to share.  `warn`
    (text) says once why the tasks are read in this process when no
    worker process can be started; lost(reason) is the outcome of a task
    whose process died on it."""
    jobs = process_count(jobs, len(tasks))
    if jobs <= 1:
        yield from map(read, tasks)
        return
    # A few chunks per process, so that one slow chunk (large files) is
    # not left to the end for one process alone.
    size = max(1, min(MAX_CHUNK, len(tasks) // (jobs * CHUNKS_PER_PROCESS)))
    waiting = collections.deque(
        tasks[i:i + size] for i in range(0, len(tasks), size))
    pending = collections.deque()  # Entries handed out, in order
    pool = Pool(jobs)
    finished = False
    try:
        while waiting or pending:
            try:
                fill(pool, read, waiting, pending, jobs)
                head = pending[0]
                if head.suspect:
                    head.results = [read_alone(pool, read, task, lost)
                                    for task in head.tasks]
                elif head.results is None:
                    head.results = head.future.result()
            except BrokenProcessPool:
                # A worker died: the chunks not finished are read again,
                # one file at a time, so that only a file that ends its
                # process again is lost.
                for entry in pending:
                    if entry.results is None and not entry.suspect:
                        if (entry.future.done()
                                and entry.future.exception() is None):
                            entry.results = entry.future.result()
                        else:
                            entry.suspect = True
                pool.broken()
                continue
            except (OSError, ImportError, NotImplementedError) as error:
                # No worker process can be started here (no semaphores,
                # no processes left to this user): read the rest in this
                # process.
                why = getattr(error, "strerror", None) or error
                warn("cannot start the reader processes (%s): reading "
                     "the files in this process" % why)
                pool.close(at_once=True)
                for entry in pending:
                    yield from (entry.results if entry.results is not None
                                else map(read, entry.tasks))
                pending.clear()
                for chunk in waiting:
                    yield from map(read, chunk)
                waiting.clear()
                break
            pending.popleft()
            if not (waiting or pending):
                # The last outcomes: the workers end before they are
                # given (the caller stops at the last file), each its
                # own way, helpers and all.
                pool.close(at_once=False)
            yield from head.results
        finished = True
    finally:
        pool.close(at_once=not finished)


def fill(pool, read, waiting, pending, jobs):
    """Hands chunks to the pool, a few per process ahead of the one being
    printed; none while a suspect chunk is read (a file read alone must
    be the only one in the pool)."""
    if any(entry.suspect for entry in pending):
        return
    while waiting and len(pending) < jobs * AHEAD_PER_PROCESS:
        # The chunk leaves `waiting` once the pool has it: a pool found
        # broken, or no pool at all, leaves it there.
        entry = Entry(waiting[0])
        entry.future = pool.submit(read_chunk, read, entry.tasks)
        pending.append(waiting.popleft() and entry)


def read_alone(pool, read, task, lost):
    """The outcome of a task read alone in the pool; when its process dies
    on it, the file is not read (a fresh pool takes the next)."""
    try:
        return pool.submit(read_chunk, read, [task]).result()[0]
    except BrokenProcessPool:
        pool.broken()
        return lost(STOPPED)
