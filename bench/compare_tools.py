"""bathyra against the tools a user would pick instead: an lxml script,
OWSLib, h5py and GDAL, timed in one run with interleaved rounds.

    /usr/bin/python3 bench/compare_tools.py [--quick] [--corpus DIR]
        [--bags DIR]

Run it with bathyra built for that interpreter on the path (./dev bench
builds it for Debian's python3 in build-debian-<version>, where Debian
packages python3-lxml, python3-owslib, python3-gdal and python3-h5py).  A
tool that cannot be imported is reported as not available.

Documents (the corpus and the project's examples/*.xml, trailing NUL bytes
removed as a BAG reader does), time per document from bytes to fields:
  bathyra      extract_metadata
  lxml script  lxml.etree.fromstring, then XPath with the namespace map
               (lxml_script below: the same six fields, as a user writes it)
  OWSLib       owslib.iso.MD_Metadata(lxml.etree.fromstring(document))
BAG files, time per file from path to fields (and to the document alone):
  bathyra      bathyra.bag.open (helper process, the default; and
               isolated=False, in this process), then extract_metadata
  h5py         h5py.File(path)["BAG_root/metadata"][()], then the script
  GDAL         the BAG driver's "xml:BAG" metadata domain, then the script
Each time is the median of the rounds; ratios are to bathyra's time in the
same run.  "Fields" counts the six record fields for which a tool gives a
value taken from the document (an empty name, "VACIO" or a missing date or
depth is none); for OWSLib, a field counts when the text of its element is
held in the parsed object at an attribute whose name means that field.
"""
import glob
import os
import re
import statistics
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FIELDS = ("SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM")

sys.path.insert(0, HERE)
from bag_isolation import corpus_options, median_times  # noqa: E402


def optional_import(name):
    """The module, or the reason why it cannot be imported."""
    try:
        return __import__(name, fromlist=["_"]), None
    except Exception as error:  # ImportError, or a broken installation
        return None, "%s: %s" % (type(error).__name__, error)


# OWSLib announces changes of its object model at every parse.
warnings.filterwarnings("ignore", category=FutureWarning,
                        module=r"owslib\.")
etree, LXML_MISSING = optional_import("lxml.etree")
owslib_iso, OWSLIB_MISSING = optional_import("owslib.iso")
h5py, H5PY_MISSING = optional_import("h5py")
gdal, GDAL_MISSING = optional_import("osgeo.gdal")

# ---------------------------------------------------------------------------
# The lxml script: what a user writes to get the six fields with lxml.

NS = {
    "gmi": "http://www.isotc211.org/2005/gmi",
    "gmd": "http://www.isotc211.org/2005/gmd",
    "gco": "http://www.isotc211.org/2005/gco",
    "gml": "http://www.opengis.net/gml/3.2",
}
PLACEHOLDERS = {"Platform Name", "instrument unknown",
                "instrument type unknown"}
DATE = re.compile(r"(\d{4})-(\d{2})-(\d{2})")

if etree is not None:
    BEGIN = etree.XPath("(//gml:beginPosition)[1]/text()", namespaces=NS)
    END = etree.XPath("(//gml:endPosition)[1]/text()", namespaces=NS)
    MINIMUM = etree.XPath("(//gmd:minimumValue/gco:Real)[1]/text()",
                          namespaces=NS)
    MAXIMUM = etree.XPath("(//gmd:maximumValue/gco:Real)[1]/text()",
                          namespaces=NS)
    PLATFORMS = etree.XPath(
        "//gmi:acquisitionInformation//gco:CharacterString/text()",
        namespaces=NS)
    CITATION = etree.XPath("(//gmd:CI_Citation//gco:CharacterString)[1]"
                           "/text()", namespaces=NS)


def first(texts):
    return texts[0] if texts else None


def document_texts(document):
    """The texts of the elements that the fields come from (None where the
    element is missing or empty); platform names as a list."""
    root = etree.fromstring(document)
    names = [name for name in PLATFORMS(root) if name not in PLACEHOLDERS]
    return {"begin": first(BEGIN(root)), "end": first(END(root)),
            "minimum": first(MINIMUM(root)), "maximum": first(MAXIMUM(root)),
            "platforms": names, "citation": first(CITATION(root))}


def to_date(text):
    """YYYYMMDD from a position that starts with a calendar date."""
    match = DATE.match(text.strip()) if text else None
    return "".join(match.groups()) if match else None


