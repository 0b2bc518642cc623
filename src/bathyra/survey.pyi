"""The survey reader: every survey attribute that an ISO 19139 document
states, as a ``Survey``; ``SurveyError`` for a file that cannot be read."""
import os
from typing import Any, Dict, Optional, Protocol, Tuple, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Document = Union[bytes, bytearray, memoryview, str]

FIELDS: Tuple[str, ...]
S57_FIELDS: Tuple[str, ...]


class _Raster(Protocol):
    """Anything that carries a metadata document (a BagFile, a raster)."""

    @property
    def iso19139_xml(self) -> Union[str, bytes]: ...


class SurveyError(Exception):
    """A file or document that cannot be read as an ISO 19139 survey
    document; ``str()`` is "path: message" (only the message without a
    path)."""

    message: str
    path: Optional[str]

    def __init__(self, message: str, path: Optional[str] = ...) -> None: ...


class Survey:
    """The survey attributes of one document: immutable, picklable, equal
    when its fields are equal; None (or an empty tuple) where the document
    does not state one."""

    SURSTA: Optional[str]
    SUREND: Optional[str]
    DRVAL1: Optional[float]
    DRVAL2: Optional[float]
    vertical_crs: Optional[str]
    vertical_datum: Optional[str]
    VERDAT: Optional[int]
    OBJNAM: Optional[str]
    platforms: Tuple[str, ...]
    instruments: Tuple[str, ...]
    planam: Optional[str]
    SURATH: Optional[str]
    bbox: Optional[Tuple[float, float, float, float]]
    horizontal_crs: Optional[str]
    problems: Tuple[Tuple[str, str], ...]
    path: Optional[str]
    bag_version: Optional[str]

    def __init__(self, **fields: Any) -> None: ...
    def to_s57(self) -> Dict[str, Union[str, float, int]]:
        """The S-57 attributes stated, in the order SURSTA, SUREND, DRVAL1,
        DRVAL2, planam, OBJNAM, SURATH, VERDAT."""
    def to_dict(self) -> Dict[str, Any]:
        """Every attribute, ready for ``json.dumps``."""


def read_survey(path: _Path, *, limit: int = ...) -> Survey:
    """The Survey of a metadata file (.xml) or BAG file (.bag); raises
    SurveyError when the file cannot be read as an ISO 19139 document."""


def parse_survey(document: Union[_Document, _Raster]) -> Survey:
    """The Survey of a document (bytes or str) or of an object whose
    ``iso19139_xml`` holds one; raises SurveyError when it is no ISO 19139
    document."""


class NotRegular(Exception): ...


def check_regular(path: _Path) -> None: ...
def read_document(path: _Path, limit: int) -> bytes: ...
def trimmed(document: bytes) -> bytes: ...
