"""The catalogue's files read on a dask.distributed cluster: the tasks go
to the scheduler in chunks, the workers run the same read function as the
-j processes, and the outcomes come back, as plain picklable data, in the
order the workers finish them; this process writes them.  dask is
imported here only, when a run names a scheduler.  A chunk that a worker
died on is read again one file at a time, so that only a file that ends
its worker again is lost.  A cluster that has had no worker for
NO_WORKERS_SECONDS (its last one gone, or none from the start) ends the
run with a CatalogError; the caller keeps what it committed before."""
import logging
import threading
import time

from bathyra.errors import CatalogError

# Files in a chunk: enough that a chunk's round trip costs little against
# its reading, few enough that the workers share the run.
CHUNK = 16

# How long the scheduler may be without a worker before the run stops
# (s), and how often it is asked how many it has.
NO_WORKERS_SECONDS = 30
POLL_SECONDS = 1.0

MISSING = ("reading on a cluster (--scheduler) needs dask.distributed, "
           "which this Python does not have (%s): install it (apt-get "
           "install python3-distributed, or pip install distributed)")
NO_WORKERS = ("the cluster there has had no workers to read the files for "
              "%g s: the catalogue keeps the files saved before this; start "
              "workers and run again to read the rest")
SCHEDULER_LOST = ("the connection to the dask scheduler there was lost: the "
                  "catalogue keeps the files saved before this; run again to "
                  "read the rest")
WORKERS_LACK_BATHYRA = ("the cluster's workers cannot import bathyra (%s): "
                        "install bathyra where they run")


def _read_chunk(read, tasks):
    return [read(task) for task in tasks]


def require(address):
    """distributed, or CatalogError saying how to get it."""
    try:
        import distributed
    except ImportError as error:
        raise CatalogError(address, MISSING % error) from None
    return distributed


def connect(address):
    """A distributed.Client of the scheduler at `address`, or CatalogError
    saying why there is none."""
    distributed = require(address)
    try:
        return distributed.Client(address, timeout=30)
    except (OSError, ValueError) as error:
        raise CatalogError(address, "cannot reach the dask scheduler "
                                    "there: %s" % error) from None


def outcomes(address, read, tasks, lost, stopped):
    """(task, read(task)) of each task, as the cluster at `address` ends
    them; lost(stopped) is the outcome of a task whose worker died on it
    when it was read alone.  CatalogError when the cluster has had no
    worker for NO_WORKERS_SECONDS.  Closing the generator cancels what is
    still on the cluster."""
    if not tasks:  # nothing changed: no cluster needed
        return
    import distributed
    client = connect(address)
    quiet = _quiet_client_log()
    futures, watch = [], None
    try:
        watch = _Watch(client, futures)
        chunks = [tasks[i:i + CHUNK] for i in range(0, len(tasks), CHUNK)]
        futures += client.map(_read_chunk, [read] * len(chunks), chunks,
                              pure=False)
        chunk_of = {future.key: chunk
                    for future, chunk in zip(futures, chunks)}
        for future in distributed.as_completed(futures[:]):
            chunk = chunk_of[future.key]
            try:
                results = future.result()
            except distributed.CancelledError:
                raise _stopped(watch, address) from None
            except Exception as error:  # the chunk's worker died
                _check_import(error, address)
            else:
                yield from zip(chunk, results)
                continue
            # One file at a time, so that the file a worker dies on
            # again is the only one on the cluster that it takes along
            # (of this chunk).
            for task in chunk:
                alone = client.submit(_read_chunk, read, [task], pure=False)
                futures.append(alone)
                try:
                    outcome = alone.result()[0]
                except distributed.CancelledError:
                    raise _stopped(watch, address) from None
                except Exception as error:  # the worker died on this file
                    _check_import(error, address)
                    outcome = lost(stopped)
                yield task, outcome
    finally:
        if watch is not None:
            watch.stop()
        if futures and client.status == "running":  # not if it lost
            client.cancel(futures)                    # the scheduler
        client.close()
        quiet()


class _Watch:
    """A thread that asks the scheduler how many workers it has and, once
    it has had none for NO_WORKERS_SECONDS, cancels `futures` (all of the
    run's, as the list grows), so that what waits on them stops."""

    def __init__(self, client, futures):
        self.client, self.futures = client, futures
        self.stranded = False  # the futures cancelled for want of workers
        self.finished = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True,
                                       name="bathyra-cluster-watch")
        self.thread.start()

    def stop(self):
        self.finished.set()
        self.thread.join()

    def _run(self):
        import distributed
        poll = min(POLL_SECONDS, NO_WORKERS_SECONDS / 4)
        empty_since = None
        while not self.finished.wait(poll):
            if self.client.status != "running":  # it lost the scheduler:
                continue                          # it gives up on its own
            try:
                workers = self.client.nthreads()
            except (OSError, distributed.TimeoutError):
                workers = {}  # a scheduler that does not answer has none
            now = time.monotonic()
            if workers:
                empty_since = None
            elif empty_since is None:
                empty_since = now
            elif now - empty_since >= NO_WORKERS_SECONDS:
                # Again at each poll: the futures submitted since, too.
                self.stranded = True
                try:
                    self.client.cancel(self.futures[:])
                except (OSError, distributed.TimeoutError):
                    pass  # the client cancels them when it gives up


def _stopped(watch, address):
    """The CatalogError of a run whose futures were cancelled: by `watch`
    for want of workers, or by the client that lost its scheduler."""
    if watch.stranded:
        return CatalogError(address, NO_WORKERS % NO_WORKERS_SECONDS)
    return CatalogError(address, SCHEDULER_LOST)


def _quiet_client_log():
    """Keeps dask's client from warning on the terminal that it fetches a
    result again (its worker gone), which the run deals with itself; its
    errors still show, and a level that the user set is left alone.
    Returns what puts the level back."""
    log = logging.getLogger("distributed.client")
    if log.level != logging.WARNING:  # not dask's default
        return lambda: None
    log.setLevel(logging.ERROR)
    return lambda: log.setLevel(logging.WARNING)


def _check_import(error, address):
    """A chunk that failed because the workers lack bathyra fails the run
    (every file would fail so): CatalogError."""
    if isinstance(error, ImportError):
        raise CatalogError(address, WORKERS_LACK_BATHYRA % error)
