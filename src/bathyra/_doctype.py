"""The copy of a document with a document type declaration (DOCTYPE) that
the survey reader's pass reads: the same elements, attributes and text,
entities replaced and default attributes written out, without the
DOCTYPE, in UTF-8.

Nothing outside the document is ever read: an external DTD or entity is
never fetched, and a reference to an external entity refuses the
document.  The entities of the DOCTYPE are weighed before expat expands
any: the document is refused when they would expand it beyond
``ENTITY_LIMIT`` characters (or its own size, when larger), and the copy
is refused when it would grow beyond what its document and that
expansion account for.  Parameter entities are never expanded, as
the reader's own pass does not expand them.
"""
import re
import xml.parsers.expat as expat
from collections import Counter
from typing import Dict, List, Optional, Tuple

from bathyra.errors import SurveyError

__all__ = ["expanded", "ENTITY_LIMIT"]

#: The characters that entities may add to a document of up to this size.
ENTITY_LIMIT = 8 * 1024 * 1024
# A character of the document grows to at most six in the copy ('"' in an
# attribute becomes "&quot;").
_GROWTH = 6

_S = rb"[ \t\r\n]"
_LITERAL = rb"(?:\"[^\"]*\"|'[^']*')"
_SPACE = re.compile(_S + rb"*")
# The DOCTYPE's name and external ID, up to its internal subset.
_DOCTYPE = re.compile(
    rb"<!DOCTYPE" + _S + rb"+[^ \t\r\n\[>]+(?:" + _S + rb"+(?:SYSTEM" + _S +
    rb"*" + _LITERAL + rb"|PUBLIC" + _S + rb"*" + _LITERAL + _S + rb"*" +
    _LITERAL + rb"))?" + _S + rb"*\[")
_DECLARATION_TEXT = re.compile(rb"[^\"'>]*")
_ENTITY = re.compile(
    rb"<!ENTITY" + _S + rb"+(%" + _S + rb"+)?([^ \t\r\n%;\"'<>]+)" + _S +
    rb"+(?:\"([^\"]*)\"|'([^']*)')?")
_CHARACTER = re.compile(r"&#(?:([0-9]{1,8})|x([0-9A-Fa-f]{1,8}));")
_REFERENCE = re.compile(r"&([^ \t\r\n&;#<>\"'%]+);")
_REFERENCE_BYTES = re.compile(rb"&([^ \t\r\n&;#<>\"'%]+);")
_NEWLINE = re.compile(r"\r\n?")


def expanded(document: bytes) -> bytes:
    """`document` (UTF-8, its declaration naming UTF-8 or no encoding)
    without its DOCTYPE: entities replaced, default attributes written
    out, comments and processing instructions left out.  Raises
    SurveyError when it is not well-formed, refers to an external entity
    or expands beyond the limit."""
    limit = max(ENTITY_LIMIT, len(document))
    entities, inside = _entities(document)
    if _expansion(document, entities, inside, limit) > limit:
        raise SurveyError(
            "not well-formed XML (the document's DOCTYPE declares entities "
            "that expand it beyond %d characters)" % limit)
    return _Copy(entities, _GROWTH * (len(document) + limit)).run(document)


def _shown(text: str) -> str:
    shown = text.encode("unicode_escape").decode("ascii")
    return shown if len(shown) <= 80 else shown[:77] + "..."


def _replacement(literal: bytes) -> str:
    """The replacement text of an entity's literal value: line ends as
    one newline, character references replaced."""
    text = _NEWLINE.sub("\n", literal.decode("utf-8", "replace"))

    def character(found: "re.Match[str]") -> str:
        code = (int(found.group(1)) if found.group(1)
                else int(found.group(2), 16))
        if code > 0x10FFFF or 0xD800 <= code <= 0xDFFF:
            return "\ufffd"
        return chr(code)
    return _CHARACTER.sub(character, text)


