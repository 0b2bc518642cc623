"""Speed and memory of the survey reader, measured against what it is held
to, in the same run:

  1. corpus documents (trailing NUL bytes removed): parse_survey(document)
     against extract_metadata on the same document, where that yields a
     record (target: at most 1.3x), and, where lxml imports, against
     lxml_survey_script below, a plain lxml program that reads the same
     survey fields by the same element rules (target: the script slower)
  2. BAG files: read_survey(path) against bathyra.bag.open(path) followed
     by extract_metadata, where that yields a record (target: at most
     1.2x); for the other files bag.open alone is shown
  3. generated documents of 2 KB to 20 MB (the generator of
     bench/benchmark.py): the survey pass, bathyra._survey.parse, against
     one bare pass of the host's expat parser (target: at most 1.15x), and
     its peak allocation as tracemalloc sees it (target: at most
     1 MiB + 5% of the document)

    python bench/survey_benchmark.py [--quick] [--corpus DIR] [--bags DIR]

Run it with the build tree on the path (./dev bench does), under any
supported interpreter; the lxml comparison needs lxml (Debian's python3
with python3-lxml).  Each time is the median of interleaved rounds; ratios
compare times of this run only.  The script reads no CRS database, so its
depths and reference systems differ from the reader's where a CRS code
decides them: the agreement line counts only title, dates and bounding box.
"""
import glob
import os
import re
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOCUMENT_TARGET = 1.3
BAG_TARGET = 1.2
PASS_TARGET = 1.15

sys.path.insert(0, HERE)
# The document generator, the bare pass and the peak measure of the
# extract_metadata benchmark; the interleaved medians of the BAG one.
from bag_isolation import corpus_options, median_times  # noqa: E402
from benchmark import (Raster, bare_pass, make_document,  # noqa: E402
                       peak_allocation)

import bathyra  # noqa: E402
from bathyra import _survey, bag  # noqa: E402
from bathyra.metadata_parser import extract_metadata  # noqa: E402

try:
    from lxml import etree
    LXML_MISSING = None
except ImportError as error:
    etree = None
    LXML_MISSING = str(error)

# ---------------------------------------------------------------------------
# The lxml script: the survey fields as a user would read them with lxml,
# element by element as the reader's rules name them, without a CRS
# database.  ISO 19139 documents (GML 3.2 or 3.1) and ISO 19115-3 ones.

NS_19139 = {
    "gmd": "http://www.isotc211.org/2005/gmd",
    "gmi": "http://www.isotc211.org/2005/gmi",
    "gco": "http://www.isotc211.org/2005/gco",
    "gmx": "http://www.isotc211.org/2005/gmx",
    "srv": "http://www.isotc211.org/2005/srv",
    "bag": "http://www.opennavsurf.org/schema/bag",
    "gml": "http://www.opengis.net/gml/3.2",
    "g31": "http://www.opengis.net/gml",
    "xlink": "http://www.w3.org/1999/xlink",
}
# ISO 19115-3 namespaces end in their version; a document's own versions
# are put in the map (see iso19115_3_namespaces).
ISO19115_3 = "http://standards.iso.org/iso/19115/-3/"
NS_19115_3 = dict(NS_19139, **{
    name: "%s%s/1.0" % (ISO19115_3, name)
    for name in ("mdb", "mri", "cit", "gex", "mcc", "mrs", "mac", "gco",
                 "gcx", "srv")})


def gml(path):
    """`path` in GML 3.2 or in GML 3.1."""
    return "%s | %s" % (path, path.replace("gml:", "g31:"))


def texts(path):
    return "%s/*[self::gco:CharacterString or self::gmx:Anchor]/text()" % path


def texts_3(path):
    return "%s/*[self::gco:CharacterString or self::gcx:Anchor]/text()" % path


