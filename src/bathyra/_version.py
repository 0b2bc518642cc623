"""The version of bathyra, in the one place that holds it.

The package (``bathyra.__version__``), the command line (``--version``) and
the wheel's metadata (the in-tree build backend reads this file as text)
all take it from here.
"""
__version__ = "0.4.0"
