"""What a failure of ``extract_metadata`` means for the survey document.

``extract_metadata`` raises the exception of the step that failed, with
one traceback entry ``File "bathyra/metadata_parser", line N`` whose line
names the step.  ``explain`` turns that into one sentence for the person
who has to mend the metadata: which element is missing or malformed, and
what the chart loses by it.  Given the document too, it tells apart the
cases that the exception alone cannot: no temporal extent at all, a
GML 3.1 one, a document of another metadata standard, the text that is not
a number.  (The examples print with their lines wrapped.)

    >>> from bathyra import Document, explain
    >>> from bathyra.metadata_parser import extract_metadata
    >>> survey = Document("survey.xml", b'''<gmd:MD_Metadata
    ...     xmlns:gmd="http://www.isotc211.org/2005/gmd"
    ...     xmlns:gml="http://www.opengis.net/gml">
    ...   <gml:TimePeriod gml:id="t1">
    ...     <gml:beginPosition>2009-10-07</gml:beginPosition>
    ...     <gml:endPosition>2009-10-07</gml:endPosition>
    ...   </gml:TimePeriod>
    ... </gmd:MD_Metadata>''')
    >>> try:
    ...     extract_metadata(survey)
    ... except Exception as error:
    ...     print(explain(error))
    ...     print(explain(error, survey))
    the document has no GML 3.2 survey period (no gml:beginPosition in
    http://www.opengis.net/gml/3.2), so there is no survey start date;
    a period in GML 3.1 is not read
    the survey period is a GML 3.1 gml:TimePeriod (namespace
    http://www.opengis.net/gml), but only GML 3.2 periods are read, so there
    is no survey start date

``explain`` never raises: an exception that does not come from
``extract_metadata`` gets a sentence that says so.
"""
import re
from typing import (TYPE_CHECKING, Callable, Dict, List, Optional, Tuple,
                    Union)

if TYPE_CHECKING:
    from xml.etree.ElementTree import Element

__all__ = ["explain"]

MODULE_FILE = "bathyra/metadata_parser"

GMD = "http://www.isotc211.org/2005/gmd"
GMI = "http://www.isotc211.org/2005/gmi"
GCO = "http://www.isotc211.org/2005/gco"
GML32 = "http://www.opengis.net/gml/3.2"
GML31 = "http://www.opengis.net/gml"
MDB = "http://standards.iso.org/iso/19115/-3/mdb/"
SMXML = "http://metadata.dgiwg.org/smXML"

# The prefixes under which elements are named in the sentences.
PREFIXES = {GMD: "gmd", GMI: "gmi", GCO: "gco", GML32: "gml", GML31: "gml",
            SMXML: "smXML"}

NOT_FROM_EXTRACTION = (
    "this failure did not happen while extract_metadata read a document, "
    "so it says nothing about the document")
NO_DATES = "so there is no survey start date"
NO_DEPTHS = "so there is no depth range (DRVAL1, DRVAL2)"
QUOTE_LIMIT = 40