def _entities(document: bytes) -> Tuple[Dict[str, Optional[str]],
                                         "Counter[bytes]"]:
    """The general entities that the internal subset declares: name ->
    replacement text, or None for an external or unparsed one (the first
    declaration of a name holds); and how often each name is referred to
    inside the values of entity declarations, where references are not
    expanded.  Reading stops at what is not an item of an internal subset;
    expat then judges it."""
    entities: Dict[str, Optional[str]] = {}
    inside: "Counter[bytes]" = Counter()
    at = _subset_start(document)
    while at >= 0:
        at = _SPACE.match(document, at).end()
        if document.startswith(b"%", at):
            # A parameter entity is never expanded (and expat reads no
            # declaration after it unless the document is standalone).
            end = document.find(b";", at)
            at = end + 1 if end >= 0 else -1
            continue
        if not document.startswith(b"<!", at) or document.startswith(
                b"<!--", at):
            at = _after_comment_or_pi(document, at)
            continue
        end = _declaration_end(document, at)
        if end < 0:
            break
        entity = _ENTITY.match(document, at, end)
        at = end
        if entity is None:
            continue
        literal = entity.group(3) if entity.group(3) is not None else (
            entity.group(4))
        if literal is not None:
            inside.update(_REFERENCE_BYTES.findall(literal))
        if not entity.group(1):
            name = entity.group(2).decode("utf-8", "replace")
            entities.setdefault(name, None if literal is None
                                else _replacement(literal))
    return entities, inside


def _after_comment_or_pi(document: bytes, at: int) -> int:
    """Where the comment or processing instruction at `at` ends; -1 when
    there is none there, or it does not end."""
    for start, end in ((b"<!--", b"-->"), (b"<?", b"?>")):
        if document.startswith(start, at):
            found = document.find(end, at + len(start))
            return found + len(end) if found >= 0 else -1
    return -1


def _subset_start(document: bytes) -> int:
    """Where the internal subset begins, after the declaration, comments,
    processing instructions and the DOCTYPE's name and external ID; -1
    when there is none."""
    at = 3 if document.startswith(b"\xef\xbb\xbf") else 0
    while at >= 0:
        at = _SPACE.match(document, at).end()
        if document.startswith(b"<!DOCTYPE", at):
            doctype = _DOCTYPE.match(document, at)
            return doctype.end() if doctype else -1
        at = _after_comment_or_pi(document, at)
    return -1


def _declaration_end(document: bytes, at: int) -> int:
    """Where the markup declaration at `at` ends, its literals skipped; -1
    when it does not end."""
    while True:
        at = _DECLARATION_TEXT.match(document, at).end()
        quote = document[at:at + 1]
        if quote == b">":
            return at + 1
        if not quote:
            return -1
        at = document.find(quote, at + 1)
        if at < 0:
            return -1
        at += 1


def _sizes(entities: Dict[str, Optional[str]],
           cap: int) -> Dict[str, int]:
    """How many characters each entity expands to, at most `cap` + 1; an
    entity that refers to itself counts without that reference (expat
    refuses it where it is used)."""
    references = {name: Counter(_REFERENCE.findall(text or ""))
                  for name, text in entities.items()}
    sizes: Dict[str, int] = {}
    for root in entities:
        if root in sizes:
            continue
        open_names = {root}
        stack = [(root, iter(references[root]))]
        while stack:
            name, children = stack[-1]
            for child in children:
                if (child in entities and child not in sizes
                        and child not in open_names):
                    open_names.add(child)
                    stack.append((child, iter(references[child])))
                    break
            else:
                stack.pop()
                open_names.discard(name)
                text = entities[name]
                size = 0 if text is None else len(text) + sum(
                    count * sizes.get(child, 0)
                    for child, count in references[name].items())
                sizes[name] = min(size, cap + 1)
    return sizes


