"""Builders of test inputs: small ISO 19139 documents with chosen element
texts, and a stand-in for the XML library whose elements carry arbitrary
objects as texts."""
from xml.sax.saxutils import escape

from bathyra import Document

from tests import twin

NAMESPACES = (
    'xmlns:gmi="http://www.isotc211.org/2005/gmi" '
    'xmlns:gmd="http://www.isotc211.org/2005/gmd" '
    'xmlns:gco="http://www.isotc211.org/2005/gco" '
    'xmlns:gml="http://www.opengis.net/gml/3.2"')

_OMIT = object()


def _text_element(tag, text):
    if text is None:
        return "<%s/>" % tag
    return "<%s>%s</%s>" % (tag, escape(text), tag)


def document(begin="2019-03-14T00:00:00", end="2019-03-20T00:00:00",
             minimum="-35.2", maximum="-1.5", platforms=(),
             citations=_OMIT, gml="http://www.opengis.net/gml/3.2",
             grid=None):
    """A metadata document.  A text of None gives an empty element; _OMIT
    (or an omitted keyword for citations) leaves the element out.  `grid`,
    (rows, columns, "x1,y1 x2,y2", resolution, EPSG code), adds a
    georectified grid and its reference system."""
    parts = ['<gmi:MI_Metadata %s xmlns:g32="%s">'
             % (NAMESPACES.replace("http://www.opengis.net/gml/3.2", gml),
                gml)]
    if grid is not None:
        parts.append(_georectified(*grid))
    parts.append("<gmd:identificationInfo><gmd:MD_DataIdentification>")
    if citations is not _OMIT:
        for title in citations:
            parts.append("<gmd:citation><gmd:CI_Citation><gmd:title>%s"
                         "</gmd:title></gmd:CI_Citation></gmd:citation>"
                         % _text_element("gco:CharacterString", title))
    parts.append("<gmd:extent><gmd:EX_Extent>")
    parts.append("<gmd:temporalElement><gml:TimePeriod>")
    if begin is not _OMIT:
        parts.append(_text_element("gml:beginPosition", begin))
    if end is not _OMIT:
        parts.append(_text_element("gml:endPosition", end))
    parts.append("</gml:TimePeriod></gmd:temporalElement>")
    parts.append("<gmd:verticalElement><gmd:EX_VerticalExtent>")
    if minimum is not _OMIT:
        parts.append("<gmd:minimumValue>%s</gmd:minimumValue>"
                     % _text_element("gco:Real", minimum))
    if maximum is not _OMIT:
        parts.append("<gmd:maximumValue>%s</gmd:maximumValue>"
                     % _text_element("gco:Real", maximum))
    parts.append("</gmd:EX_VerticalExtent></gmd:verticalElement>")
    parts.append("</gmd:EX_Extent></gmd:extent>")
    parts.append("</gmd:MD_DataIdentification></gmd:identificationInfo>")
    if platforms:
        parts.append("<gmi:acquisitionInformation>"
                     "<gmi:MI_AcquisitionInformation>")
        for name in platforms:
            parts.append("<gmi:platform><gmi:MI_Platform><gmi:identifier>%s"
                         "</gmi:identifier></gmi:MI_Platform></gmi:platform>"
                         % _text_element("gco:CharacterString", name))
        parts.append("</gmi:MI_AcquisitionInformation>"
                     "</gmi:acquisitionInformation>")
    parts.append("</gmi:MI_Metadata>")
    return "".join(parts)


OMIT = _OMIT


def _georectified(rows, cols, corners, resolution, code):
    def axis(name, size):
        return ("<gmd:axisDimensionProperties><gmd:MD_Dimension>"
                "<gmd:dimensionName><gmd:MD_DimensionNameTypeCode "
                'codeListValue="%s">%s</gmd:MD_DimensionNameTypeCode>'
                "</gmd:dimensionName><gmd:dimensionSize><gco:Integer>%d"
                "</gco:Integer></gmd:dimensionSize><gmd:resolution>"
                '<gco:Measure uom="m">%r</gco:Measure></gmd:resolution>'
                "</gmd:MD_Dimension></gmd:axisDimensionProperties>"
                % (name, name, size, resolution))
    return ("<gmd:spatialRepresentationInfo><gmd:MD_Georectified>"
            + axis("row", rows) + axis("column", cols)
            + "<gmd:cornerPoints><gml:Point><gml:coordinates>%s"
              "</gml:coordinates></gml:Point></gmd:cornerPoints>"
              "</gmd:MD_Georectified></gmd:spatialRepresentationInfo>"
              "<gmd:referenceSystemInfo><gmd:MD_ReferenceSystem>"
              "<gmd:referenceSystemIdentifier><gmd:RS_Identifier><gmd:code>"
              "<gco:CharacterString>%s</gco:CharacterString></gmd:code>"
              "<gmd:codeSpace><gco:CharacterString>EPSG"
              "</gco:CharacterString></gmd:codeSpace></gmd:RS_Identifier>"
              "</gmd:referenceSystemIdentifier></gmd:MD_ReferenceSystem>"
              "</gmd:referenceSystemInfo>" % (corners, code))