PERIOD_PATHS = {
    "periods": gml(".//gml:TimePeriod"),
    "begin": gml("gml:beginPosition | gml:begin/gml:TimeInstant/"
                 "gml:timePosition"),
    "end": gml("gml:endPosition | gml:end/gml:TimeInstant/gml:timePosition"),
}
PATHS_19139 = dict(PERIOD_PATHS, **{
    "data": ".//gmd:MD_DataIdentification | .//bag:BAG_DataIdentification",
    "service": ".//srv:SV_ServiceIdentification",
    "title": texts("gmd:citation/gmd:CI_Citation/gmd:title"),
    "instants": gml(".//gmd:extent/gml:TimeInstant/gml:timePosition"),
    "vertical": ".//gmd:EX_VerticalExtent",
    "minimum": "gmd:minimumValue/gco:Real/text()",
    "maximum": "gmd:maximumValue/gco:Real/text()",
    "axis": gml("gmd:verticalCRS/gml:VerticalCRS/*/gml:VerticalCS/*/"
                "gml:CoordinateSystemAxis/gml:axisDirection/text()"),
    "boxes": ".//gmd:EX_GeographicBoundingBox",
    "west": "gmd:westBoundLongitude/gco:Decimal/text()",
    "east": "gmd:eastBoundLongitude/gco:Decimal/text()",
    "south": "gmd:southBoundLatitude/gco:Decimal/text()",
    "north": "gmd:northBoundLatitude/gco:Decimal/text()",
    "parties": "gmd:pointOfContact/gmd:CI_ResponsibleParty | gmd:citation/"
               "gmd:CI_Citation/gmd:citedResponsibleParty/"
               "gmd:CI_ResponsibleParty",
    "organisation": texts("gmd:organisationName"),
    "role": "gmd:role/gmd:CI_RoleCode/@codeListValue",
    "platforms": ".//gmi:MI_Platform",
    "platform_names": ["gmi:identifier/text()",
                       texts("gmi:identifier/*[self::gmd:MD_Identifier or "
                             "self::gmd:RS_Identifier]/gmd:code"),
                       texts("gmi:description")],
    "instruments": ".//gmi:MI_Instrument",
    "instrument_names": ["gmi:identifier/text()",
                         texts("gmi:identifier/*[self::gmd:MD_Identifier or "
                               "self::gmd:RS_Identifier]/gmd:code"),
                         texts("gmi:description"), texts("gmi:type")],
    "references": "gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/"
                  "gmd:referenceSystemIdentifier/gmd:RS_Identifier",
    "code": texts("gmd:code") + " | gmd:code/gmx:Anchor/@xlink:href",
    "code_space": texts("gmd:codeSpace"),
})
PATHS_19115_3 = dict(PERIOD_PATHS, **{
    "data": ".//mri:MD_DataIdentification",
    "service": ".//srv:SV_ServiceIdentification",
    "title": texts_3("mri:citation/cit:CI_Citation/cit:title"),
    "instants": gml(".//gex:extent/gml:TimeInstant/gml:timePosition"),
    "vertical": ".//gex:EX_VerticalExtent",
    "minimum": "gex:minimumValue/gco:Real/text()",
    "maximum": "gex:maximumValue/gco:Real/text()",
    "axis": gml("gex:verticalCRS/gml:VerticalCRS/*/gml:VerticalCS/*/"
                "gml:CoordinateSystemAxis/gml:axisDirection/text()"),
    "boxes": ".//gex:EX_GeographicBoundingBox",
    "west": "gex:westBoundLongitude/gco:Decimal/text()",
    "east": "gex:eastBoundLongitude/gco:Decimal/text()",
    "south": "gex:southBoundLatitude/gco:Decimal/text()",
    "north": "gex:northBoundLatitude/gco:Decimal/text()",
    "parties": "mri:pointOfContact/cit:CI_Responsibility | mri:citation/"
               "cit:CI_Citation/cit:citedResponsibleParty/"
               "cit:CI_Responsibility",
    "organisation": texts_3("cit:party/cit:CI_Organisation/cit:name"),
    "role": "cit:role/cit:CI_RoleCode/@codeListValue",
    "platforms": ".//mac:MI_Platform",
    "platform_names": [texts_3("mac:identifier/mcc:MD_Identifier/mcc:code"),
                       texts_3("mac:description")],
    "instruments": ".//mac:MI_Instrument",
    "instrument_names": [
        texts_3("mac:identifier/mcc:MD_Identifier/mcc:code"),
        texts_3("mac:description"), texts_3("mac:type")],
    "references": "mdb:referenceSystemInfo/mrs:MD_ReferenceSystem/"
                  "mrs:referenceSystemIdentifier/mcc:MD_Identifier",
    "code": texts_3("mcc:code") + " | mcc:code/gcx:Anchor/@xlink:href",
    "code_space": texts_3("mcc:codeSpace"),
})

RECORD_TAGS = ("{%s}MD_Metadata" % NS_19139["gmd"],
               "{%s}MI_Metadata" % NS_19139["gmi"])
