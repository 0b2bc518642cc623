"""The catalogue's files read on a dask.distributed cluster: the tasks go
to the scheduler in chunks, the workers run the same read function as the
-j processes, and the outcomes come back, as plain picklable data, in the
order the workers finish them; this process writes them.  dask is
imported here only, when a run names a scheduler.  A chunk that a worker
died on is read again one file at a time, so that only a file that ends
its worker again is lost."""
from bathyra.errors import CatalogError

# Files in a chunk: enough that a chunk's round trip costs little against
# its reading, few enough that the workers share the run.
CHUNK = 16

MISSING = ("reading on a cluster (--scheduler) needs dask.distributed, "
           "which this Python does not have (%s): install it (apt-get "
           "install python3-distributed, or pip install distributed)")
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
    when it was read alone.  Closing the generator cancels what is still
    on the cluster."""
    if not tasks:  # nothing changed: no cluster needed
        return
    import distributed
    client = connect(address)
    futures = []
    try:
        chunks = [tasks[i:i + CHUNK] for i in range(0, len(tasks), CHUNK)]
        futures = client.map(_read_chunk, [read] * len(chunks), chunks,
                             pure=False)
        chunk_of = {future.key: chunk
                    for future, chunk in zip(futures, chunks)}
        for future in distributed.as_completed(futures):
            chunk = chunk_of[future.key]
            if future.status == "finished":
                yield from zip(chunk, future.result())
                continue
            _check_import(future.exception(), address)
            # One file at a time, so that the file a worker dies on
            # again is the only one on the cluster that it takes along
            # (of this chunk).
            for task in chunk:
                alone = client.submit(_read_chunk, read, [task], pure=False)
                futures.append(alone)
                try:
                    yield task, alone.result()[0]
                except Exception as error:  # the worker died on this file
                    _check_import(error, address)
                    yield task, lost(stopped)
    finally:
        if futures:
            client.cancel(futures)
        client.close()


def _check_import(error, address):
    """A chunk that failed because the workers lack bathyra fails the run
    (every file would fail so): CatalogError."""
    if isinstance(error, ImportError):
        raise CatalogError(address, WORKERS_LACK_BATHYRA % error)