def Raster(document):
    """The argument of extract_metadata for `document`: a bathyra.Document
    with no file behind it."""
    return Document(None, document)


class KeyErrorRaster:
    """Reading its document raises KeyError('hook')."""

    @property
    def iso19139_xml(self):
        raise KeyError("hook")


class FakeElement:
    def __init__(self, text):
        self.__dict__["text"] = text


class FakeRoot:
    """A parsed document whose element texts are arbitrary objects."""

    def __init__(self, begin="2019-03-14T00:00:00",
                 end="2019-03-20T00:00:00", minimum="-35.2", maximum="-1.5",
                 platforms=(), citation=None):
        self.texts = dict(zip([path for _, path in twin.EXTENT_PATHS],
                              [begin, end, minimum, maximum]))
        self.citation = citation
        self.platforms = platforms
        self.calls = []

    def find(self, path, namespaces):
        self.calls.append(("find", path, namespaces))
        if path == twin.CITATION:
            return self.citation
        return FakeElement(self.texts[path])

    def findall(self, path, namespaces):
        self.calls.append(("findall", path, namespaces))
        return self.platforms


class FakeLibrary:
    """Stands for the XML library: records registrations, parses nothing."""

    def __init__(self, root):
        self.root = root
        self.registered = []

    def register_namespace(self, prefix, uri):
        self.registered.append((prefix, uri))

    def fromstring(self, text):
        return self.root


# Documents for the survey reader: an identification made of the parts
# given as XML text, in the order of the schema.
SURVEY_NAMESPACES = (
    NAMESPACES + ' xmlns:xlink="http://www.w3.org/1999/xlink"'
    ' xmlns:srv="http://www.isotc211.org/2005/srv"'
    ' xmlns:gml31="http://www.opengis.net/gml"')


def survey_document(title=None, parties="", extents="", acquisition="",
                    head="", identification="gmd:MD_DataIdentification",
                    others="", contacts=""):
    """A gmi:MI_Metadata document.  `title` (None: no citation) and
    `parties` (citedResponsibleParty elements) make the identification's
    citation, `contacts` follow it (pointOfContact elements), `extents` its
    gmd:extent content (EX_Extent elements);
    `head` comes before the identification (contact, dateStamp,
    referenceSystemInfo), `others` after it (more identifications),
    `acquisition` is the content of gmi:MI_AcquisitionInformation."""
    citation = ""
    if title is not None:
        citation = ("<gmd:citation><gmd:CI_Citation><gmd:title>%s"
                    "</gmd:title>%s</gmd:CI_Citation></gmd:citation>"
                    % (_text_element("gco:CharacterString", title), parties))
    parts = ['<gmi:MI_Metadata %s>' % SURVEY_NAMESPACES, head,
             "<gmd:identificationInfo><%s>%s%s"
             % (identification, citation, contacts)]
    if extents:
        # A service identification holds srv:extent.
        tag = "srv:extent" if identification.startswith("srv:") else (
            "gmd:extent")
        parts.append("<%s>%s</%s>" % (tag, extents, tag))
    parts.append("</%s></gmd:identificationInfo>%s"
                 % (identification, others))
    if acquisition:
        parts.append("<gmi:acquisitionInformation>"
                     "<gmi:MI_AcquisitionInformation>%s"
                     "</gmi:MI_AcquisitionInformation>"
                     "</gmi:acquisitionInformation>" % acquisition)
    parts.append("</gmi:MI_Metadata>")
    return "".join(parts)


def period(begin, end, gml="gml", end_attributes=""):
    """An EX_Extent of one TimePeriod; None leaves a position out;
    `end_attributes` go into the end position's tag."""
    positions = "".join(
        "<%s:%sPosition%s>%s</%s:%sPosition>"
        % (gml, which, attributes, value, gml, which)
        for which, value, attributes in (("begin", begin, ""),
                                         ("end", end, end_attributes))
        if value is not None)
    return ("<gmd:EX_Extent><gmd:temporalElement><gmd:EX_TemporalExtent>"
            "<gmd:extent><%s:TimePeriod %s:id=\"p\">%s</%s:TimePeriod>"
            "</gmd:extent></gmd:EX_TemporalExtent></gmd:temporalElement>"
            "</gmd:EX_Extent>" % (gml, gml, positions, gml))


def depth_range(minimum, maximum, crs=""):
    """An EX_Extent of one EX_VerticalExtent; `crs` is the
    gmd:verticalCRS element (XML text)."""
    return ("<gmd:EX_Extent><gmd:verticalElement><gmd:EX_VerticalExtent>"
            "<gmd:minimumValue><gco:Real>%s</gco:Real></gmd:minimumValue>"
            "<gmd:maximumValue><gco:Real>%s</gco:Real></gmd:maximumValue>%s"
            "</gmd:EX_VerticalExtent></gmd:verticalElement></gmd:EX_Extent>"
            % (minimum, maximum, crs))