PLACEHOLDERS = {"", "platform name", "instrument unknown",
                "instrument type unknown", "unknown"}
ROLES = ("originator", "principalinvestigator", "owner", "custodian",
         "pointofcontact")
DATE = re.compile(r"\s*(\d{4})(?:-?(\d{2})(?:-?(\d{2}))?)?(?![\d])")
EPSG = re.compile(r"EPSG[:/#]+(?:[\d.]*[:/#]+)?0*(\d+)\s*$", re.I)
WKT = re.compile(r'\s*[A-Za-z_]+\[\s*"([^"]*)"')

_compiled = {}


def compiled(paths, namespaces):
    """The XPath objects of a rule table for one namespace map, compiled
    once."""
    key = (id(paths), tuple(sorted(namespaces.items())))
    if key not in _compiled:
        _compiled[key] = {
            name: ([etree.XPath(p, namespaces=namespaces, smart_strings=False)
                    for p in path] if isinstance(path, list) else
                   etree.XPath(path, namespaces=namespaces,
                               smart_strings=False))
            for name, path in paths.items()}
    return _compiled[key]


def iso19115_3_namespaces(record):
    """The namespace map with the ISO 19115-3 versions the record uses."""
    namespaces = dict(NS_19115_3)
    for uri in record.nsmap.values():
        if uri.startswith(ISO19115_3):
            name = uri[len(ISO19115_3):].split("/")[0]
            if name in namespaces:
                namespaces[name] = uri
    return namespaces


def first_text(values):
    for value in values:
        value = value.strip()
        if value:
            return value
    return None


def survey_date(text):
    """'YYYYMMDD', 'YYYYMM' or 'YYYY' from a position, or None."""
    match = DATE.match(text or "")
    return "".join(part for part in match.groups() if part) if match else None


def number(values):
    try:
        return float(values[0])
    except (IndexError, ValueError):
        return None


def lxml_survey_script(document):
    """The survey fields of a document, as a dict; None when the document
    holds no ISO 19139 or ISO 19115-3 metadata record."""
    root = etree.fromstring(document)
    record = None
    for element in root.iter("{*}MD_Metadata", "{*}MI_Metadata"):
        if element.tag in RECORD_TAGS:
            x = compiled(PATHS_19139, NS_19139)
        elif element.tag.startswith("{" + ISO19115_3 + "mdb/"):
            x = compiled(PATHS_19115_3, iso19115_3_namespaces(element))
        else:
            continue
        record = element
        break
    if record is None:
        return None
    # The data identifications; the service identification without one.
    idents = x["data"](record) or x["service"](record)
    fields = {"OBJNAM": None, "SURSTA": None, "SUREND": None,
              "DRVAL1": None, "DRVAL2": None, "SURATH": None, "bbox": None}

    for ident in idents:
        title = first_text(x["title"](ident))
        if title and title.replace(".csar", "").strip():
            fields["OBJNAM"] = title.replace(".csar", "").strip()
            break

    # The earliest start and the latest end of every period and instant;
    # an open end (indeterminatePosition) leaves that end open.
    starts, ends = [], []
    start_open = end_open = False
    for ident in idents:
        for period in x["periods"](ident):
            for key, found in (("begin", starts), ("end", ends)):
                positions = x[key](period)
                if not positions:
                    continue
                if positions[0].get("indeterminatePosition", "").strip():
                    if key == "begin":
                        start_open = True
                    else:
                        end_open = True
                    continue
                date = survey_date(positions[0].text)
                if date:
                    found.append(date)
        for instant in x["instants"](ident):
            if instant.get("indeterminatePosition", "").strip():
                start_open = end_open = True
                continue
            date = survey_date(instant.text)
            if date:
                starts.append(date)
                ends.append(date)
    if starts and not start_open:
        fields["SURSTA"] = min(starts, key=lambda d: d.ljust(8, "0"))
    if ends and not end_open:
        fields["SUREND"] = max(ends, key=lambda d: d.ljust(8, "9"))

    # The first vertical extent with both values; heights unless its CRS
    # says its axis points down.
    for ident in idents:
        for extent in x["vertical"](ident):
            low = number(x["minimum"](extent))
            high = number(x["maximum"](extent))
            if low is None or high is None:
                continue
            if low == low and high == high:  # no NaN
                if (first_text(x["axis"](extent)) or "").lower() != "down":
                    low, high = -low, -high
                fields["DRVAL1"] = min(low, high) + 0.0
                fields["DRVAL2"] = max(low, high) + 0.0
            break
        else:
            continue
        break

    # The survey authority: the organisation of the first party in the
    # most wanted role.
    parties = []
    for ident in idents:
        for party in x["parties"](ident):
            role = (first_text(x["role"](party)) or "").lower()
            name = first_text(x["organisation"](party))
            if name and role in ROLES:
                parties.append((ROLES.index(role), name))
    if parties:
        fields["SURATH"] = min(parties, key=lambda p: p[0])[1]

    for ident in idents:
        for box in x["boxes"](ident):
            values = [number(x[side](box))
                      for side in ("west", "south", "east", "north")]
            if None in values or any(v != v for v in values):
                continue
            if any(values):
                fields["bbox"] = tuple(v + 0.0 for v in values)
            break
        else:
            continue
        break

    # Platforms and instruments: each by its first name that is not a
    # placeholder; planam from the platforms, else the instruments.
    for kind in ("platforms", "instruments"):
        names = []
        for item in x[kind](record):
            for path in x[kind[:-1] + "_names"]:
                name = first_text(path(item))
                if name and name.lower() not in PLACEHOLDERS:
                    if name not in names:
                        names.append(name)
                    break
        fields[kind] = tuple(names)
    fields["planam"] = ", ".join(fields["platforms"] or
                                 fields["instruments"]) or None

    # Reference-system codes: EPSG codes as "EPSG:n", a WKT text by its
    # name, others as written.
    codes = []
    for reference in x["references"](record):
        code = first_text(x["code"](reference))
        if not code or code.lower() in PLACEHOLDERS:
            continue
        space = first_text(x["code_space"](reference)) or ""
        match = EPSG.search(code)
        if match:
            code = "EPSG:" + match.group(1)
        elif code.isdigit() and "epsg" in space.lower():
            code = "EPSG:" + code.lstrip("0")
        elif WKT.match(code):
            code = WKT.match(code).group(1)
        codes.append(code)
    fields["reference_codes"] = tuple(codes)
    fields["horizontal_crs"] = codes[0] if codes else None
    return fields


