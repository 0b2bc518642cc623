"""TEMPORARY pure-Python stand-in for the extension module bathyra._survey.

bathyra.survey imports it only while bathyra._survey is not built (one
marked place in survey.py); delete this file, and that fallback, once the
extension exists.  It follows the extension's calling contract crudely,
over xml.etree.ElementTree, and looks nothing up in PROJ
(``proj_available()`` is False): an EPSG code alone tells it no axis
direction and no datum.

    parse(document, is_bag=False) -> dict | None
    DocumentError
    proj_available() -> bool
"""
import math
import re
import xml.etree.ElementTree as ET

GMD = "{http://www.isotc211.org/2005/gmd}"
GMI = "{http://www.isotc211.org/2005/gmi}"
GCO = "{http://www.isotc211.org/2005/gco}"
GMX = "{http://www.isotc211.org/2005/gmx}"
SRV = "{http://www.isotc211.org/2005/srv}"
BAG = "{http://www.opennavsurf.org/schema/bag}"
XLINK_HREF = "{http://www.w3.org/1999/xlink}href"
GML_NAMESPACES = ("http://www.opengis.net/gml/3.2", "http://www.opengis.net/gml")
SMXML = "http://metadata.dgiwg.org/smXML"
ISO19115_3 = "http://standards.iso.org/iso/19115/-3/"

PLACEHOLDERS = {"", "platform name", "instrument unknown",
                "instrument type unknown", "unknown"}
ROLE_PRIORITY = ("originator", "principalInvestigator", "owner", "custodian",
                 "pointOfContact")
# S-57 VERDAT codes by datum name and abbreviation.
VERDAT = {}
for _code, _names in enumerate((
        ("mean low water springs", "mlws"),
        ("mean lower low water springs", "mllws"),
        ("mean sea level", "msl"),
        ("lowest low water", "llw"),
        ("mean low water", "mlw"),
        ("lowest low water springs", "llws"),
        ("approximate mean low water springs", "amlws"),
        ("indian spring low water", "islw"),
        ("low water springs", "lws"),
        ("approximate lowest astronomical tide", "alat"),
        ("nearly lowest low water", "nllw"),
        ("mean lower low water", "mllw"),
        ("low water", "lw"),
        ("approximate mean low water", "amlw"),
        ("approximate mean lower low water", "amllw"),
        ("mean high water", "mhw"),
        ("mean high water springs", "mhws"),
        ("high water", "hw"),
        ("approximate mean sea level", "amsl"),
        ("high water springs", "hws"),
        ("mean higher high water", "mhhw"),
        ("equinoctial spring low water", "eslw"),
        ("lowest astronomical tide", "lat"),
        ("local datum",),
        ("international great lakes datum 1985", "igld 1985", "igld85"),
        ("mean water level", "mwl"),
        ("lower low water large tide", "llwlt"),
        ("higher high water large tide", "hhwlt"),
        ("nearly highest high water", "nhhw"),
        ("highest astronomical tide", "hat")), 1):
    for _name in _names:
        VERDAT[_name] = _code

EPSG_CODE = re.compile(
    r"EPSG(?:/[\d.]+/|:+(?:[\d.]*:)?|::?)(\d+)$|^(\d+)$", re.I)
WKT_NAME = re.compile(r'^\s*([A-Z_]+)\s*\[\s*"([^"]*)"')
WKT_DATUM = re.compile(r'(?:VERT_DATUM|VDATUM|VERTICALDATUM)\s*\[\s*"([^"]*)"')
VERTICAL_WKT = ("VERT_CS", "VERTCRS", "VERTICALCRS")
HORIZONTAL_WKT = ("PROJCS", "GEOGCS", "GEOCCS", "PROJCRS", "GEOGCRS",
                  "GEODCRS", "COMPD_CS", "COMPOUNDCRS")


class DocumentError(Exception):
    """The document is not well-formed XML or of another standard."""


def proj_available():
    return False


def parse(document, is_bag=False):
    if isinstance(document, str):
        data = document
        head = document[:512]
    else:
        data = bytes(document)
        head = data[:512].decode("latin-1")
        declared = re.match(r"\s*<\?xml[^>]*encoding=[\"']([^\"']+)", head)
        if declared and declared.group(1).lower().replace("_", "-") not in (
                "utf-8", "utf8", "us-ascii", "ascii", "iso-8859-1",
                "latin-1", "utf-16"):
            return None
    if "<!DOCTYPE" in (data if isinstance(data, str) else
                       data.decode("latin-1")):
        return None
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        raise DocumentError("not well-formed XML (%s)" % error) from None
    return _Reader(_metadata_root(root), is_bag).result


def _namespace(element):
    return element.tag[1:].split("}")[0] if element.tag[:1] == "{" else ""


