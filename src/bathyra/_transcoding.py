"""Documents in encodings that expat does not read by itself, made UTF-8.

Expat reads UTF-8, UTF-16, ISO-8859-1 and US-ASCII.  A document in any
other encoding that Python's codecs decode as text (Shift_JIS, EUC-JP,
Big5, GB2312, windows-1252, UTF-32, an EBCDIC code page...) is decoded
here with the encoding it declares and encoded again as UTF-8, its
declaration then naming UTF-8: the copy reads as the document would in
UTF-8.  A declared encoding that is no text encoding (``rot13``,
``hex``, an unknown name), or bytes that are not text in it, raise
``SurveyError`` in words.
"""
import codecs
import re
from typing import Optional, Tuple, Union

from bathyra.errors import SurveyError

__all__ = ["as_utf8", "for_expat", "utf8_copy"]

# What the first bytes say of a document's encoding before its declaration
# is read (the byte order marks, then "<?" in each form): the first bytes,
# the codec that reads the declaration, the length of the mark.
_FORMS = (
    (b"\x00\x00\xfe\xff", "utf-32-be", 4),
    (b"\xff\xfe\x00\x00", "utf-32-le", 4),
    (b"\xfe\xff", "utf-16-be", 2),
    (b"\xff\xfe", "utf-16-le", 2),
    (b"\xef\xbb\xbf", "utf-8", 3),
    (b"\x00\x00\x00<", "utf-32-be", 0),
    (b"<\x00\x00\x00", "utf-32-le", 0),
    (b"\x00<\x00?", "utf-16-be", 0),
    (b"<\x00?\x00", "utf-16-le", 0),
    (b"\x4c\x6f\xa7\x94", "cp037", 0),  # "<?xm" in EBCDIC
)
# The forms and the declared names that expat reads by itself.
_EXPAT_FORMS = {"utf-8", "utf-16-be", "utf-16-le"}
_EXPAT_NAMES = {"utf-8", "utf-16", "utf-16le", "utf-16be", "iso-8859-1",
                "us-ascii"}
# Text codecs that are no character encoding of a document: escapes that
# hide markup (UTF-7, the escape codecs), domain-name codecs, the codec
# that refuses everything, and the Windows code page of the machine.
_REFUSED = {"utf-7", "idna", "punycode", "undefined", "unicode-escape",
            "raw-unicode-escape", "mbcs", "oem"}
_DECLARATION = re.compile(
    r"<\?xml[ \t\r\n]+version[ \t\r\n]*=[ \t\r\n]*(?:\"[^\"]*\"|'[^']*')"
    r"[ \t\r\n]+encoding[ \t\r\n]*=[ \t\r\n]*(?:\"([^\"]*)\"|'([^']*)')")
_ENCODING_NAME = re.compile(r"[A-Za-z][A-Za-z0-9._-]{0,63}\Z")
# The declaration is read from this many bytes at most.
_HEAD = 1024
# Other names of the 8-bit encodings that expat reads ("ASCII", "latin1",
# "ISO8859-1", "utf8"...), by the name of their codec: the name expat
# knows them by.
_EXPAT_ALIASES = {"ascii": "US-ASCII", "iso8859-1": "ISO-8859-1",
                  "utf-8": "UTF-8"}
_DECLARATION_BYTES = re.compile(_DECLARATION.pattern.encode("ascii"))


def as_utf8(document: bytes) -> Optional[bytes]:
    """`document` as UTF-8, its declaration naming UTF-8, when expat
    cannot read it as it is; None when it can (UTF-8, UTF-16, ISO-8859-1
    or US-ASCII, declared or by its first bytes).  Raises SurveyError when
    the declared encoding is no text encoding or the bytes are not text in
    it."""
    text = _text(bytes(document), keep=True)
    return None if text is None else _encoded(text)


def for_expat(document: bytes) -> Optional[bytes]:
    """What expat reads for `document`: None when it reads it as it is; the
    same bytes with the declared name replaced by the one expat knows when
    the document is 8-bit and declares another name of US-ASCII,
    ISO-8859-1 or UTF-8 (so that it is not copied); else as_utf8's copy.
    Raises SurveyError as as_utf8 does."""
    document = bytes(document)
    renamed = _expat_name(document)
    return renamed if renamed is not None else as_utf8(document)


