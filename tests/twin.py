"""The extraction routine in plain Python, by the module's rules: the same
searches in the same order, the same reading of numbers (the fast parser's
leniency included), dates, platform and object names, and on a failure the
same exception with the line that the module's traceback entry names.
The tests compare the module with it; the benchmark measures against it.
"""
import math
import re
import xml.etree.ElementTree as ET

from bathyra._traceback_lines import Line

XML_NS = {
    "gmi": "http://www.isotc211.org/2005/gmi",
    "gmd": "http://www.isotc211.org/2005/gmd",
    "xsi": "http://www.w3.org/2001/XMLSchema-instance",
    "gml": "http://www.opengis.net/gml/3.2",
    "gco": "http://www.isotc211.org/2005/gco",
    "xlink": "http://www.w3.org/1999/xlink",
}
EXTENT_PATHS = ((Line.find_begin_position, ".//gml:beginPosition"),
                (Line.find_end_position, ".//gml:endPosition"),
                (Line.find_minimum_value, ".//gmd:minimumValue/gco:Real"),
                (Line.find_maximum_value, ".//gmd:maximumValue/gco:Real"))
PLATFORMS = ".//gmi:acquisitionInformation//gco:CharacterString"
CITATION = ".//gmd:CI_Citation//gco:CharacterString"
PLACEHOLDERS = frozenset({"Platform Name", "instrument unknown",
                          "instrument type unknown"})
CALENDAR_DATE = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})(?:T|\Z)")
DIGITS = "0123456789"


class Failure(Exception):
    """A failure of the routine: the exception and the line it names."""

    def __init__(self, line, error):
        super().__init__(line, error)
        self.line = line
        self.error = error


# ---------------------------------------------------------------------------
# Numbers.  An exact str, bytes or bytearray is trimmed; "inf", "infinity"
# and "nan" (any case, after one sign) are read directly; an ordinary number
# loses its underscores unless one of "_", ".", "e", "E" starts or ends it or
# follows another of them (a sign is none, so "1_2e+_3" is 12e3) and goes to
# the host's digit reader; everything refused goes to float() unchanged.

def _special_value(text):
    """None when the fast parser refuses `text` (trimmed, not empty);
    "number" when an ordinary number follows the sign; else the infinity or
    NaN that it spells."""
    sign = -1.0 if text[0] == "-" else 1.0
    body = text[1:] if text[0] in "+-" else text
    if body[:1] == "." or body[:1] in tuple(DIGITS):
        return "number"
    word = body.lower() if body.isascii() else ""
    if word == "nan":
        return math.copysign(math.nan, sign)
    if word in ("inf", "infinity"):
        return sign * math.inf
    return None


def _without_underscores(text):
    """`text` less its underscores, or None when the parser refuses it."""
    previous = False
    for i, c in enumerate(text):
        punctuation = c in "_.eE"
        if ord(c) > 127 or punctuation and (i == 0 or previous or
                                            i == len(text) - 1):
            return None
        previous = punctuation
    return text.replace("_", "")


def _read_digits(digits, rest, obj):
    """The host's digit reader on `digits` (what it reads up to the end of
    the text; `rest` is the whole byte string it is given): the value when
    every character is used, the reader's own error when it reads no
    number at all, else float() of the caller's object."""
    if digits.isascii() and "\0" not in digits:
        try:
            return float(digits.encode())
        except ValueError:
            pass
    body = digits[1:] if digits[0] in "+-" else digits
    if body[0] == "." and body[1:2] not in tuple(DIGITS):
        raise ValueError("could not convert string to float: '%s'"
                         % rest.split(b"\0")[0][:200].decode("utf-8",
                                                              "replace"))
    return float(obj)


def _fast_read(obj, text, rest):
    """The fast parse of `text`, the trimmed characters of the str, bytes
    or bytearray `obj`.  `rest` holds the bytes from the start of `text` on
    when the host's reader may read them in place (ASCII and byte texts
    without underscores), else None."""
    special = _special_value(text) if text else None
    if special != "number":
        return float(obj) if special is None else special
    if rest is not None and "_" not in text:
        return _read_digits(text, rest, obj)
    copy = _without_underscores(text)
    if copy is None:
        return float(obj)
    return _read_digits(copy, copy.encode(), obj)


def to_number(obj):
    """The value of an element text (or any object) as the module reads
    it."""
    kind = type(obj)
    if kind is float:
        return obj
    if kind is int:
        return float(obj)
    if kind is str and not obj.isascii():
        return _fast_read(obj, obj.strip(), None)
    if kind is str or kind is bytes or kind is bytearray:
        data = obj.encode() if kind is str else bytes(obj)
        return _fast_read(obj, data.strip().decode("latin-1"), data.lstrip())
    slot = getattr(kind, "__float__", None)
    if slot is None:
        return float(obj)
    value = slot(obj)
    if not isinstance(value, float):
        raise TypeError("__float__ returned non-float (type %.200s)"
                        % type(value).__name__)
    return float.__float__(value)


# ---------------------------------------------------------------------------

def survey_date(text):
    """The digits of a position's calendar date when, without surrounding
    white space, it is YYYY-MM-DD alone or followed by 'T'; else the text
    less its last nine characters and every "-"."""
    if type(text) is str:
        match = CALENDAR_DATE.match(text.strip())
        if match:
            return "".join(match.groups())
    if not hasattr(type(text), "__getitem__"):
        raise TypeError("'%.200s' object is unsliceable"
                        % type(text).__name__)
    return text[:-9].replace("-", "")


def _step(line, function, *args):
    try:
        return function(*args)
    except Exception as error:
        raise Failure(line, error) from None


def extract_metadata(raster):
    """The record for `raster`, or Failure(line, exception)."""
    metadata_xml = _step(Line.read_document, getattr, raster, "iso19139_xml")
    for prefix, uri in XML_NS.items():
        _step(Line.register_namespace, ET.register_namespace, prefix, uri)
    root = _step(Line.parse_document, ET.fromstring, metadata_xml)
    begin, end, minimum, maximum = [
        _step(line, lambda path=path: root.find(path, XML_NS).text)
        for line, path in EXTENT_PATHS]
    val1 = -1.0 * _step(Line.convert_minimum, to_number, minimum)
    val2 = -1.0 * _step(Line.convert_maximum, to_number, maximum)
    # min() and max() keep the first of equals, as the module keeps val1.
    drval1, drval2 = min(val1, val2), max(val1, val2)
    if math.isnan(val1) or math.isnan(val2):
        drval1 = drval2 = math.nan
    sursta = _step(Line.survey_start, survey_date, begin)
    surend = _step(Line.survey_end, survey_date, end)
    names = [p.text for p in root.findall(PLATFORMS, XML_NS)
             if p.text is not None and p.text not in PLACEHOLDERS]
    planam = "".join(name + "," for name in names).strip(",")
    tag = root.find(CITATION, XML_NS)
    objnam = "VACIO" if tag is None else tag.text
    objnam = objnam.replace(".csar", "") if objnam else "VACIO"
    return {"SURSTA": sursta, "SUREND": surend, "DRVAL1": drval1,
            "DRVAL2": drval2, "planam": planam, "OBJNAM": objnam}