def _metadata_root(root):
    if root.tag in (GMD + "MD_Metadata", GMI + "MI_Metadata"):
        return root
    namespace = _namespace(root)
    if namespace == SMXML:
        raise DocumentError("a legacy smXML document (namespace %s), not "
                            "ISO 19139" % SMXML)
    if namespace.startswith(ISO19115_3):
        return None
    for tag in (GMD + "MD_Metadata", GMI + "MI_Metadata"):
        found = root.find(".//" + tag)
        if found is not None:
            return found
    raise DocumentError("no ISO 19139 metadata in this document (its root "
                        "element is %s)" % root.tag)


def _text(element):
    """The text of a property: its gco:CharacterString, gmx:Anchor or
    other single value, or its own text."""
    if element is None:
        return ""
    for child in element:
        if child.text and child.text.strip():
            return child.text.strip()
    return (element.text or "").strip()


class _Reader:

    def __init__(self, md, is_bag):
        self.problems = []
        self.result = result = {
            "standard": "ISO 19139", "SURSTA": None, "SUREND": None,
            "DRVAL1": None, "DRVAL2": None, "vertical_crs": None,
            "vertical_datum": None, "VERDAT": None, "OBJNAM": None,
            "platforms": (), "instruments": (), "planam": None,
            "SURATH": None, "bbox": None, "horizontal_crs": None,
            "problems": ()}
        if md is None:
            result["standard"] = "ISO 19115-3"
            return
        self.is_bag = is_bag
        ident = self._identification(md)
        self._reference_systems(md)
        if ident is not None:
            self._dates(ident)
            self._depths(ident)
            self._object_name(ident)
            self._authority(ident)
            self._bbox(ident)
        result["platforms"] = self._names(md, GMI + "MI_Platform")
        result["instruments"] = self._names(md, GMI + "MI_Instrument")
        names = result["platforms"] or result["instruments"]
        result["planam"] = ", ".join(names) if names else None
        if result["vertical_datum"]:
            result["VERDAT"] = _verdat(result["vertical_datum"])
        if result["VERDAT"] is None and result["vertical_crs"]:
            result["VERDAT"] = _verdat(result["vertical_crs"])
        result["problems"] = tuple(self.problems)

    @staticmethod
    def _identification(md):
        for tag in (GMD + "MD_DataIdentification",
                    BAG + "BAG_DataIdentification",
                    SRV + "SV_ServiceIdentification"):
            found = md.find(GMD + "identificationInfo/" + tag)
            if found is not None:
                return found
        return None

    def _reference_systems(self, md):
        for info in md.iterfind(GMD + "referenceSystemInfo"):
            code = _text(info.find(".//" + GMD + "RS_Identifier/" + GMD
                                   + "code"))
            if not code:
                continue
            wkt = WKT_NAME.match(code)
            epsg = EPSG_CODE.search(code)
            if wkt and wkt.group(1) in VERTICAL_WKT:
                self._set("vertical_crs", _name(wkt.group(2)))
                datum = WKT_DATUM.search(code)
                if datum:
                    self._set("vertical_datum", _name(datum.group(1)))
            elif wkt and wkt.group(1) in HORIZONTAL_WKT:
                self._set("horizontal_crs", _name(wkt.group(2)))
            elif epsg:
                if ":datum:" not in code:
                    self._set("horizontal_crs",
                              "EPSG:" + (epsg.group(1) or epsg.group(2)))
            elif _verdat(code) is not None or re.search(
                    r"datum|height|depth|water", code, re.I):
                self._set("vertical_crs", code)
            else:
                self._set("horizontal_crs", code)

    def _set(self, key, value):
        if value and self.result[key] is None:
            self.result[key] = value

    def _dates(self, ident):
        starts, ends = [], []
        for extent in ident.iter(GMD + "extent"):
            for item in extent:
                namespace = _namespace(item)
                if namespace not in GML_NAMESPACES:
                    continue
                gml = "{%s}" % namespace
                if item.tag == gml + "TimePeriod":
                    starts.append(self._position(item, gml, "begin"))
                    ends.append(self._position(item, gml, "end"))
                elif item.tag == gml + "TimeInstant":
                    value = item.find(gml + "timePosition")
                    starts.append(self._date("SURSTA", value))
                    ends.append(self._date("SUREND", value))
        starts = [s for s in starts if s]
        ends = [e for e in ends if e]
        if starts:
            self.result["SURSTA"] = min(starts, key=lambda d: d.ljust(8, "0"))
        if ends:
            self.result["SUREND"] = max(ends, key=lambda d: d.ljust(8, "9"))

    def _position(self, period, gml, which):
        position = period.find(gml + which + "Position")
        if position is None:
            position = period.find("%s%s/%sTimeInstant/%stimePosition"
                                   % (gml, which, gml, gml))
        key = "SURSTA" if which == "begin" else "SUREND"
        return self._date(key, position)

    def _date(self, key, position):
        if position is None:
            return None
        text = (position.text or "").strip()
        mark = position.get("indeterminatePosition")
        if mark or text.lower() in ("now", "unknown", ""):
            self.problems.append((key, (
                "the survey period is open (%s): no %s date"
                % (mark or text or "empty",
                   "start" if key == "SURSTA" else "end"))))
            return None
        if text.startswith("-") or text.startswith("+"):
            self.problems.append((key, "the date %s lies before the year 1"
                                  % text))
            return None
        match = (re.match(r"(\d{4})(?:-(\d\d)(?:-(\d\d))?)?(?:T.*)?$", text)
                 or re.match(r"(\d{4})(\d\d)(\d\d)(?:T.*)?$", text))
        if not match:
            self.problems.append((key, "the date %r is no ISO 8601 date"
                                  % text))
            return None
        return "".join(part for part in match.groups() if part)

    def _depths(self, ident):
        for extent in ident.iter(GMD + "EX_VerticalExtent"):
            low = _text(extent.find(GMD + "minimumValue"))
            high = _text(extent.find(GMD + "maximumValue"))
            if low and high:
                break
        else:
            return
        try:
            values = [float(low), float(high)]
        except ValueError:
            self.problems.append(("DRVAL1", "the depth range %s to %s is no "
                                  "pair of numbers" % (low, high)))
            return
        if any(math.isnan(value) for value in values):
            self.problems.append(("DRVAL1", "the depth range holds a value "
                                  "that is not a number"))
            return
        direction = self._vertical_crs(extent.find(GMD + "verticalCRS"))
        if direction is None and self.is_bag:
            direction = "up"  # BAG files hold elevations
        if direction is None:
            direction = "up"
            self.problems.append((
                "DRVAL1", "vertical CRS unknown: depths taken from heights"))
        if direction == "up":
            values = [-value + 0.0 for value in values]
        self.result["DRVAL1"], self.result["DRVAL2"] = sorted(values)

    def _vertical_crs(self, crs):
        """The axis direction that the extent's own vertical CRS states, or
        None; records its name or code."""
        if crs is None:
            return None
        for item in crs:
            if _namespace(item) in GML_NAMESPACES and item.tag.endswith(
                    "}VerticalCRS"):
                gml = "{%s}" % _namespace(item)
                self.result["vertical_crs"] = (
                    _text(item.find(gml + "name"))
                    or _text(item.find(gml + "identifier"))
                    or self.result["vertical_crs"])
                for axis in item.iter(gml + "axisDirection"):
                    direction = (axis.text or "").strip().lower()
                    if direction in ("up", "down"):
                        return direction
                return None
        href = crs.get(XLINK_HREF) or ""
        epsg = EPSG_CODE.search(href)
        if epsg:
            self.result["vertical_crs"] = "EPSG:" + (epsg.group(1)
                                                     or epsg.group(2))
        return None

    def _object_name(self, ident):
        title = _text(ident.find(GMD + "citation/" + GMD + "CI_Citation/"
                                 + GMD + "title"))
        title = title.replace(".csar", "").strip()
        self.result["OBJNAM"] = title or None

    def _authority(self, ident):
        parties = (ident.findall(GMD + "citation/" + GMD + "CI_Citation/"
                                 + GMD + "citedResponsibleParty/" + GMD
                                 + "CI_ResponsibleParty")
                   + ident.findall(GMD + "pointOfContact/" + GMD
                                   + "CI_ResponsibleParty"))
        for role in ROLE_PRIORITY:
            for party in parties:
                code = party.find(GMD + "role/" + GMD + "CI_RoleCode")
                if code is None or (code.get("codeListValue")
                                    or (code.text or "").strip()) != role:
                    continue
                name = _text(party.find(GMD + "organisationName"))
                if name:
                    self.result["SURATH"] = name
                    return

    def _bbox(self, ident):
        box = ident.find(".//" + GMD + "EX_GeographicBoundingBox")
        if box is None:
            return
        try:
            values = tuple(float(_text(box.find(GMD + name))) for name in (
                "westBoundLongitude", "southBoundLatitude",
                "eastBoundLongitude", "northBoundLatitude"))
        except ValueError:
            self.problems.append(("bbox", "the bounding box holds a value "
                                  "that is not a number"))
            return
        if any(values):
            self.result["bbox"] = values

    @staticmethod
    def _names(md, tag):
        names = []
        for item in md.iter(tag):
            for field in ("identifier", "description", "type"):
                element = item.find(GMI + field)
                if element is None:
                    continue
                code = element.find(".//" + GMD + "code")
                name = _text(code if code is not None else element)
                if name.lower() not in PLACEHOLDERS:
                    if name not in names:
                        names.append(name)
                    break
        return tuple(names)


def _name(text):
    text = text.strip()
    return None if text.lower() in PLACEHOLDERS else text


def _verdat(name):
    key = re.sub(r"\s+(height|depth|datum)$", "", name.strip().lower())
    return VERDAT.get(key)