# What the failure of each step means when nothing more precise is known,
# by the name of the step (the members of bathyra._traceback_lines.Line,
# which the build writes; it is imported on first use, so that this module
# imports from the sources alone).
STEP_MEANINGS: Dict[str, str] = {
    "define_function":
        "extract_metadata was called wrongly: it takes exactly one "
        "argument, the object whose attribute iso19139_xml holds the "
        "document",
    "read_document":
        "reading the document from the attribute iso19139_xml of the "
        "object given failed, so no document was read",
    "namespace_loop":
        "the namespace table XML_NS of bathyra.metadata_parser has been "
        "replaced by something that is not a table of prefixes and "
        "namespaces; no document can be read until it is restored",
    "register_namespace":
        "the XML library refused a prefix of the namespace table XML_NS of "
        "bathyra.metadata_parser; no document can be read until the table "
        "is restored",
    "parse_document":
        "the metadata document could not be parsed as XML",
    "find_begin_position":
        "the document has no GML 3.2 survey period (no gml:beginPosition "
        "in %s), %s; a period in GML 3.1 is not read" % (GML32, NO_DATES),
    "find_end_position":
        "the survey period has no end (no GML 3.2 gml:endPosition), so "
        "there is no survey end date",
    "find_minimum_value":
        "the document has no minimum value of a vertical extent (no "
        "gco:Real under gmd:minimumValue), " + NO_DEPTHS,
    "find_maximum_value":
        "the document has no maximum value of a vertical extent (no "
        "gco:Real under gmd:maximumValue), " + NO_DEPTHS,
    "convert_minimum":
        "the minimum value of the vertical extent (gco:Real under "
        "gmd:minimumValue) is not a number, " + NO_DEPTHS,
    "convert_maximum":
        "the maximum value of the vertical extent (gco:Real under "
        "gmd:maximumValue) is not a number, " + NO_DEPTHS,
    "survey_start":
        "the survey start (gml:beginPosition) is not a date text, so "
        "there is no survey start date",
    "survey_end":
        "the survey end (gml:endPosition) is not a date text, so there is "
        "no survey end date",
    "find_platforms":
        "the acquisition information (gmi:acquisitionInformation) could "
        "not be searched for platform and instrument names",
    "platform_loop":
        "the platform and instrument names of the acquisition information "
        "could not be gone through",
    "test_platform":
        "a platform or instrument name under the acquisition information "
        "is not a plain text",
    "append_platform":
        "a platform or instrument name under the acquisition information "
        "could not be added to the platform names (planam)",
    "join_platforms":
        "the platform names (planam) could not be joined",
    "find_citation":
        "the citation (gmd:CI_Citation) could not be searched for the "
        "dataset's name (OBJNAM)",
    "citation_text":
        "the dataset's name (the first gco:CharacterString of a "
        "gmd:CI_Citation) could not be read",
    "object_name":
        "the dataset's name (the first gco:CharacterString of a "
        "gmd:CI_Citation) is not a plain text",
}
for _line in ("make_placeholders", "build_record", "make_drval1",
              "make_drval2"):
    STEP_MEANINGS[_line] = ("the record could not be built; the document "
                            "was read, and is not at fault")
del _line

IMPORT_MEANING = ("the module bathyra.metadata_parser could not be set up "
                  "when it was imported, before any document was read")


def explain(exc: BaseException, document: object = None) -> str:
    """What the exception `exc`, raised by ``extract_metadata``, means for
    the survey document, as one line of text.

    `document` is optional: the document that was read (``bytes`` or
    ``str``), or the object that was passed to ``extract_metadata`` (its
    attribute ``iso19139_xml`` is read).  With it, the sentence names what
    is missing or malformed more precisely.  Never raises."""
    try:
        return _explain(exc, document)
    except Exception:
        return NOT_FROM_EXTRACTION


def module_entry(exc: BaseException) -> Optional[Tuple[int, str]]:
    """The (line, function name) of the first traceback entry of
    ``bathyra.metadata_parser`` in `exc`, or None.  The first is the
    outermost: a document whose attribute hook calls extract_metadata
    again carries the inner call's entry further down."""
    tb = getattr(exc, "__traceback__", None)
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            return tb.tb_lineno, code.co_name
        tb = tb.tb_next
    return None


def _explain(exc: BaseException, document: object) -> str:
    entry = module_entry(exc)
    if entry is None:
        return NOT_FROM_EXTRACTION
    line, function = entry
    if function.startswith("init "):
        return IMPORT_MEANING
    from bathyra._traceback_lines import Line
    try:
        step = Line(line).name
    except ValueError:
        return ("extract_metadata failed at line %d, a step that this "
                "version of bathyra does not know" % line)
    if isinstance(exc, MemoryError):
        return ("memory ran out while the document was read; the document "
                "itself may be sound")
    if isinstance(exc, NameError):
        return ("the global %s of bathyra.metadata_parser has been "
                "deleted, so no document can be read until it is restored"
                % _missing_name(exc))
    refine = _REFINEMENTS.get(step)
    meaning = refine(exc, _Document(document)) if refine else None
    return meaning or STEP_MEANINGS.get(step) or NOT_FROM_EXTRACTION