def lxml_script(document):
    texts = document_texts(document)
    depths = None
    if texts["minimum"] is not None and texts["maximum"] is not None:
        depths = sorted([-float(texts["minimum"]), -float(texts["maximum"])])
    citation = (texts["citation"] or "").replace(".csar", "")
    return {"SURSTA": to_date(texts["begin"]),
            "SUREND": to_date(texts["end"]),
            "DRVAL1": depths[0] if depths else None,
            "DRVAL2": depths[1] if depths else None,
            "planam": ",".join(texts["platforms"]),
            "OBJNAM": citation or "VACIO"}


# ---------------------------------------------------------------------------
# Fields found.

def record_fields(record):
    """The fields of a record (bathyra's or the script's) that hold a value
    from the document."""
    return [name for name in FIELDS
            if record.get(name) not in (None, "", "VACIO")]


def object_strings(obj, path="md", found=None, seen=None):
    """{stripped string: [attribute paths]} of every string held in an
    OWSLib object and in the OWSLib objects, lists and dicts below it."""
    found = {} if found is None else found
    seen = set() if seen is None else seen
    if isinstance(obj, str):
        found.setdefault(obj.strip(), []).append(
            re.sub(r"\[\d+\]", "[]", path))
    elif id(obj) in seen:
        pass
    elif isinstance(obj, (list, tuple)):
        seen.add(id(obj))
        for i, item in enumerate(obj):
            object_strings(item, "%s[%d]" % (path, i), found, seen)
    elif isinstance(obj, dict):
        seen.add(id(obj))
        for key, item in obj.items():
            object_strings(item, "%s[%r]" % (path, key), found, seen)
    elif type(obj).__module__.startswith("owslib"):
        seen.add(id(obj))
        for key, item in vars(obj).items():
            object_strings(item, "%s.%s" % (path, key), found, seen)
    return found


# Where in an object a text stands for a field: its attribute path names
# what the field means (a survey start held as the metadata's date stamp,
# equal by chance, does not count).
FIELD_PLACES = {
    "SURSTA": re.compile(r"temporal|begin|start", re.I),
    "SUREND": re.compile(r"temporal|end", re.I),
    "DRVAL1": re.compile(r"vertical|depth|min", re.I),
    "DRVAL2": re.compile(r"vertical|depth|max", re.I),
    "planam": re.compile(r"platform|instrument|acquisition", re.I),
    "OBJNAM": re.compile(r"title|citation", re.I),
}


def owslib_fields(metadata, texts):
    """{field: where in the object} for the fields whose element text the
    parsed OWSLib object holds in a place that means that field."""
    strings = object_strings(metadata)

    def where(field, text):
        if not text or not text.strip():
            return None
        places = [place for place in strings.get(text.strip(), ())
                  if FIELD_PLACES[field].search(place)]
        return places[0] if places else None

    places = {"SURSTA": where("SURSTA", texts["begin"]),
              "SUREND": where("SUREND", texts["end"]),
              "DRVAL1": where("DRVAL1", texts["minimum"]),
              "DRVAL2": where("DRVAL2", texts["maximum"]),
              "OBJNAM": where("OBJNAM", texts["citation"])}
    platforms = [where("planam", name) for name in texts["platforms"]]
    places["planam"] = (platforms[0] if platforms and all(platforms)
                        else None)
    return {name: place for name, place in places.items() if place}


# ---------------------------------------------------------------------------

def failure_step(error):
    """"AttributeError at find_begin_position" for a failure of
    extract_metadata."""
    from bathyra._traceback_lines import Line
    text = type(error).__name__
    tb = error.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    if tb is not None and tb.tb_frame.f_code.co_filename == \
            "bathyra/metadata_parser":
        try:
            text += " at " + Line(tb.tb_lineno).name
        except ValueError:
            pass
    return text


def try_call(function, *args):
    """(result, None) or (None, failure text)."""
    try:
        return function(*args), None
    except Exception as error:
        return None, "%s: %s" % (type(error).__name__, str(error)[:60])


def ratio_text(time, reference):
    return "%6.2f" % (time / reference) if reference else "     -"


def spread(ratios):
    """"2.41x (1.90-3.10x)": the median ratio and its range."""
    if not ratios:
        return "no comparable case"
    if len(ratios) == 1:
        return "%.2fx (1 case)" % ratios[0]
    return "%.2fx (%.2f-%.2fx over %d)" % (
        statistics.median(ratios), min(ratios), max(ratios), len(ratios))