# ---------------------------------------------------------------------------

AGREEMENT = ("OBJNAM", "SURSTA", "SUREND", "bbox")


def outcome(function, argument):
    """(result, None) or (None, "ErrorType: message")."""
    try:
        return function(argument), None
    except Exception as error:
        return None, "%s: %s" % (type(error).__name__, str(error)[:50])


def tolerant(function, argument):
    """Calls function(argument), taking a refusal as its outcome."""
    try:
        function(argument)
    except Exception:
        pass


def verdict(ok):
    return "PASS" if ok else "FALLS SHORT"


def spread(ratios):
    if not ratios:
        return "no case"
    return "median %.2fx, %.2f-%.2fx over %d" % (
        statistics.median(ratios), min(ratios), max(ratios), len(ratios))


def corpus_documents(paths, slice_seconds, rounds):
    print("== 1. Corpus documents: time from bytes to fields, median of %d "
          "interleaved rounds" % rounds)
    if etree is None:
        print("lxml script: not available (%s)" % LXML_MISSING)
    print("%-40s %7s %9s %9s %6s %-11s %9s %6s %-11s %s"
          % ("document", "bytes", "survey", "extract", "s/e",
             "<=%.1fx" % DOCUMENT_TARGET, "lxml", "l/s", "l/s > 1",
             "notes"))
    print("%-40s %7s %9s %9s" % ("", "", "us", "us"))
    rows = []
    for path in paths:
        with open(path, "rb") as stream:
            document = stream.read().rstrip(b"\0")
        raster = Raster(document)
        row = {"name": os.path.basename(path)}
        row["survey"], row["refused"] = outcome(bathyra.parse_survey,
                                                document)
        # A refusal is timed as the outcome it is.
        functions = [(lambda: tolerant(bathyra.parse_survey, document))
                     if row["refused"] else
                     (lambda: bathyra.parse_survey(document))]
        record, failure = outcome(extract_metadata, raster)
        if record is not None:
            functions.append(lambda: extract_metadata(raster))
        if etree is not None:
            row["script"], row["script_failure"] = outcome(
                lxml_survey_script, document)
            functions.append(
                (lambda: tolerant(lxml_survey_script, document))
                if row["script_failure"] else
                (lambda: lxml_survey_script(document)))
        times = median_times(functions, slice_seconds, rounds)
        row["t_survey"] = times.pop(0)
        if record is not None:
            row["t_extract"] = times.pop(0)
        if etree is not None:
            row["t_script"] = times.pop(0)
        notes = []
        if row["refused"]:
            notes.append("parse_survey refuses: " + row["refused"])
        if failure:
            notes.append("extract_metadata: " + failure.split(":")[0])
        if row.get("script_failure"):
            notes.append("script: " + row["script_failure"])
        elif etree is not None and row["script"] is None:
            notes.append("script: no record")
        print_document_row(row, len(document), notes)
        rows.append(row)
    return rows