def _missing_name(exc: NameError) -> str:
    name = getattr(exc, "name", None)
    if not name:
        match = re.search(r"name '(\w+)' is not defined", str(exc))
        name = match.group(1) if match else "XML_NS or ET"
    return str(name)


def _is_none_text(exc: BaseException) -> bool:
    """Whether `exc` is the error of reading `text` from no element."""
    return (isinstance(exc, AttributeError)
            and "'NoneType'" in str(exc) and "'text'" in str(exc))


class _Document:
    """The document given to explain(), parsed on first use.  Every look
    at it answers None when there is no document or it cannot be read."""

    def __init__(self, document: object) -> None:
        if document is not None and not isinstance(
                document, (bytes, bytearray, memoryview, str)):
            try:
                document = getattr(document, "iso19139_xml")
            except Exception:
                document = None
        if isinstance(document, (bytearray, memoryview)):
            document = bytes(document)
        self.text: Optional[Union[str, bytes]] = (
            document if isinstance(document, (bytes, str)) else None)
        self._parsed = False
        self._root: Optional["Element"] = None

    @property
    def root(self) -> Optional["Element"]:
        if not self._parsed:
            self._parsed = True
            if self.text is not None:
                import xml.etree.ElementTree as ET
                try:
                    self._root = ET.fromstring(self.text)
                except Exception:
                    pass
        return self._root

    def standard(self) -> Optional[str]:
        """"19115-3", "smXML" or None (ISO 19139, or not known)."""
        root = self.root
        if root is None:
            return None
        namespace = _namespace(root.tag)
        if namespace.startswith(MDB):
            return "19115-3"
        if namespace == SMXML:
            return "smXML"
        return None

    def elements(self, namespace: Optional[str],
                 name: str) -> List["Element"]:
        """Every element `name` in `namespace` (None: in any namespace), in
        document order."""
        root = self.root
        if root is None:
            return []
        if namespace is not None:
            return list(root.iter("{%s}%s" % (namespace, name)))
        return [element for element in root.iter()
                if isinstance(element.tag, str)
                and _local(element.tag) == name]

    def first(self, namespace: Optional[str],
              name: str) -> Optional["Element"]:
        found = self.elements(namespace, name)
        return found[0] if found else None


def _namespace(tag: str) -> str:
    return tag[1:].split("}", 1)[0] if tag.startswith("{") else ""


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def _quote(text: str) -> str:
    """`text` in double quotes, its line breaks shown as \\n, shortened."""
    shown = text.replace("\r", "\\r").replace("\n", "\\n").replace(
        "\t", "\\t")
    if len(shown) > QUOTE_LIMIT:
        shown = shown[:QUOTE_LIMIT - 3] + "..."
    return '"%s"' % shown


def _other_standard(standard: str, what: str) -> str:
    if standard == "19115-3":
        return ("this is an ISO 19115-3 document (mdb:MD_Metadata), not "
                "ISO 19139, and " + what)
    return ("this is a legacy smXML document (smXML:MD_Metadata, the form of "
            "early BAG files), not ISO 19139, and " + what)


# ---------------------------------------------------------------------------
# Refinements: a more precise sentence for a step, or None.

_Refinement = Callable[[BaseException, _Document], Optional[str]]