def _expat_name(document: bytes) -> Optional[bytes]:
    mark = 3 if document.startswith(b"\xef\xbb\xbf") else 0
    if _form(document) != ("utf-8", mark):
        return None
    found = _DECLARATION_BYTES.match(document, mark, mark + _HEAD)
    if found is None:
        return None
    group = 1 if found.group(1) is not None else 2
    name = found.group(group).decode("ascii", "replace")
    if name.lower() in _EXPAT_NAMES or not _ENCODING_NAME.match(name):
        return None
    try:
        codec = codecs.lookup(name).name
    except LookupError:
        return None
    known = _EXPAT_ALIASES.get(codec)
    # A byte order mark goes with UTF-8 only; an ASCII document holds no
    # byte above 127 (else the copy says which, in words).
    if known is None or (mark and codec != "utf-8") or (
            codec == "ascii" and not document.isascii()):
        return None
    start, end = found.span(group)
    return (document[:start] + known.encode("ascii") + document[end:end + 1]
            + b" " * max(0, end - start - len(known)) + document[end + 1:])


def utf8_copy(document: Union[bytes, str]) -> bytes:
    """`document` as UTF-8 whatever its encoding, its declaration naming
    UTF-8.  A str is taken as the text itself, whatever its declaration
    says.  Raises SurveyError as as_utf8 does."""
    if isinstance(document, str):
        return _encoded(_renamed(document, _DECLARATION.match(document)))
    return _encoded(_text(document, keep=False))


def _form(document: bytes) -> Tuple[str, int]:
    for start, codec, mark in _FORMS:
        if document.startswith(start):
            return codec, mark
    return "utf-8", 0


def _shown(name: str) -> str:
    shown = name.encode("unicode_escape").decode("ascii")
    return shown if len(shown) <= 40 else shown[:37] + "..."


def _declared(name: str) -> str:
    return "the document declares the encoding '%s'" % _shown(name)


def _codec(name: str) -> str:
    """The codec of the declared encoding `name`; SurveyError when it is
    no text encoding that can be read."""
    try:
        info = (codecs.lookup(name) if _ENCODING_NAME.match(name)
                else None)
    except LookupError:
        info = None
    if info is None:
        raise SurveyError("%s, which is not a known text encoding"
                          % _declared(name))
    if not info._is_text_encoding or info.name in _REFUSED:
        raise SurveyError("%s, which is not a text encoding that can be "
                          "read" % _declared(name))
    return info.name


def _text(document: bytes, keep: bool) -> Optional[str]:
    """The text of `document`, its declaration naming UTF-8; None when
    `keep` and expat reads the document as it is."""
    form, mark = _form(document)
    found = _DECLARATION.match(document[mark:mark + _HEAD].decode(
        form, "replace"))
    name = None if found is None else found.group(1) or found.group(2) or ""
    if keep and form in _EXPAT_FORMS and (
            name is None or name.lower() in _EXPAT_NAMES):
        return None
    if name is None:
        if form == "cp037":
            raise SurveyError("not well-formed XML (the document seems to "
                              "be in EBCDIC, but declares no encoding)")
        codec = form
    else:
        codec = _codec(name)
        if form.startswith(("utf-16", "utf-32")) and mark == 0:
            # Read in the byte order found when the name leaves it open.
            if codec in (form[:6], form):
                codec = form
        elif mark:
            allowed = {form[:6], form}
            if form == "utf-8":
                allowed.add("utf-8-sig")
            if codec not in allowed:
                raise SurveyError("%s, but begins with the byte order mark "
                                  "of %s" % (_declared(name),
                                             form[:6].upper()))
            codec = form
    try:
        text = document[mark:].decode(codec)
    except (UnicodeError, ValueError) as error:
        at = getattr(error, "start", None)
        where = "" if at is None else " (at byte %d)" % (at + mark)
        if name is None:
            raise SurveyError("the document holds bytes that are not %s "
                              "text%s" % (codec.upper(), where)) from None
        raise SurveyError("%s, but holds bytes that are not %s text%s"
                          % (_declared(name), _shown(name), where)) from None
    again = _DECLARATION.match(text)
    if found is not None and (again is None
                              or again.group(0) != found.group(0)):
        raise SurveyError("%s, but its declaration does not read in that "
                          "encoding" % _declared(name))
    return _renamed(text, again)


def _renamed(text: str, declaration: "Optional[re.Match[str]]") -> str:
    """`text` with the encoding of its `declaration` (a match of
    _DECLARATION, or None for none) named UTF-8."""
    if declaration is None:
        return text
    group = 1 if declaration.group(1) is not None else 2
    start, end = declaration.span(group)
    # Spaces after the name keep the columns of the first line where the
    # name was longer.
    return (text[:start] + "UTF-8" + text[end:end + 1]
            + " " * (end - start - 5) + text[end + 1:])


def _encoded(text: str) -> bytes:
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise SurveyError("not well-formed XML (the text holds a lone "
                          "surrogate, which is no character)") from None
