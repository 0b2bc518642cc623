"""The S-57 meta-objects of a survey: the attributes of its quality of
data (M_QUAL) and survey reliability (M_SREL) objects that its file
states, and nothing guessed.

    >>> from bathyra.survey import Survey
    >>> record = meta_objects(Survey(SURSTA="2019", instruments=(
    ...     "Kongsberg EM 2040 multibeam echosounder",)))
    >>> record["M_QUAL"]["SURSTA"], record["M_QUAL"]["TECSOU"]
    ('2019', '3')

TECSOU (technique of sounding measurement, an S-57 list) comes from the
instruments' texts, each read for one technique only: multibeam echo
sounder 3, side-scan sonar 2, single-beam echo sounder 1, lidar 7 ("found
by laser").  An instrument that names none of them, or more than one
(a bare "echo sounder" could be single-beam or multibeam), adds nothing.
CATZOC is an assessment of the data, not a fact of the file, so it is
never filled in here.
"""
import math
import re

# (TECSOU code, the words that name the technique), in the code's order.
_TECHNIQUES = (
    (1, re.compile(r"single[\s_-]?beam")),
    (2, re.compile(r"side[\s_-]?scan")),
    (3, re.compile(r"multi[\s_-]?beam")),
    (7, re.compile(r"\blidar\b|light detection and ranging|"
                   r"laser (?:bathymetr|altimet|sound)")),
)

# The attributes of each meta-object, in the order the S-57 object
# catalogue lists them.
M_QUAL_ATTRIBUTES = ("DRVAL1", "DRVAL2", "SUREND", "SURSTA", "TECSOU",
                     "VERDAT")
M_SREL_ATTRIBUTES = ("SURATH", "SUREND", "SURSTA", "TECSOU")


def technique(instrument):
    """The TECSOU code of one instrument's text, or None when it names
    no technique or more than one."""
    words = instrument.lower()
    found = [code for code, pattern in _TECHNIQUES if pattern.search(words)]
    return found[0] if len(found) == 1 else None


def tecsou(instruments):
    """The TECSOU list of the instruments ("3", "1,3"), or None."""
    codes = sorted({code for code in map(technique, instruments or ())
                    if code is not None})
    return ",".join(map(str, codes)) or None


def _field(survey, name):
    """The attribute of a Survey or of its to_dict(); a number that is no
    number (NaN, infinite) counts as not stated."""
    if isinstance(survey, dict):
        value = survey.get(name)
    else:
        value = getattr(survey, name, None)
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def meta_objects(survey):
    """{"M_QUAL": {...}, "M_SREL": {...}} of a Survey (or its to_dict()):
    each attribute the object takes, None where the file is silent."""
    values = {name: _field(survey, name)
              for name in ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "VERDAT",
                           "SURATH")}
    values["TECSOU"] = tecsou(_field(survey, "instruments"))
    record = {"M_QUAL": {name: values[name] for name in M_QUAL_ATTRIBUTES},
              "M_SREL": {name: values[name] for name in M_SREL_ATTRIBUTES}}
    record["M_QUAL"]["CATZOC"] = None
    return record