def _parse_document(exc: BaseException,
                    document: _Document) -> Optional[str]:
    if isinstance(exc, TypeError):
        match = re.search(r"not '(\w+)'", str(exc))
        if match and match.group(1) == "NoneType":
            return ("there is no metadata document: the attribute "
                    "iso19139_xml is None")
        if match:
            return ("the metadata document is of type %s, not XML text "
                    "(str or bytes)" % match.group(1))
        return None
    if isinstance(exc, LookupError):
        return ("the metadata document declares a character encoding that "
                "the XML library does not know")
    position = getattr(exc, "position", None)
    if not (isinstance(position, tuple) and len(position) == 2):
        return None
    if document.text is not None:
        # Bytes as latin-1: one character per byte, so positions agree.
        text = document.text
        if isinstance(text, bytes):
            text = text.decode("latin-1")
        if not text.strip(" \t\r\n"):
            return "the metadata document is empty"
        end = text.rfind(">") + 1
        tail = text[end:]
        if "\0" in tail and not tail.strip(" \t\r\n\0") and _well_formed(
                document.text[:end]):
            return ("the metadata document is followed by NUL bytes (from "
                    "line %d), as BAG files store it; without them it is "
                    "well-formed XML" % position[0])
    if getattr(exc, "code", None) == 3 and position == (1, 0):
        return "the metadata document is empty"
    return ("the metadata document is not well-formed XML: the XML parser "
            "stopped at line %d" % position[0])


def _well_formed(text: Union[str, bytes]) -> bool:
    import xml.etree.ElementTree as ET
    try:
        ET.fromstring(text)
    except Exception:
        return False
    return True


def _find_begin_position(exc: BaseException,
                         document: _Document) -> Optional[str]:
    if not _is_none_text(exc) or document.root is None:
        return None
    standard = document.standard()
    if standard:
        return _other_standard(
            standard, "it has no GML 3.2 survey period (gml:beginPosition), "
            + NO_DATES)
    for begin in document.elements(None, "beginPosition"):
        namespace = _namespace(begin.tag)
        if namespace == GML31:
            return ("the survey period is a GML 3.1 gml:TimePeriod "
                    "(namespace %s), but only GML 3.2 periods are read, %s"
                    % (GML31, NO_DATES))
        return ("the survey period's beginPosition is in the namespace "
                "%s, not in GML 3.2 (%s), %s" % (namespace or "(none)", GML32,
                                                 NO_DATES))
    if document.elements(None, "begin"):
        return ("the survey period gives its begin as gml:begin with a "
                "gml:TimeInstant, not as gml:beginPosition, " + NO_DATES)
    if document.elements(None, "TimeInstant"):
        return ("the temporal extent is a single instant (gml:TimeInstant), "
                "not a survey period with a begin and an end, " + NO_DATES)
    if document.elements(GMD, "EX_TemporalExtent"):
        return ("the temporal extent (gmd:EX_TemporalExtent) holds no "
                "survey period (gml:TimePeriod), " + NO_DATES)
    return ("the document has no temporal extent at all: no survey period "
            "(gml:TimePeriod with gml:beginPosition), " + NO_DATES)


def _find_end_position(exc: BaseException,
                       document: _Document) -> Optional[str]:
    if not _is_none_text(exc) or document.root is None:
        return None
    no_end = "so there is no survey end date"
    if document.elements(GML31, "endPosition"):
        return ("the survey period's end is a GML 3.1 gml:endPosition "
                "(namespace %s), but only GML 3.2 is read, %s"
                % (GML31, no_end))
    if document.elements(GML32, "end"):
        return ("the survey period gives its end as gml:end with a "
                "gml:TimeInstant, not as gml:endPosition, " + no_end)
    return ("the survey period has a begin (gml:beginPosition) but no end "
            "(gml:endPosition), " + no_end)


