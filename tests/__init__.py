"""The test suite.  Its helpers put the build tree on sys.path first."""
from tests import support  # noqa: F401