# ---------------------------------------------------------------------------
# Documents.

def compare_documents(paths, slice_seconds, rounds):
    from bathyra.document import read_document
    from bathyra.metadata_parser import extract_metadata
    print("== Documents: time per document from bytes to the six fields, "
          "median of %d rounds" % rounds)
    for name, missing in (("lxml", LXML_MISSING),
                          ("OWSLib", OWSLIB_MISSING)):
        if missing:
            print("%s: not available (%s)" % (name, missing))
    print("%-42s %7s %9s %9s %6s %9s %6s %s"
          % ("document", "bytes", "bathyra", "lxml", "ratio", "OWSLib",
             "ratio", "fields b/l/o"))
    print("%-42s %7s %9s %9s %6s %9s %6s %s"
          % ("", "", "us", "us", "", "us", "", "(of 6: bathyra/lxml/OWSLib)"))
    rows = []
    for path in paths:
        raster = read_document(path)
        document = raster.iso19139_xml
        row = {"name": os.path.basename(path)}
        functions = []
        try:
            row["record"] = extract_metadata(raster)
            functions.append(("bathyra",
                              lambda: extract_metadata(raster)))
        except Exception as error:
            row["bathyra_failure"] = failure_step(error)
        if etree is not None:
            row["script"], row["script_failure"] = try_call(lxml_script,
                                                            document)
            texts, _ = try_call(document_texts, document)
            if row["script"] is not None:
                functions.append(("lxml", lambda: lxml_script(document)))
            if owslib_iso is not None:
                parse = lambda: owslib_iso.MD_Metadata(  # noqa: E731
                    etree.fromstring(document))
                metadata, row["owslib_failure"] = try_call(parse)
                if metadata is not None:
                    row["owslib_fields"] = owslib_fields(metadata, texts)
                    functions.append(("OWSLib", parse))
        times = median_times([f for _, f in functions], slice_seconds,
                             rounds) if functions else []
        row.update(zip((n for n, _ in functions), times))
        rows.append(row)
        print_document_row(row, len(document))
    return rows


def print_document_row(row, size):
    bathyra = row.get("bathyra")
    counts = [str(len(record_fields(row["record"]))) if "record" in row
              else "-",
              str(len(record_fields(row["script"])))
              if row.get("script") else "-",
              str(len(row["owslib_fields"])) if "owslib_fields" in row
              else "-"]

    def cell(name):
        if name not in row:
            return "%9s %6s" % ("-", "")
        return "%9.1f %s" % (row[name] * 1e6, ratio_text(row[name], bathyra))

    line = "%-42s %7d %9s %s %s %s" % (
        row["name"][:42], size,
        "%.1f" % (bathyra * 1e6) if bathyra else "fails",
        cell("lxml"), cell("OWSLib"), "/".join(counts))
    notes = [("bathyra", row.get("bathyra_failure")),
             ("lxml script", row.get("script_failure")),
             ("OWSLib", row.get("owslib_failure"))]
    line += "".join("  [%s: %s]" % (who, what) for who, what in notes
                    if what)
    print(line)


def same_record(record, script):
    """The fields where the script's record differs from bathyra's, with
    the script's missing values taken as bathyra's empty ones."""
    differing = []
    for name in FIELDS:
        mine = script[name]
        if mine is None and name in ("SURSTA", "SUREND"):
            mine = ""
        if mine != record[name]:
            differing.append(name)
    return differing