def print_document_row(row, size, notes):
    survey = row["t_survey"]
    extract = row.get("t_extract")
    script = row.get("t_script")
    line = "%-40s %7d %9.1f " % (row["name"][:40], size, survey * 1e6)
    if extract:
        ratio = survey / extract
        line += "%9.1f %6.2f %-11s " % (extract * 1e6, ratio,
                                       verdict(ratio <= DOCUMENT_TARGET))
    else:
        line += "%9s %6s %-11s " % ("-", "", "")
    if script:
        ratio = script / survey
        line += "%9.1f %6.2f %-11s " % (script * 1e6, ratio,
                                       verdict(ratio > 1))
    else:
        line += "%9s %6s %-11s " % ("-", "", "")
    print(line + "; ".join(notes))


def summarise_documents(rows):
    extracted = [r for r in rows if "t_extract" in r]
    ratios = [r["t_survey"] / r["t_extract"] for r in extracted]
    short = [r["name"] for r, q in zip(extracted, ratios)
             if q > DOCUMENT_TARGET]
    print("target parse_survey <= %.1fx extract_metadata (the %d of %d "
          "documents it reads): %s (%s)"
          % (DOCUMENT_TARGET, len(extracted), len(rows),
             "PASS on every one" if not short else
             "FALLS SHORT on %s" % ", ".join(short), spread(ratios)))
    scripted = [r for r in rows if "t_script" in r]
    if not scripted:
        print("target lxml script slower than parse_survey: not measured "
              "(no lxml under this interpreter)")
        return
    # The target holds where there are survey fields to read: documents
    # that parse_survey refuses (another standard, not well-formed) are
    # shown apart.
    read = [r for r in scripted if not r["refused"]]
    ratios = [r["t_script"] / r["t_survey"] for r in read]
    short = [r["name"] for r, q in zip(read, ratios) if q <= 1]
    refused = [r["t_script"] / r["t_survey"] for r in scripted
               if r["refused"]]
    print("target lxml script slower than parse_survey (the %d of %d "
          "documents it reads): %s (script/parse_survey %s)%s"
          % (len(read), len(scripted), "PASS on every one" if not short else
             "FALLS SHORT on %s" % ", ".join(short), spread(ratios),
             "; on the %d it refuses: %s" % (len(refused), spread(refused))
             if refused else ""))
    both = [r for r in scripted if r["survey"] is not None and r["script"]]
    same = {name: 0 for name in AGREEMENT}
    differing = []
    for r in both:
        names = [name for name in AGREEMENT
                 if getattr(r["survey"], name) != r["script"][name]]
        for name in AGREEMENT:
            same[name] += name not in names
        if names:
            differing.append("%s (%s)" % (r["name"], ", ".join(names)))
    print("check: of the %d documents both read, the script gives the "
          "reader's %s; all four on %d%s"
          % (len(both), ", ".join("%s on %d" % (name, same[name])
                                  for name in AGREEMENT),
             len(both) - len(differing),
             "; differs on " + "; ".join(differing) if differing else ""))


# ---------------------------------------------------------------------------

