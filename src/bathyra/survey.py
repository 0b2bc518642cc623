"""The survey reader: every survey attribute that an ISO 19139 document
states, and none that it does not.

``read_survey(path)`` reads a metadata file (``.xml``), a BAG file
(``.bag``) or an S-102 file (HDF5, recognised by its content; see
``bathyra._s102`` for where each field comes from); ``parse_survey(document)`` reads a document given as ``bytes``
or ``str``, or any object whose attribute ``iso19139_xml`` holds it (a
``bathyra.Document``, a raster).  Both return a ``Survey``:

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

A document is read in whatever text encoding it declares (Shift_JIS,
Big5, UTF-32...; ``as_utf8`` makes the UTF-8 copy that is read of one
that expat does not know), and the entities of its DOCTYPE are replaced
as long as they do not expand it beyond bounds; nothing outside the
document, such as an external DTD or entity, is ever read.

The legacy smXML documents of BAG 1.0 to 1.4 give the same fields as
ISO 19139 ones.

A file that cannot be read at all (missing, not XML, not HDF5, damaged,
an encoding that is no text encoding, or a document of another
standard) raises ``SurveyError``; a readable ISO 19139 document never
raises, whatever it lacks.  ``SurveyError``
is a ``bathyra.BathyraError``; it and ``Survey`` pickle, so the reader
runs in other processes (multiprocessing, dask) as it runs here.
"""
import dataclasses
import json
import os
from typing import (Any, Callable, Dict, List, Optional, Protocol, Tuple,
                    Union)

from bathyra import bag
from bathyra._doctype import expanded
from bathyra._grid_claims import grid_claims
from bathyra._transcoding import as_utf8, for_expat, utf8_copy
from bathyra.document import (_WIDE_STARTS, DEFAULT_LIMIT, read_document,
                              unpadded)
from bathyra.errors import BagSupportMissing, FileError, SurveyError

from bathyra import _s102, _survey, s102
from bathyra._source_surveys import add_source_surveys as _add_source_surveys

__all__ = ["Survey", "SurveyError", "read_survey", "read_surveys",
           "parse_survey", "parse_surveys", "as_utf8"]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Text = Union[bytes, bytearray, memoryview, str]


class _Raster(Protocol):
    """Anything that carries a metadata document (a Document, a raster)."""

    @property
    def iso19139_xml(self) -> Union[str, bytes]: ...