def bounding_box(west, south, east, north):
    return ("<gmd:EX_Extent><gmd:geographicElement>"
            "<gmd:EX_GeographicBoundingBox>%s</gmd:EX_GeographicBoundingBox>"
            "</gmd:geographicElement></gmd:EX_Extent>" % "".join(
                "<gmd:%s><gco:Decimal>%s</gco:Decimal></gmd:%s>"
                % (name, value, name) for name, value in (
                    ("westBoundLongitude", west),
                    ("eastBoundLongitude", east),
                    ("southBoundLatitude", south),
                    ("northBoundLatitude", north))))


def party(organisation, role, element="gmd:citedResponsibleParty"):
    return ("<%s><gmd:CI_ResponsibleParty><gmd:organisationName>%s"
            "</gmd:organisationName><gmd:role><gmd:CI_RoleCode codeList="
            "\"#CI_RoleCode\" codeListValue=\"%s\">%s</gmd:CI_RoleCode>"
            "</gmd:role></gmd:CI_ResponsibleParty></%s>"
            % (element, _text_element("gco:CharacterString", organisation),
               role, role, element))


def instant(position):
    """An EX_Extent of one TimeInstant."""
    return ("<gmd:EX_Extent><gmd:temporalElement><gmd:EX_TemporalExtent>"
            "<gmd:extent><gml:TimeInstant gml:id=\"i\"><gml:timePosition>%s"
            "</gml:timePosition></gml:TimeInstant></gmd:extent>"
            "</gmd:EX_TemporalExtent></gmd:temporalElement></gmd:EX_Extent>"
            % position)


def reference_system(code, title=None, code_space=None):
    """A gmd:referenceSystemInfo whose identifier has `code`, an
    authority citation titled `title` and a gmd:codeSpace `code_space`."""
    authority = "" if title is None else (
        "<gmd:authority><gmd:CI_Citation><gmd:title>%s</gmd:title>"
        "</gmd:CI_Citation></gmd:authority>"
        % _text_element("gco:CharacterString", title))
    space = "" if code_space is None else (
        "<gmd:codeSpace>%s</gmd:codeSpace>"
        % _text_element("gco:CharacterString", code_space))
    return ("<gmd:referenceSystemInfo><gmd:MD_ReferenceSystem>"
            "<gmd:referenceSystemIdentifier><gmd:RS_Identifier>%s"
            "<gmd:code>%s</gmd:code>%s</gmd:RS_Identifier>"
            "</gmd:referenceSystemIdentifier></gmd:MD_ReferenceSystem>"
            "</gmd:referenceSystemInfo>"
            % (authority, _text_element("gco:CharacterString", code), space))


def acquired(kind, identifier=None, description=None, type=None, inner=""):
    """A gmi:platform or gmi:instrument (`kind`) whose MI_Platform or
    MI_Instrument holds the texts given, and `inner` (XML text)."""
    fields = ""
    if identifier is not None:
        fields += ("<gmi:identifier><gmd:MD_Identifier><gmd:code>%s"
                   "</gmd:code></gmd:MD_Identifier></gmi:identifier>"
                   % _text_element("gco:CharacterString", identifier))
    for name, value in (("description", description), ("type", type)):
        if value is not None:
            fields += "<gmi:%s>%s</gmi:%s>" % (
                name, _text_element("gco:CharacterString", value), name)
    element = "MI_Platform" if kind == "platform" else "MI_Instrument"
    return "<gmi:%s><gmi:%s>%s%s</gmi:%s></gmi:%s>" % (
        kind, element, fields, inner, element, kind)


def hostile_documents(good):
    """Documents made from `good` (a str) that attack a reader: deep
    nesting, entity expansion, an external entity, NUL bytes, a lone
    surrogate, and encodings other than UTF-8."""
    depth = 100_000
    laughs = ('<!DOCTYPE r [<!ENTITY a "aaaaaaaaaa">' +
              "".join('<!ENTITY %s "%s">' % (chr(98 + i),
                                             ("&%s;" % chr(97 + i)) * 10)
                      for i in range(9)) + ']>' +
              good.replace(">Vessel A<", ">&j;<"))
    external = ('<!DOCTYPE r [<!ENTITY e SYSTEM "file:///etc/passwd">]>' +
                good.replace(">Vessel A<", ">&e;<"))
    return {
        "deep": good.replace("<gmd:extent>", "<x>" * depth + "</x>" * depth +
                             "<gmd:extent>"),
        "billion laughs": laughs,
        "external entity": external,
        "NUL bytes": good.encode() + b"\0\0",
        "NUL inside": good.replace("Vessel", "Ves\0sel").encode(),
        "lone surrogate": good.replace("Vessel", "Ves\udcffsel"),
        "UTF-16": ('<?xml version="1.0" encoding="UTF-16"?>' +
                   good).encode("utf-16"),
        "Latin-1": ('<?xml version="1.0" encoding="ISO-8859-1"?>' +
                    good.replace("Vessel", "Navire é")).encode("latin-1"),
    }