def bag_files(paths, slice_seconds, rounds):
    print("== 2. BAG files: time from the path to fields, median of %d "
          "interleaved rounds (bag.open in its helper process)" % rounds)
    if not bag.available():
        print("skipped: this build of bathyra has no BAG support")
        return
    print("%-28s %9s %13s %12s %6s %s"
          % ("file", "survey us", "open+extract", "open alone", "ratio",
             "read_survey <= %.1fx bag.open + extract_metadata"
             % BAG_TARGET))
    ratios, short, others = [], [], []
    for path in paths:
        name = os.path.basename(path)
        read = bag.open(path)
        record, failure = outcome(extract_metadata, read)
        functions = [lambda: bathyra.read_survey(path),
                     lambda: bag.open(path)]
        if record is not None:
            functions.append(lambda: extract_metadata(bag.open(path)))
        times = median_times(functions, slice_seconds, rounds)
        survey, opened = times[:2]
        if record is not None:
            both = times[2]
            ratio = survey / both
            ratios.append(ratio)
            if ratio > BAG_TARGET:
                short.append(name)
            print("%-28s %9.1f %13.1f %12.1f %6.2f %s"
                  % (name[:28], survey * 1e6, both * 1e6, opened * 1e6,
                     ratio, verdict(ratio <= BAG_TARGET)))
        else:
            others.append(survey / opened)
            print("%-28s %9.1f %13s %12.1f %6.2f (to bag.open alone: "
                  "extract_metadata gives no record, %s)"
                  % (name[:28], survey * 1e6, "-", opened * 1e6,
                     survey / opened, failure.split(":")[0]))
    print("target read_survey <= %.1fx bag.open + extract_metadata (%d of "
          "%d files): %s (%s)%s"
          % (BAG_TARGET, len(ratios), len(paths),
             "not measured" if not ratios else "PASS on every one"
             if not short else "FALLS SHORT on " + ", ".join(short),
             spread(ratios),
             "; to bag.open alone on the others: %s" % spread(others)
             if others else ""))


# ---------------------------------------------------------------------------

def generated_documents(sizes, slice_seconds, rounds):
    print("== 3. Generated documents: the survey pass (_survey.parse) "
          "against a bare expat pass, median of %d interleaved rounds; "
          "peak allocation by tracemalloc" % rounds)
    print("%-12s %9s %11s %11s %6s %-11s %9s %9s %s"
          % ("document", "bytes", "survey us", "bare us", "ratio",
             "<=%.2fx" % PASS_TARGET, "peak", "allowed",
             "peak <= 1 MiB + 5%"))
    slow, heavy = [], []
    ratios = []
    for size in sizes:
        document = make_document(size)
        survey, bare = median_times(
            [lambda: _survey.parse(document), lambda: bare_pass(document)],
            slice_seconds, rounds)
        peak = peak_allocation(_survey.parse, document)
        allowed = (1 << 20) + 0.05 * len(document)
        ratio = survey / bare
        ratios.append(ratio)
        label = "%s KB" % (size // 1000) if size < 1_000_000 else \
            "%s MB" % (size // 1_000_000)
        if ratio > PASS_TARGET:
            slow.append(label)
        if peak > allowed:
            heavy.append(label)
        print("%-12s %9d %11.1f %11.1f %6.2f %-11s %9d %9d %s"
              % (label, len(document), survey * 1e6, bare * 1e6, ratio,
                 verdict(ratio <= PASS_TARGET), peak, allowed,
                 verdict(peak <= allowed)))
    print("target survey pass <= %.2fx bare expat pass (%d sizes): %s (%s)"
          % (PASS_TARGET, len(sizes), "PASS at every size" if not slow else
             "FALLS SHORT at " + ", ".join(slow), spread(ratios)))
    print("target peak allocation <= 1 MiB + 5%% of the document: %s"
          % ("PASS at every size" if not heavy else
             "FALLS SHORT at " + ", ".join(heavy)))


def main(argv=None):
    options, slice_seconds, rounds = corpus_options(
        argv, __doc__.split("\n")[0], "shorter and fewer rounds, no 20 MB document")
    versions = ["CPython %s" % sys.version.split()[0],
                "bathyra %s" % getattr(bathyra, "__version__", "?"),
                "PROJ %s" % ("available" if _survey.proj_available()
                             else "not available")]
    if etree is not None:
        versions.append("lxml %s" % ".".join(map(str, etree.LXML_VERSION)))
    print("== Survey reader: %s; %s" % (", ".join(versions),
                                        time.strftime("%Y-%m-%d")))
    documents = sorted(glob.glob(os.path.join(options.corpus, "*.xml")))
    if documents:
        summarise_documents(corpus_documents(documents, slice_seconds,
                                             rounds))
    else:
        print("== 1. Corpus documents: skipped, no documents in %s"
              % options.corpus)
    print()
    bags = sorted(glob.glob(os.path.join(options.bags, "*.bag")))
    if bags:
        bag_files(bags, slice_seconds, rounds)
    else:
        print("== 2. BAG files: skipped, no BAG files in %s" % options.bags)
    print()
    sizes = [2_000, 20_000, 200_000, 2_000_000]
    if not options.quick:
        sizes.append(20_000_000)
    generated_documents(sizes, slice_seconds, rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
