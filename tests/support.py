"""Shared helpers of the test suite.

Importing this module puts the build tree first on sys.path, so that
``bathyra`` is the built package and not the source directory.
"""
import os
import subprocess
import sys
import textwrap

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("BATHYRA_BUILD_DIR") or os.path.join(REPO_DIR,
                                                                 "build")
SHARED_DIR = os.path.join(os.path.dirname(REPO_DIR), "shared")
CORPUS_REAL = os.path.join(SHARED_DIR, "corpus", "real")
CORPUS_BAG = os.path.join(SHARED_DIR, "corpus", "bag")
EXAMPLES_DIR = os.path.join(REPO_DIR, "examples")

if sys.path[0:1] != [BUILD_DIR]:
    sys.path.insert(0, BUILD_DIR)

MODULE_FILE = "bathyra/metadata_parser"
CALL_FUNCTION = "bathyra.metadata_parser.extract_metadata"
IMPORT_FUNCTION = "init bathyra.metadata_parser"


def module_entries(exc):
    """The module's own traceback entries of an exception, as tuples of
    (file name, line, function name), read from the traceback's frames and
    code objects."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            entries.append((code.co_filename, tb.tb_lineno, code.co_name))
        tb = tb.tb_next
    return entries


def run_child(code, *args, env=None, timeout=120, argv=(), tree=BUILD_DIR):
    """Runs `code` in a fresh interpreter (options `args`, script arguments
    `argv`) that imports the package from `tree` (by default the build
    tree, also its working directory); returns the completed process (text
    output)."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = tree
    if env:
        child_env.update(env)
    return subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code), *argv],
        cwd=tree, env=child_env, capture_output=True, text=True,
        timeout=timeout)


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