def summarise_documents(rows):
    print()
    both = [r for r in rows if "bathyra" in r]
    print("%-13s %9s %12s %12s  %-36s %s"
          % ("tool", "documents", "median us", "median us", "ratio to "
             "bathyra, median (range)", "fields found"))
    print("%-13s %9s %12s %12s  %-36s %s"
          % ("", "timed", "bathyra's %d" % len(both), "all timed", "",
             "(all documents)"))
    summary = [("bathyra", "bathyra", lambda r: r.get("record")
                and len(record_fields(r["record"]))),
               ("lxml script", "lxml", lambda r: r.get("script")
                and len(record_fields(r["script"]))),
               ("OWSLib", "OWSLib", lambda r: len(r["owslib_fields"])
                if "owslib_fields" in r else 0)]
    found = {}
    for label, key, count in summary:
        timed = [r[key] for r in rows if key in r]
        found[key] = sum(count(r) or 0 for r in rows)
        if not timed:
            print("%-13s not available" % label)
            continue
        common = [r[key] for r in both if key in r]
        ratios = [r[key] / r["bathyra"] for r in both if key in r]
        print("%-13s %9d %12s %12.1f  %-36s %d of %d"
              % (label, len(timed),
                 "%.1f" % (statistics.median(common) * 1e6) if common
                 else "-",
                 statistics.median(timed) * 1e6,
                 spread(ratios) if key != "bathyra" else "1",
                 found[key], 6 * len(rows)))
    print()
    steps = {}
    for r in rows:
        if "bathyra_failure" in r:
            step = r["bathyra_failure"]
            steps[step] = steps.get(step, 0) + 1
    print("Summary, documents (%d; bathyra reads %d and fails on %d: %s):"
          % (len(rows), len(both), len(rows) - len(both),
             ", ".join("%d %s" % (n, step) for step, n in
                       sorted(steps.items(), key=lambda i: -i[1]))))
    scripted = [r for r in both if r.get("script")]
    if scripted:
        agree = [r for r in scripted
                 if not same_record(r["record"], r["script"])]
        differ = ["%s (%s)" % (r["name"], ", ".join(
            same_record(r["record"], r["script"])))
            for r in scripted if r not in agree]
        print("- lxml script: %s bathyra's time on the documents bathyra "
              "reads; same record on %d of %d%s.  Over all documents it "
              "finds %d fields to bathyra's %d: it keeps what it finds where "
              "bathyra gives no record for a document without a GML 3.2 "
              "period or a depth range."
              % (spread([r["lxml"] / r["bathyra"] for r in scripted]),
                 len(agree), len(scripted),
                 "; differs on " + "; ".join(differ) if differ else "",
                 found["lxml"], found["bathyra"]))
    parsed = [r for r in rows if "owslib_fields" in r]
    if parsed:
        yielded = {}
        for r in parsed:
            for name, place in r["owslib_fields"].items():
                yielded.setdefault(name, set()).add(place)
        never = [name for name in FIELDS if name not in yielded]
        print("- OWSLib: %s bathyra's time on the documents bathyra reads, "
              "for a full object model of the metadata; of the six fields "
              "it holds %s; it never holds %s."
              % (spread([r["OWSLib"] / r["bathyra"] for r in both
                         if "OWSLib" in r]),
                 "; ".join("%s (in %s, %d documents)"
                           % (name, " or ".join(sorted(yielded[name])),
                              sum(name in r["owslib_fields"]
                                  for r in parsed))
                           for name in FIELDS if name in yielded) or
                 "none",
                 ", ".join(never) or "nothing missing"))


# ---------------------------------------------------------------------------
# BAG files.

def h5py_read(path):
    with h5py.File(path, "r") as bag_file:
        return bag_file["BAG_root/metadata"][()].tobytes().rstrip(b"\0")


def gdal_read(path):
    dataset = gdal.OpenEx(path, gdal.OF_RASTER | gdal.OF_READONLY,
                          allowed_drivers=["BAG"])
    document = dataset.GetMetadata("xml:BAG")[0]
    dataset = None
    return document.encode("utf-8")


