"""The surveys as an S-57 exchange file of meta-objects, what a chart
compilation loads to know where the surveys are and what they are worth:

    M_SREL  survey reliability per survey: SURSTA, SUREND, SURATH, TECSOU
    M_QUAL  quality of data per survey: SURSTA, SUREND, DRVAL1, DRVAL2,
            VERDAT, TECSOU (CATZOC, an assessment, is left for the
            compiler to give)
    M_COVR  the coverage over the union of the surveys' areas (CATCOV 1,
            coverage available)

Each survey's area is its footprint where the grid gave one, else its
bounding box; a survey with neither gets no object.  The attributes are
those of bathyra._meta_objects: what the file states, the rest left out.
The file is written by bathyra._catalog through GDAL's S57 driver (which
needs its s57objectclasses.csv and s57attributes.csv, in GDAL's data
folder).
"""
import datetime
import json
import os
import shutil
import tempfile

from bathyra._meta_objects import meta_objects
from bathyra._stac import _shape
from bathyra.errors import CatalogError

# The producing agency of the data set and of its objects' identifiers:
# the driver's own default, unless the caller names one.
DEFAULT_AGENCY = 540
# Coverage available (CATCOV 1).
COVERAGE_AVAILABLE = 1


def _object(object_class, attributes):
    stated = [(name, value) for name, value in attributes.items()
              if value is not None]
    return (object_class, tuple(name for name, _ in stated),
            tuple(value for _, value in stated))


def areas(surveys):
    """(GeoJSON text, objects) of each (name, Survey) that has an area,
    and the names of those that have none."""
    found, missing = [], []
    for name, survey in surveys:
        geometry, _ = _shape(survey)
        if geometry is None:
            missing.append(name)
            continue
        record = meta_objects(survey)
        found.append((json.dumps(geometry), (
            _object("M_SREL", record["M_SREL"]),
            _object("M_QUAL", record["M_QUAL"]))))
    return found, missing


def write(path, surveys, agency=DEFAULT_AGENCY, issued=None):
    """Writes the exchange file at `path` (replacing it) from (name,
    Survey) pairs; returns the names of the surveys left out for having
    no area.  `issued`: the issue date (a datetime.date, today if None)."""
    from bathyra._catalog_store import load_module
    module = load_module()
    surveys = list(surveys)
    found, missing = areas(surveys)
    day = (issued or datetime.date.today()).strftime("%Y%m%d")
    stem = os.path.splitext(os.path.basename(path))[0]
    options = ("S57_EXPP=1", "S57_EDTN=1", "S57_UPDN=0",
               "S57_ISDT=" + day, "S57_UADT=" + day,
               "S57_AGEN=%d" % agency,
               "S57_COMT=survey meta-objects of " + stem)
    # The data set's vertical datum where every survey states the same;
    # else the driver's default stands and each M_QUAL says its own.
    datums = {meta_objects(survey)["M_QUAL"]["VERDAT"]
              for _, survey in surveys}
    if len(datums) == 1 and None not in datums:
        options += ("S57_VDAT=%d" % datums.pop(),)
    # ATTF texts are ASCII (lexical level 0) or ISO 8859-1 (level 1),
    # where a character beyond it becomes "?".
    if any(isinstance(value, str) and not value.isascii()
           for _, objects in found for _, _, values in objects
           for value in values):
        options += ("S57_AALL=1",)
    coverage = ("M_COVR", ("CATCOV",), (COVERAGE_AVAILABLE,))
    # Written in a folder of its own beside it and then put in its place,
    # under its own name (the data set's name in the file is its name):
    # a run that fails or is killed leaves the previous file whole.
    try:
        passing = tempfile.mkdtemp(prefix=".%s." % os.path.basename(path),
                                   dir=os.path.dirname(os.path.abspath(path)))
        try:
            made = os.path.join(passing, os.path.basename(path))
            module.write_s57(made, path, options, agency, found,
                             coverage if found else None)
            os.replace(made, path)
        finally:
            shutil.rmtree(passing, ignore_errors=True)
    except OSError as error:
        raise CatalogError(path, "cannot write it: %s" % (
            error.strerror or error)) from None
    return missing
