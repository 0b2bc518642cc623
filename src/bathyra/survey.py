"""The survey reader: every survey attribute that an ISO 19139 document
states, and none that it does not.

``read_survey(path)`` reads a metadata file (``.xml``) or a BAG file
(``.bag``); ``parse_survey(document)`` reads a document given as ``bytes``
or ``str``, or any object whose attribute ``iso19139_xml`` holds it (a
``bathyra.bag.BagFile``, a raster).  Both return a ``Survey``:

    >>> import bathyra
    >>> survey = bathyra.read_survey("examples/survey_h13045_multibeam.xml")
    >>> survey.SURSTA, survey.SUREND, survey.OBJNAM
    ('20190314', '20190320', 'H13045_MB_1m_MLLW')
    >>> survey.to_s57()
    {'SURSTA': '20190314', 'SUREND': '20190320', 'DRVAL1': 1.5,
     'DRVAL2': 35.2, 'planam': 'Survey Vessel One',
     'OBJNAM': 'H13045_MB_1m_MLLW'}

An attribute the document does not state is None (this one names no
survey authority), and ``problems`` says, in a hydrographer's words, what
stands in the way of the others:

    >>> survey.SURATH is None
    True
    >>> survey.platforms, survey.instruments, survey.bbox
    (('Survey Vessel One',), ('Multibeam echosounder',),
     (-70.2871, 43.6312, -70.2214, 43.6788))

A file that cannot be read at all (missing, not XML, not HDF5, damaged,
or a document of another standard) raises ``SurveyError``; a readable
ISO 19139 document never raises, whatever it lacks.  ``Survey`` and
``SurveyError`` pickle, so the reader runs in other processes
(multiprocessing, dask) as it runs here.
"""
import math
import os
import stat
import xml.etree.ElementTree as ET

from bathyra import bag
from bathyra.bag import NotRegular, check_regular

from bathyra import _survey

__all__ = ["Survey", "SurveyError", "read_survey", "parse_survey"]

#: The attributes of a Survey, in the order of its repr and to_dict().
FIELDS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "vertical_crs",
          "vertical_datum", "VERDAT", "OBJNAM", "platforms", "instruments",
          "planam", "SURATH", "bbox", "horizontal_crs", "problems", "path",
          "bag_version")
#: The S-57 attributes, in the order of to_s57().
S57_FIELDS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM",
              "SURATH", "VERDAT")
# What the extension reads from the document (the rest comes from the file).
_DOCUMENT_FIELDS = FIELDS[:FIELDS.index("path")]
_TUPLES = ("platforms", "instruments", "problems")


class SurveyError(Exception):
    """A file or document that cannot be read as an ISO 19139 survey
    document: ``message`` says why in words, ``path`` names the file (None
    for a document given directly)."""

    def __init__(self, message, path=None):
        super().__init__(message, path)
        self.message = message
        self.path = path

    def __str__(self):
        if self.path is None:
            return self.message
        return "%s: %s" % (self.path, self.message)


class Survey:
    """The survey attributes of one document; immutable.

    S-57 attributes: ``SURSTA``, ``SUREND`` (survey start and end,
    'YYYYMMDD', or 'YYYYMM' / 'YYYY' when the document is that coarse),
    ``DRVAL1`` <= ``DRVAL2`` (depth range in metres, positive down),
    ``VERDAT`` (S-57 vertical datum code), ``OBJNAM`` (the dataset's title),
    ``planam`` (platform names, else instrument names, joined by ", "),
    ``SURATH`` (the survey authority).  Beside them: ``vertical_crs``,
    ``vertical_datum``, ``platforms`` and ``instruments`` (tuples),
    ``bbox`` (west, south, east, north in degrees), ``horizontal_crs``,
    ``problems`` (tuple of (attribute, message) pairs), ``path`` (the file
    read) and ``bag_version`` (of a BAG file).  None where not stated.
    """

    __slots__ = FIELDS

    def __init__(self, **fields):
        unknown = set(fields) - set(FIELDS)
        if unknown:
            raise TypeError("Survey has no attribute %s"
                            % ", ".join(sorted(unknown)))
        for name in FIELDS:
            value = fields.get(name, () if name in _TUPLES else None)
            if name in _TUPLES:
                value = tuple(tuple(item) if name == "problems" else item
                              for item in value)
            elif name == "bbox" and value is not None:
                value = tuple(float(number) for number in value)
            elif name in ("DRVAL1", "DRVAL2") and value is not None:
                # A negated zero height is a depth of 0.0, not -0.0.
                value = float(value) + 0.0
            object.__setattr__(self, name, value)

    def __setattr__(self, name, value):
        raise AttributeError("Survey is immutable")

    def __delattr__(self, name):
        raise AttributeError("Survey is immutable")

    def _values(self):
        return tuple(getattr(self, name) for name in FIELDS)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self):
        return hash(self._values())

    def __reduce__(self):
        return (_rebuild, (dict(zip(FIELDS, self._values())),))

    def __repr__(self):
        stated = ", ".join("%s=%r" % (name, value)
                           for name, value in zip(FIELDS, self._values())
                           if value is not None and value != ())
        return "Survey(%s)" % stated

    def to_s57(self):
        """The S-57 attributes the document states, in the order SURSTA,
        SUREND, DRVAL1, DRVAL2, planam, OBJNAM, SURATH, VERDAT."""
        return {name: getattr(self, name) for name in S57_FIELDS
                if getattr(self, name) is not None}

    def to_dict(self):
        """Every attribute, ready for ``json.dumps``: tuples become lists,
        ``problems`` a list of [attribute, message] lists."""
        result = {}
        for name, value in zip(FIELDS, self._values()):
            if name == "problems":
                value = [list(problem) for problem in value]
            elif isinstance(value, tuple):
                value = list(value)
            result[name] = value
        return result


