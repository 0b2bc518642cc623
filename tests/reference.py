"""A plain-Python twin of the extraction routine: the oracle that tests
compare the module with.  It reads the same elements in the same order and
gives the same record, or fails with the same exception type and message,
and reports the line that the module's traceback entry names."""
import math
import re
import xml.etree.ElementTree as ET

XML_NS = {
    "gmi": "http://www.isotc211.org/2005/gmi",
    "gmd": "http://www.isotc211.org/2005/gmd",
    "xsi": "http://www.w3.org/2001/XMLSchema-instance",
    "gml": "http://www.opengis.net/gml/3.2",
    "gco": "http://www.isotc211.org/2005/gco",
    "xlink": "http://www.w3.org/1999/xlink",
}

_DATE = re.compile(r"(\d{4})-(\d{2})-(\d{2})(?:T|$)", re.ASCII)
PLACEHOLDERS = {"Platform Name", "instrument unknown",
                "instrument type unknown"}


class Failure(Exception):
    """The twin's failure: the original exception and the routine's line."""

    def __init__(self, line, error):
        super().__init__(line, error)
        self.line = line
        self.error = error


def _survey_date(text):
    if type(text) is str:
        match = _DATE.match(text.strip())
        if match:
            return "".join(match.groups())
    return text[:-9].replace("-", "")


def _step(line, function, *args):
    try:
        return function(*args)
    except Exception as error:
        raise Failure(line, error) from None


def extract_metadata(raster):
    metadata_xml = _step(14, lambda: raster.iso19139_xml)
    for prefix, uri in XML_NS.items():
        _step(16, ET.register_namespace, prefix, uri)
    root = _step(17, ET.fromstring, metadata_xml)
    texts = []
    for line, path in ((19, ".//gml:beginPosition"),
                       (20, ".//gml:endPosition"),
                       (21, ".//gmd:minimumValue/gco:Real"),
                       (22, ".//gmd:maximumValue/gco:Real")):
        texts.append(_step(line, lambda p=path: root.find(p, XML_NS).text))
    begin, end, min_depth, max_depth = texts
    val1 = -1.0 * _step(24, float, min_depth)
    val2 = -1.0 * _step(25, float, max_depth)
    drval1 = val2 if val2 < val1 else val1
    drval2 = val2 if val2 > val1 else val1
    if math.isnan(val1) or math.isnan(val2):
        drval1 = drval2 = math.nan
    sursta = _step(28, _survey_date, begin)
    surend = _step(29, _survey_date, end)
    platform_text = ""
    platforms = _step(33, root.findall,
                      ".//gmi:acquisitionInformation//gco:CharacterString",
                      XML_NS)
    for p in platforms:
        if p.text is not None and p.text not in PLACEHOLDERS:
            platform_text += p.text + ","
    planam = platform_text.strip(",") if platform_text else ""
    objnam_tag = root.find(".//gmd:CI_Citation//gco:CharacterString", XML_NS)
    objnam = "VACIO" if objnam_tag is None else objnam_tag.text
    objnam = objnam.replace(".csar", "") if objnam else "VACIO"
    return {"SURSTA": sursta, "SUREND": surend, "DRVAL1": drval1,
            "DRVAL2": drval2, "planam": planam, "OBJNAM": objnam}