@dataclasses.dataclass(frozen=True, repr=False)
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
    read) and ``bag_version`` (of a BAG file).  From a BAG file's grid
    (``read_survey(path, grid=True)``): ``uncertainty_range`` (minimum,
    maximum in metres), ``valid_nodes`` (the nodes that hold data) and
    ``footprint``, the area the valid nodes cover: a GeoJSON geometry
    (Polygon or MultiPolygon, longitude and latitude on WGS 84, holes
    kept, simplified to within a node or a block of nodes).
    None where not stated.  ``sources``: where each stated attribute came
    from ("metadata", "elevation attributes", "grid", "georeferenced
    metadata"; of an S-102 file also "S-102 attributes", "S-102 quality
    table", "file name").  ``source_surveys``: of a BAG 2.0 file with georeferenced
    metadata layers, read with the grid, a Survey for each combination of
    the layers' rows that its nodes reference (OBJNAM, SURATH, SURSTA,
    SUREND, DRVAL1, DRVAL2 and ``valid_nodes`` of its own nodes, and
    ``quality``, what the rows state of the survey's quality and licence).
    Equal when every attribute is; hashable; pickles.
    """

    SURSTA: Optional[str] = None
    SUREND: Optional[str] = None
    DRVAL1: Optional[float] = None
    DRVAL2: Optional[float] = None
    vertical_crs: Optional[str] = None
    vertical_datum: Optional[str] = None
    VERDAT: Optional[int] = None
    OBJNAM: Optional[str] = None
    platforms: Tuple[str, ...] = ()
    instruments: Tuple[str, ...] = ()
    planam: Optional[str] = None
    SURATH: Optional[str] = None
    bbox: Optional[Tuple[float, float, float, float]] = None
    horizontal_crs: Optional[str] = None
    problems: Tuple[Tuple[str, str], ...] = ()
    path: Optional[str] = None
    bag_version: Optional[str] = None
    uncertainty_range: Optional[Tuple[float, float]] = None
    valid_nodes: Optional[int] = None
    footprint: Optional[Dict[str, Any]] = dataclasses.field(default=None,
                                                             hash=False)
    sources: Dict[str, str] = dataclasses.field(default_factory=dict,
                                                hash=False)
    quality: Optional[Dict[str, Any]] = dataclasses.field(default=None,
                                                          hash=False)
    source_surveys: Tuple["Survey", ...] = ()

    def __post_init__(self) -> None:
        # Any iterables become tuples, and numbers floats; a negated zero
        # height is a depth of 0.0, not -0.0.
        normal = {
            "platforms": tuple(self.platforms),
            "instruments": tuple(self.instruments),
            "problems": tuple(tuple(problem) for problem in self.problems),
        }
        if self.bbox is not None:
            normal["bbox"] = tuple(float(number) for number in self.bbox)
        if self.uncertainty_range is not None:
            normal["uncertainty_range"] = tuple(
                float(number) for number in self.uncertainty_range)
        normal["sources"] = dict(self.sources)
        normal["source_surveys"] = tuple(self.source_surveys)
        if self.quality is not None:
            normal["quality"] = dict(self.quality)
        for name in ("DRVAL1", "DRVAL2"):
            value = getattr(self, name)
            if value is not None:
                normal[name] = float(value) + 0.0
        for name, value in normal.items():
            object.__setattr__(self, name, value)

    def _values(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in FIELDS)

    def __reduce__(self) -> Tuple[Any, Tuple[Dict[str, Any]]]:
        return (_rebuild, (dict(zip(FIELDS, self._values())),))

    def __repr__(self) -> str:
        stated = ", ".join("%s=%r" % (name, value)
                           for name, value in zip(FIELDS, self._values())
                           if value is not None and value not in ((), {}))
        return "Survey(%s)" % stated

    def to_s57(self) -> Dict[str, Union[str, float, int]]:
        """The S-57 attributes the document states, in the order SURSTA,
        SUREND, DRVAL1, DRVAL2, planam, OBJNAM, SURATH, VERDAT."""
        return {name: getattr(self, name) for name in S57_FIELDS
                if getattr(self, name) is not None}

    def to_dict(self) -> Dict[str, Any]:
        """Every attribute, ready for ``json.dumps``: tuples become lists,
        ``problems`` a list of [attribute, message] lists."""
        result = {}
        for name, value in zip(FIELDS, self._values()):
            if name == "problems":
                value = [list(problem) for problem in value]
            elif name in ("sources", "quality") and value is not None:
                value = _plain(value)
            elif name == "source_surveys":
                value = [survey.to_dict() for survey in value]
            elif isinstance(value, tuple):
                value = list(value)
            result[name] = value
        return result


#: The attributes of a Survey, in the order of its repr and to_dict().
FIELDS = tuple(field.name for field in dataclasses.fields(Survey))
#: The S-57 attributes, in the order of to_s57().
S57_FIELDS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM",
              "SURATH", "VERDAT")
# What the extension reads from the document (the rest comes from the file).
_DOCUMENT_FIELDS = FIELDS[:FIELDS.index("path")]
# The survey reader's words for a document silent on the depth range.
_NO_DEPTH_RANGE = "no depth range in the identification"
# Two ranges differ when an end differs by more than this many metres plus
# this share of its value.
_DEPTH_TOLERANCE = (0.01, 0.001)


def _plain(value: Any) -> Any:
    """`value` with its dicts copied and its tuples lists, for JSON."""
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, tuple):
        return [_plain(item) for item in value]
    return value


def _rebuild(fields: Dict[str, Any]) -> Survey:
    return Survey(**fields)


def read_survey(path: _Path, *, limit: int = DEFAULT_LIMIT,
                grid: bool = False) -> Survey:
    """The Survey of a metadata file (``.xml``), of a BAG file (``.bag``,
    read by the HDF5 library in a helper process) or of an S-102 file (an
    HDF5 file of another name whose productSpecification says so, read
    there too; with `grid=True` its source surveys); fill bytes after the
    document (NULs, 0xCD, white space) are passed over in both.  `path`
    is a str, bytes or path object; a document larger than `limit` bytes
    is refused.  Where a BAG file's metadata states no depth range,
    DRVAL1 and DRVAL2 come from its elevation attributes; with
    `grid=True` every node of the grid is read as well, for the exact
    range, ``uncertainty_range`` and ``valid_nodes``.  Raises SurveyError
    when the file cannot be read as an ISO 19139 (or smXML) document.  Of
    a document that holds several metadata records (a catalogue's
    response), the first, with a problem that says how many there are
    (``read_surveys`` reads all)."""
    return _first(_read(path, limit, grid))


def read_surveys(path: _Path, *, limit: int = DEFAULT_LIMIT,
                 grid: bool = False) -> List[Survey]:
    """The Survey of every metadata record of a file, in document order
    (one for most files; a catalogue's response, CSW or OAI-PMH, holds
    several).  Reads and raises as read_survey does."""
    return _read(path, limit, grid)


def parse_surveys(document: Union[_Text, _Raster]) -> List[Survey]:
    """The Survey of every metadata record of a document, as parse_survey
    takes it."""
    return _parse(document)


def _first(surveys: List[Survey]) -> Survey:
    """The first Survey, saying how many records the document holds when
    it holds more than one."""
    first = surveys[0]
    if len(surveys) == 1:
        return first
    problem = ("records", "the document holds %d metadata records; only the "
               "first is read here" % len(surveys))
    return dataclasses.replace(first, problems=first.problems + (problem,))


def _unreadable(error: Union[OSError, BagSupportMissing, FileError],
                name: str) -> SurveyError:
    """The SurveyError of a file `name` that could not be read: an
    OSError, BagSupportMissing, or a FileError (BagError too)."""
    if isinstance(error, OSError):
        return SurveyError("cannot read this file: %s"
                           % (error.strerror or error), name)
    if isinstance(error, BagSupportMissing):
        return SurveyError(str(error), name)
    return SurveyError(error.reason, name)


def _read(path: _Path, limit: int, grid: bool) -> List[Survey]:
    path = os.fspath(path)
    name = os.fsdecode(path)
    is_bag = name.lower().endswith(".bag")
    if not is_bag and s102.is_hdf5(path):
        # An HDF5 file of another name: an S-102 file, or a BAG file.
        try:
            return [_s102_survey(path, name, limit, grid)]
        except s102.NotS102 as error:
            if not error.is_bag:
                raise SurveyError(error.reason, name) from None
            is_bag = True
        except (OSError, BagSupportMissing, FileError) as error:
            raise _unreadable(error, name) from None
    try:
        if is_bag:
            source = bag.open(path, limit=limit)
        else:
            source = read_document(path, limit)
    except (OSError, BagSupportMissing, FileError) as error:
        raise _unreadable(error, name) from None

    def with_grid(placement: Any) -> "bag.Elevation":
        """The elevation with the grid's fields and the footprint, placed
        as the first record's metadata says."""
        georeferencing, notes = None, ()
        if isinstance(placement, tuple):
            rows, cols, south_west, north_east, resolution, crs, note = \
                placement
            georeferencing = bag.Georeferencing(
                (rows, cols), (south_west, north_east), resolution, crs)
            notes = (note,) if note else ()
        elevation = bag.read_grid(source, georeferencing,
                                  limit=limit).elevation
        if notes:
            elevation = elevation._replace(
                footprint_problems=notes + elevation.footprint_problems)
        if georeferencing is None:
            why = placement or "the metadata does not place the grid (no "\
                "georectified grid with its size and corner points)"
            elevation = elevation._replace(
                footprint_problems=(why + ": no footprint",))
        return elevation

    try:
        return _survey_of(source.iso19139_xml, name, source.bag_version,
                          is_bag, getattr(source, "elevation", None),
                          with_grid if is_bag and grid else None)
    except SurveyError as error:
        error.path = name
        raise


def _s102_survey(path: _Path, name: str, limit: int, grid: bool) -> Survey:
    """The Survey of an S-102 file, with the metadata file that an
    edition 2.1 file names beside it."""
    contents = s102.read(path, grid=grid, limit=limit)
    metadata = problem = None
    named = contents.attributes.get("metadata")
    if isinstance(named, str) and named:
        # Beside the file, whatever folder the attribute names.
        beside = os.path.join(os.path.dirname(name), os.path.basename(named))
        try:
            metadata = _first(_survey_of(read_document(beside, limit).
                                         iso19139_xml, beside, None, False))
        except OSError as error:
            problem = ("the metadata file %s that the file names cannot be "
                       "read: %s" % (os.path.basename(named),
                                     error.strerror or error))
        except (FileError, SurveyError) as error:
            problem = ("the metadata file %s that the file names cannot be "
                       "read: %s" % (os.path.basename(named), error.reason
                                     if isinstance(error, FileError)
                                     else error.message))
    return _s102.survey_of(contents, metadata, problem, Survey, _differ)


def parse_survey(document: Union[_Text, _Raster]) -> Survey:
    """The Survey of a document: ``bytes`` or ``str`` (a str is read as
    UTF-8, whatever its declaration says), or an object whose attribute
    ``iso19139_xml`` holds one, such as a ``bathyra.Document``.  Raises
    SurveyError when it is not an ISO 19139 document.  Of several records,
    the first, as read_survey."""
    return _first(_parse(document))


def _parse(document: Union[_Text, _Raster]) -> List[Survey]:
    path = bag_version = elevation = None
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
        elevation = getattr(document, "elevation", None)
        document = document.iso19139_xml
        if not isinstance(document, (bytes, bytearray, memoryview, str)):
            raise TypeError("iso19139_xml must be bytes or str, not %s"
                            % type(document).__name__)
    try:
        return _survey_of(document, path, bag_version, is_bag, elevation)
    except SurveyError as error:
        error.path = path
        raise


# The bytes that fill the space after a document: NULs, the 0xCD of the
# first BAG files (about a megabyte of it), and white space (one BAG writer
# ends its documents with "\n\0\n\0").  None of them can end a
# well-formed document in an encoding of single bytes or UTF-8: its last
# character is the ">" of the root element, a comment or an instruction,
# or white space.
_FILL = b"\0\xcd \t\r\n"


def trimmed(document: _Text) -> _Text:
    """`document` up to the end of what follows its root element but fill
    bytes (NULs, 0xCD, white space, in any mixture): the survey reader
    reads a document so padded, in a BAG file or in a metadata file, as
    the document it holds.  Anything else after the root element stays
    an error of the document.  A UTF-16 or UTF-32 document loses its
    trailing NUL characters alone (as ``unpadded`` drops them); a str
    loses its trailing NULs and white space."""
    if isinstance(document, str):
        return document.rstrip("\0 \t\r\n")
    if document.startswith(_WIDE_STARTS):
        return unpadded(document)
    return document.rstrip(_FILL)


def _survey_of(document: _Text, path: Optional[str],
               bag_version: Optional[str], is_bag: bool,
               elevation: Optional["bag.Elevation"] = None,
               with_grid: Optional[Callable[[Any], "bag.Elevation"]] = None
               ) -> List[Survey]:
    """The Survey of each record of `document`, each with what the BAG
    file's `elevation` says; `with_grid`, when given, reads the grid with
    the first record's placement of it and gives the elevation."""
    if isinstance(document, (bytearray, memoryview)):
        document = bytes(document)
    document = trimmed(document)
    if not document.strip():
        raise SurveyError("the document is empty")
    try:
        if isinstance(document, bytes):
            # An encoding that expat does not know by itself: the name it
            # knows for it, or its text in UTF-8.
            copy = for_expat(document)
            if copy is not None:
                document = copy
        records = _survey.parse_all(document, is_bag)
        if records is None:
            # A DOCTYPE: the document with its entities replaced, read
            # without it.
            records = _survey.parse_all(expanded(utf8_copy(document)),
                                        is_bag)
    except _survey.DocumentError as error:
        raise SurveyError(str(error)) from None
    if records is None:
        raise SurveyError("the XML library could not make this document "
                          "readable")
    if with_grid is not None and records:
        elevation = with_grid(records[0].get("georeferencing"))
        first = records[0]
        first["problems"] = tuple(first["problems"]) + tuple(
            grid_claims(first))
    return [_record(fields, path, bag_version, elevation)
            for fields in records]


def _record(fields: Dict[str, Any], path: Optional[str],
            bag_version: Optional[str],
            elevation: Optional["bag.Elevation"]) -> Survey:
    values = {name: fields[name] for name in _DOCUMENT_FIELDS}
    values["sources"] = {name: "metadata" for name, value in values.items()
                         if name != "problems" and value is not None
                         and value != ()}
    if elevation is not None:
        _add_elevation(values, elevation)
        _add_footprint(values, elevation)
        if elevation.georef is not None:
            _add_source_surveys(values, elevation, path, bag_version, Survey)
    return Survey(path=path, bag_version=bag_version, **values)


def _add_footprint(values: Dict[str, Any],
                   elevation: "bag.Elevation") -> None:
    """Adds the footprint the grid pass traced, and how it was traced or
    why there is none, to `values`."""
    problems = [("footprint", message)
                for message in elevation.footprint_problems]
    if problems:
        values["problems"] = tuple(values["problems"]) + tuple(problems)
    if elevation.footprint is not None:
        values["footprint"] = json.loads(elevation.footprint)
        values["sources"] = dict(values["sources"], footprint="grid")


def _depths(elevation_range: Tuple[float, float]) -> Tuple[float, float]:
    """DRVAL1, DRVAL2 of a range of elevations (positive up): the
    shallowest depth is the highest elevation."""
    low, high = elevation_range
    return -high + 0.0, -low + 0.0


def _differ(first: Tuple[float, float], second: Tuple[float, float]) -> bool:
    metres, share = _DEPTH_TOLERANCE
    return any(abs(a - b) > metres + share * max(abs(a), abs(b))
               for a, b in zip(first, second))


def _depth_text(depths: Tuple[float, float]) -> str:
    return "%r to %r m" % depths


def _add_elevation(values: Dict[str, Any],
                   elevation: "bag.Elevation") -> None:
    """Adds to `values` (the fields of a Survey) what a BAG file's
    elevation says: the depth range where the metadata states none (from
    the grid when it was read, else from the elevation attributes), the
    grid's fields, and a problem for each range that disagrees with the
    grid."""
    stated = (values["DRVAL1"], values["DRVAL2"])
    silent = stated == (None, None)
    if not (silent or elevation.valid_nodes is not None
            or elevation.problems):
        return  # the metadata's range stands, and there is no grid
    problems = list(values["problems"])
    sources = values["sources"]
    grid = attributes = None
    if elevation.grid_range is not None:
        grid = _depths(elevation.grid_range)
    if elevation.attribute_range is not None:
        attributes = _depths(elevation.attribute_range)
    chosen = grid or attributes
    if silent and chosen is not None:
        values["DRVAL1"], values["DRVAL2"] = chosen
        source = "grid" if grid is not None else "elevation attributes"
        sources.update(DRVAL1=source, DRVAL2=source)
        problems = [problem for problem in problems
                    if problem != ("DRVAL1", _NO_DEPTH_RANGE)
                    and problem != ("DRVAL2", _NO_DEPTH_RANGE)]

    def both(message: str) -> None:
        problems.extend((("DRVAL1", message), ("DRVAL2", message)))

    if grid is not None and attributes is not None and _differ(grid,
                                                                attributes):
        both("the elevation attributes of the BAG file (depths %s) disagree "
             "with its grid (depths %s)" % (_depth_text(attributes),
                                            _depth_text(grid)))
    if grid is not None and None not in stated and _differ(grid, stated):
        both("the depth range in the metadata (%s) differs from the depths "
             "of the grid (%s)" % (_depth_text(stated), _depth_text(grid)))
    for message in elevation.problems:
        if message.startswith("the elevation attributes"):
            if silent and grid is None:
                both(message)
        else:
            problems.extend((("uncertainty_range", message),
                             ("valid_nodes", message)))
    values["problems"] = problems
    if elevation.valid_nodes is not None:
        values["valid_nodes"] = elevation.valid_nodes
        sources["valid_nodes"] = "grid"
    if elevation.uncertainty_range is not None:
        values["uncertainty_range"] = elevation.uncertainty_range
        sources["uncertainty_range"] = "grid"
    if (silent and chosen is not None) or elevation.valid_nodes is not None:
        # In the order of the fields.
        values["sources"] = {name: sources[name] for name in FIELDS
                             if name in sources}
