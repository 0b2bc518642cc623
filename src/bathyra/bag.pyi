import os
from types import TracebackType
from typing import Literal, Optional, Type, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

HOW_TO_ENABLE: str

class BagError(Exception): ...

class BagSupportMissing(ImportError): ...

def available() -> bool: ...
def hdf5_version() -> Optional[str]: ...

class BagFile:
    path: Union[str, bytes]
    iso19139_xml: bytes
    bag_version: Optional[str]
    def __init__(
        self,
        path: Union[str, bytes],
        iso19139_xml: bytes,
        bag_version: Optional[str],
    ) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> BagFile: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> Literal[False]: ...

def open(path: _Path) -> BagFile: ...
def write(
    path: _Path,
    document: Union[bytes, str],
    version: Optional[str] = ...,
    chunk: int = ...,
    compress: int = ...,
    element: Literal["string", "int8", "float64", "none"] = ...,
) -> None: ...
