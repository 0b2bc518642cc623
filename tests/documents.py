"""Builders of test inputs: small ISO 19139 documents with chosen element
texts, and a stand-in for the XML library whose elements carry arbitrary
objects as texts."""
from xml.sax.saxutils import escape

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
             citations=_OMIT, gml="http://www.opengis.net/gml/3.2"):
    """A metadata document.  A text of None gives an empty element; _OMIT
    (or an omitted keyword for citations) leaves the element out."""
    parts = ['<gmi:MI_Metadata %s xmlns:g32="%s">'
             % (NAMESPACES.replace("http://www.opengis.net/gml/3.2", gml),
                gml)]
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


class Raster:
    def __init__(self, document):
        self.iso19139_xml = document


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