def compare_bags(paths, slice_seconds, rounds):
    from bathyra import bag
    from bathyra.metadata_parser import extract_metadata
    print("== BAG files: time per file from the path to the document "
          "(read) and to the six fields, median of %d rounds; ratios to "
          "bathyra.bag.open (helper process)" % rounds)
    if gdal is not None:
        gdal.UseExceptions()
        gdal.PushErrorHandler("CPLQuietErrorHandler")
        gdal.SetConfigOption("GDAL_PAM_ENABLED", "NO")
    readers = []
    if bag.available():
        readers.append(("bathyra", bag.open, None))
        readers.append(("bathyra in-process",
                        lambda p: bag.open(p, isolated=False), None))
    else:
        print("bathyra: not available (built without BAG support)")
    for label, module, missing, read in (
            ("h5py + lxml script", h5py, H5PY_MISSING, h5py_read),
            ("GDAL + lxml script", gdal, GDAL_MISSING, gdal_read)):
        if module is None:
            print("%s: not available (%s)" % (label, missing))
        else:
            readers.append((label, read, "script"))
    if etree is None:
        print("lxml script: not available (%s); only reading is compared"
              % LXML_MISSING)
    print("%-24s %-20s %9s %6s %11s %6s %s"
          % ("file", "tool", "read us", "ratio", "fields us", "ratio",
             "fields"))
    rows = []
    for path in paths:
        name = os.path.basename(path)
        entries = []
        for label, read, kind in readers:
            if kind is None:
                extract = (lambda read=read: extract_metadata(read(path)))
            elif etree is not None:
                extract = (lambda read=read: lxml_script(read(path)))
            else:
                extract = None
            _, read_failure = try_call(read, path)
            entry = {"file": name, "tool": label, "failure": read_failure}
            if read_failure is None and extract is not None:
                try:
                    entry["record"] = extract()
                except Exception as error:
                    entry["failure"] = (failure_step(error) if kind is None
                                        else "%s" % type(error).__name__)
                    extract = None
            entry["functions"] = ([] if read_failure else
                                  [("read", lambda read=read: read(path))] +
                                  ([("fields", extract)] if extract else []))
            entries.append(entry)
        functions = [f for e in entries for _, f in e["functions"]]
        times = iter(median_times(functions, slice_seconds, rounds))
        for entry in entries:
            for key, _ in entry.pop("functions"):
                entry[key] = next(times)
        reference = entries[0] if entries and entries[0]["tool"] == \
            "bathyra" else {}
        for entry in entries:
            print_bag_row(entry, reference)
        rows.extend(entries)
    return rows


def print_bag_row(entry, reference):
    def cell(key, width):
        if key not in entry:
            return "%*s %6s" % (width, "-", "")
        return "%*.1f %s" % (width, entry[key] * 1e6,
                             ratio_text(entry[key], reference.get(key)))

    fields = (str(len(record_fields(entry["record"])))
              if "record" in entry else "-")
    line = "%-24s %-20s %s %s %s" % (entry["file"][:24], entry["tool"],
                                     cell("read", 9), cell("fields", 11),
                                     fields)
    if entry["failure"]:
        line += "  [fails: %s]" % entry["failure"]
    print(line)


def summarise_bags(rows):
    print()
    print("Summary, BAG files (%d):" % len({r["file"] for r in rows}))
    by_file = {}
    for row in rows:
        by_file.setdefault(row["file"], {})[row["tool"]] = row
    for tool in ("bathyra in-process", "h5py + lxml script",
                 "GDAL + lxml script"):
        pairs = [(tools[tool], tools["bathyra"])
                 for tools in by_file.values()
                 if tool in tools and "bathyra" in tools]
        if not pairs:
            continue
        read = [row["read"] / base["read"] for row, base in pairs
                if "read" in row and "read" in base]
        fields = [row["fields"] / base["fields"] for row, base in pairs
                  if "fields" in row and "fields" in base]
        failing = [row["file"] for row, _ in pairs if row["failure"]]
        print("- %s: reading the document takes %s bathyra.bag.open's "
              "time; path to fields %s%s." % (
                  tool, spread(read), spread(fields),
                  " (no record from %s)" % ", ".join(failing)
                  if failing else ""))


def main(argv=None):
    options, slice_seconds, rounds = corpus_options(
        argv, __doc__.split("\n")[0], "shorter and fewer rounds")
    import bathyra
    versions = ["CPython %s" % sys.version.split()[0],
                "bathyra %s" % getattr(bathyra, "__version__", "?")]
    for name, module in (("lxml", etree), ("h5py", h5py), ("GDAL", gdal)):
        if module is not None:
            versions.append("%s %s" % (name, getattr(
                module, "__version__", None) or
                ".".join(map(str, getattr(module, "LXML_VERSION", ())))))
    if owslib_iso is not None:
        import owslib
        versions.append("OWSLib %s" % owslib.__version__)
    print("== Against other tools: %s; %s"
          % (", ".join(versions), time.strftime("%Y-%m-%d")))
    documents = sorted(glob.glob(os.path.join(options.corpus, "*.xml")))
    if not documents:
        print("no documents in %s: only the examples are compared"
              % options.corpus)
    documents += sorted(glob.glob(os.path.join(ROOT, "examples", "*.xml")))
    summarise_documents(compare_documents(documents, slice_seconds, rounds))
    print()
    bags = sorted(glob.glob(os.path.join(options.bags, "*.bag")))
    if not bags:
        print("== BAG files: skipped, no BAG files in %s" % options.bags)
    else:
        summarise_bags(compare_bags(bags, slice_seconds, rounds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