def _rebuild(fields):
    return Survey(**fields)


def read_survey(path, *, limit=bag.DEFAULT_LIMIT):
    """The Survey of a metadata file (``.xml``, trailing NUL bytes dropped)
    or of a BAG file (``.bag``, read by the HDF5 library in a helper
    process).  `path` is a str, bytes or path object; a document larger
    than `limit` bytes is refused.  Raises SurveyError when the file
    cannot be read as an ISO 19139 document."""
    path = os.fspath(path)
    name = os.fsdecode(path)
    is_bag = name.lower().endswith(".bag")
    try:
        if is_bag:
            source = bag.open(path, limit=limit)
        else:
            source = bag.BagFile(path, trimmed(_read_file(path, limit)),
                                 None)
    except OSError as error:
        raise SurveyError("cannot read this file: %s"
                          % (error.strerror or error), name) from None
    except bag.BagSupportMissing as error:
        raise SurveyError(str(error), name) from None
    except bag.BagError as error:
        text = str(error)
        prefix = name + ": "
        raise SurveyError(text[len(prefix):] if text.startswith(prefix)
                          else text, name) from None
    except NotRegular as error:
        raise SurveyError(str(error), name) from None
    try:
        return _survey_of(source.iso19139_xml, name, source.bag_version,
                          is_bag)
    except SurveyError as error:
        error.path = name
        raise


def parse_survey(document):
    """The Survey of a document: ``bytes`` or ``str`` (a str is read as
    UTF-8, whatever its declaration says), or an object whose attribute
    ``iso19139_xml`` holds one, such as a ``bathyra.bag.BagFile``.  Raises
    SurveyError when it is not an ISO 19139 document."""
    path = bag_version = None
    is_bag = False
    if not isinstance(document, (bytes, bytearray, memoryview, str)):
        if not hasattr(document, "iso19139_xml"):
            raise TypeError("parse_survey takes a document (bytes or str) "
                            "or an object with iso19139_xml, not %s"
                            % type(document).__name__)
        path = getattr(document, "path", None)
        if path is not None:
            path = os.fsdecode(os.fspath(path))
        bag_version = getattr(document, "bag_version", None)
        is_bag = isinstance(document, bag.BagFile) or bag_version is not None
        document = document.iso19139_xml
        if not isinstance(document, (bytes, bytearray, memoryview, str)):
            raise TypeError("iso19139_xml must be bytes or str, not %s"
                            % type(document).__name__)
    try:
        return _survey_of(document, path, bag_version, is_bag)
    except SurveyError as error:
        error.path = path
        raise


def _survey_of(document, path, bag_version, is_bag):
    if isinstance(document, (bytearray, memoryview)):
        document = bytes(document)
    if not document.strip():
        raise SurveyError("the document is empty")
    try:
        fields = _survey.parse(document, is_bag)
        if fields is None:
            # A DOCTYPE, or an encoding that only the XML library knows.
            try:
                root = ET.fromstring(document)
            except ET.ParseError as error:
                raise SurveyError("not well-formed XML (%s)" % error) from None
            fields = _survey.parse(ET.tostring(root, encoding="utf-8"),
                                   is_bag)
    except _survey.DocumentError as error:
        raise SurveyError(str(error)) from None
    if fields is None:
        raise SurveyError("the XML library could not make this document "
                          "readable")
    values = {name: fields[name] for name in _DOCUMENT_FIELDS}
    return Survey(path=path, bag_version=bag_version, **values)


def read_document(path, limit):
    """The document of a metadata file, read without following it into a
    device or FIFO, and at most `limit` bytes long.  A document copied out
    of a BAG file may end in NUL bytes; they are dropped."""
    return _read_file(path, limit).rstrip(b"\0")


def trimmed(document):
    """`document` without the NUL bytes that BAG writers leave at its end,
    and the white space among them (one writer ends its documents with
    "\\n\\0\\n\\0"); a UTF-16 document keeps its bytes."""
    if document.startswith((b"\xff\xfe", b"\xfe\xff")):
        return document
    return document.rstrip(b"\0 \t\r\n")


def _read_file(path, limit):
    check_regular(path)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(
        os, "O_BINARY", 0)
    fd = os.open(path, flags)
    with open(fd, "rb") as stream:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegular("not a regular file")
        document = stream.read(limit + 1)
    if len(document) > limit:
        raise NotRegular("larger than the limit of %d bytes (see "
                         "--max-size)" % limit)
    return document