def _find_value(which: str) -> "_Refinement":
    tag = which + "Value"

    def refine(exc: BaseException, document: _Document) -> Optional[str]:
        if not _is_none_text(exc) or document.root is None:
            return None
        standard = document.standard()
        if standard == "19115-3" and document.elements(
                None, "EX_VerticalExtent"):
            return _other_standard(
                standard, "its vertical extent (gex:EX_VerticalExtent) is "
                "not the ISO 19139 one that is read, " + NO_DEPTHS)
        if standard:
            return _other_standard(
                standard, "it has no ISO 19139 vertical extent "
                "(gmd:EX_VerticalExtent), " + NO_DEPTHS)
        values = document.elements(GMD, tag)
        if not values:
            if document.elements(GMD, "EX_VerticalExtent"):
                return ("the vertical extent (gmd:EX_VerticalExtent) has no "
                        "%s value (gmd:%s), %s" % (which, tag, NO_DEPTHS))
            return ("the document has no vertical extent "
                    "(gmd:EX_VerticalExtent), " + NO_DEPTHS)
        value = values[0]
        nil = value.get("{%s}nilReason" % GCO)
        if nil is not None:
            return ("the vertical extent gives no %s value (gmd:%s is nil, "
                    "reason %s), %s" % (which, tag, _quote(nil), NO_DEPTHS))
        children = [child for child in value if isinstance(child.tag, str)]
        if children:
            child = children[0].tag
            return ("the vertical extent's %s value is a %s, not the "
                    "gco:Real that is read, %s" % (which, _prefixed(child),
                                                   NO_DEPTHS))
        return ("the vertical extent's %s value (gmd:%s) holds no gco:Real "
                "number, %s" % (which, tag, NO_DEPTHS))

    return refine


def _convert_value(which: str) -> "_Refinement":
    tag = which + "Value"

    def refine(exc: BaseException, document: _Document) -> Optional[str]:
        text = None
        real = None
        for value in document.elements(GMD, tag):
            real = value.find("{%s}Real" % GCO)
            if real is not None:
                text = real.text
                break
        if isinstance(exc, TypeError) and (
                "NoneType" in str(exc) or (real is not None and text is None)):
            return ("the vertical extent's %s value (gco:Real under gmd:%s) "
                    "is empty, %s" % (which, tag, NO_DEPTHS))
        if not isinstance(exc, ValueError):
            return None
        if text is None:
            match = re.search(r"float: (.*)$", str(exc), re.S)
            try:
                import ast
                text = ast.literal_eval(match.group(1)) if match else None
            except Exception:
                text = None
            if not isinstance(text, str):
                return None
        sentence = "the %s depth text %s is not a number (gco:Real under " \
                   "gmd:%s), %s" % (which, _quote(text), tag, NO_DEPTHS)
        if re.fullmatch(r"\s*[-+]?\d+,\d+\s*", text):
            sentence += "; write the decimal separator as a point"
        return sentence

    return refine


def _prefixed(tag: str) -> str:
    namespace = _namespace(tag)
    prefix = PREFIXES.get(namespace)
    return "%s:%s" % (prefix, _local(tag)) if prefix else tag


def _survey_date(which: str, tag: str) -> "_Refinement":
    def refine(exc: BaseException, document: _Document) -> Optional[str]:
        if not (isinstance(exc, TypeError) and "NoneType" in str(exc)):
            return None
        what = "the survey %s (gml:%s)" % (which, tag)
        position = document.first(GML32, tag)
        marked = position.get("indeterminatePosition") if (
            position is not None) else None
        if marked == "now":
            return ('%s is empty and marked indeterminate ("now"): the '
                    "survey period is open-ended and has no %s date"
                    % (what, which))
        if marked:
            return ("%s is empty and marked indeterminate (%s), so there is "
                    "no survey %s date" % (what, _quote(marked), which))
        return "%s is empty, so there is no survey %s date" % (what, which)

    return refine


def _read_document(exc: BaseException,
                   document: _Document) -> Optional[str]:
    if isinstance(exc, AttributeError) and "iso19139_xml" in str(exc):
        return ("the object given to extract_metadata carries no metadata "
                "document: it has no attribute iso19139_xml")
    return None


_REFINEMENTS: Dict[str, _Refinement] = {
    "read_document": _read_document,
    "parse_document": _parse_document,
    "find_begin_position": _find_begin_position,
    "find_end_position": _find_end_position,
    "find_minimum_value": _find_value("minimum"),
    "find_maximum_value": _find_value("maximum"),
    "convert_minimum": _convert_value("minimum"),
    "convert_maximum": _convert_value("maximum"),
    "survey_start": _survey_date("start", "beginPosition"),
    "survey_end": _survey_date("end", "endPosition"),
}