def _expansion(document: bytes, entities: Dict[str, Optional[str]],
               inside: "Counter[bytes]", limit: int) -> int:
    """At most how many characters the references of `document` to its
    entities expand to, but for the references `inside` entity values;
    more than `limit` when beyond it."""
    if not entities:
        return 0
    sizes = {name.encode("utf-8"): size
             for name, size in _sizes(entities, limit).items()}
    counts = Counter(found.group(1)
                     for found in _REFERENCE_BYTES.finditer(document)
                     if found.group(1) in sizes)
    total = 0
    for name, count in counts.items():
        total += max(count - inside[name], 0) * sizes[name]
        if total > limit:
            break
    return total


def _escaped_text(text: str) -> str:
    return (text.replace("&", "&amp;").replace("<", "&lt;")
            .replace(">", "&gt;").replace("\r", "&#13;"))


def _escaped_value(text: str) -> str:
    return (_escaped_text(text).replace('"', "&quot;")
            .replace("\t", "&#9;").replace("\n", "&#10;"))


class _Copy:
    """One expat pass over the document that writes the copy."""

    def __init__(self, entities: Dict[str, Optional[str]],
                 limit: int) -> None:
        self.entities = entities
        self.limit = limit
        self.size = 0
        self.parts: List[str] = []
        # The copy's bytes are UTF-8 whatever they seem to say.
        parser = self.parser = expat.ParserCreate("UTF-8")
        # No external DTD subset and no external parameter entity is read.
        parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
        parser.ordered_attributes = True
        parser.buffer_text = True
        parser.buffer_size = 1 << 16
        parser.StartElementHandler = self.start
        parser.EndElementHandler = self.end
        parser.CharacterDataHandler = self.data
        parser.EntityDeclHandler = self.entity
        parser.ExternalEntityRefHandler = self.external
        parser.SkippedEntityHandler = self.skipped

    def run(self, document: bytes) -> bytes:
        try:
            self.parser.Parse(document, True)
        except expat.ExpatError as error:
            raise SurveyError("not well-formed XML (%s at line %d, column "
                              "%d)" % (expat.ErrorString(error.code),
                                       error.lineno, error.offset)) from None
        finally:
            # The handlers hold this object: break the cycle.
            self.parser = None
        return "".join(self.parts).encode("utf-8")

    def add(self, text: str) -> None:
        self.size += len(text)
        if self.size > self.limit:
            raise SurveyError(
                "not well-formed XML (the document's DOCTYPE declares "
                "default attributes that expand it beyond %d characters)"
                % self.limit)
        self.parts.append(text)

    def start(self, name: str, attributes: List[str]) -> None:
        self.add("<" + name + "".join(
            ' %s="%s"' % (attributes[i], _escaped_value(attributes[i + 1]))
            for i in range(0, len(attributes), 2)) + ">")

    def end(self, name: str) -> None:
        self.add("</" + name + ">")

    def data(self, text: str) -> None:
        self.add(_escaped_text(text))

    def entity(self, name: str, is_parameter: bool, value: Optional[str],
               *unused: object) -> None:
        # Every general entity must be one that was weighed, with the same
        # value; parameter entities are never expanded.
        if is_parameter:
            return
        if self.entities.get(name, False) != value:
            raise SurveyError("the document's DOCTYPE cannot be checked "
                              "before its entities are read (entity %s)"
                              % name)

    def external(self, context: Optional[str], base: Optional[str],
                 system_id: Optional[str],
                 public_id: Optional[str]) -> int:
        raise SurveyError(
            "not well-formed XML (an entity at line %d refers to %s, outside "
            "the document, which is not read)"
            % (self.parser.CurrentLineNumber,
               _shown(system_id or public_id or "")))

    def skipped(self, name: str, is_parameter: bool) -> None:
        raise SurveyError(
            "not well-formed XML (the entity &%s; at line %d is declared "
            "outside the document or after a parameter entity, where "
            "declarations are not read)"
            % (name, self.parser.CurrentLineNumber))
