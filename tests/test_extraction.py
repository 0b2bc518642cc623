"""Whole calls of extract_metadata on documents and on stand-ins for the XML
library: the record, each failure's exception and traceback line and what
explain() makes of it, and what the call leaves behind."""
import builtins
import math
import os
import sys
import unittest
import xml.etree.ElementTree as ET

from bathyra import metadata_parser as mp
from bathyra._traceback_lines import Line
from bathyra.explain import NOT_FROM_EXTRACTION, STEP_MEANINGS, explain

from tests import support
from tests.documents import (OMIT, FakeElement, FakeLibrary, FakeRoot,
                             KeyErrorRaster, Raster, document)

KEYS = ["SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM"]


class ExtractionCase(unittest.TestCase):
    """Restores the module globals that a test rebinds."""

    def setUp(self):
        self.saved_globals = {name: vars(mp)[name]
                              for name in ("ET", "XML_NS")}
        self.saved_ns = dict(mp.XML_NS)

    def tearDown(self):
        for name, value in self.saved_globals.items():
            setattr(mp, name, value)
        mp.XML_NS.clear()
        mp.XML_NS.update(self.saved_ns)
        for name in ("ET", "XML_NS"):
            if hasattr(builtins, name):
                delattr(builtins, name)

    def extract(self, doc):
        return mp.extract_metadata(Raster(doc))

    def assertFailsAt(self, line, exc_type, message, call, *args):
        """The call raises exc_type(message) with exactly one module
        traceback entry, at `line`."""
        caught = support.raised_by(call, *args)
        self.assertIsInstance(caught, exc_type)
        if message is not None:
            self.assertEqual(str(caught), message)
        self.assertEqual(support.module_entries(caught),
                         [(support.MODULE_FILE, line,
                           support.CALL_FUNCTION)])
        return caught

    def assertSameFloat(self, got, expected):
        self.assertIs(type(got), float)
        self.assertTrue(support.same_number(got, expected), (got, expected))


class RecordTest(ExtractionCase):

    def test_worked_example(self):
        doc = document(platforms=["Platform Name", "Survey Vessel One",
                                  "instrument unknown", "Echosounder A",
                                  "Survey Vessel One"],
                       citations=["AB123456.csar", "second title"])
        record = self.extract(doc)
        self.assertEqual(list(record), KEYS)
        self.assertEqual(record, {
            "SURSTA": "20190314", "SUREND": "20190320",
            "DRVAL1": 1.5, "DRVAL2": 35.2,
            "planam": "Survey Vessel One,Echosounder A,Survey Vessel One",
            "OBJNAM": "AB123456"})
        self.assertIsNot(self.extract(doc), record)

    def test_str_bytes_and_encodings(self):
        doc = document(platforms=["Navire Écho"], citations=["Baie d'Été"])
        expected = self.extract(doc)
        self.assertEqual(expected["planam"], "Navire Écho")
        for form in (doc.encode("utf-8"),
                     ('<?xml version="1.0" encoding="ISO-8859-1"?>'
                      + doc).encode("latin-1")):
            with self.subTest(form=form[:40]):
                self.assertEqual(self.extract(form), expected)

    def test_survey_dates(self):
        cases = [
            ("2019-03-14T00:00:00", "20190314"),
            ("2019-06-30T23:59:59", "20190630"),
            # Zone designators, fractions, offsets, white space and bare
            # dates keep their calendar date.
            ("2019-03-14T00:00:00Z", "20190314"),
            ("2019-03-14T00:00:00.000", "20190314"),
            ("2019-03-14T00:00:00+01:00", "20190314"),
            ("2019-03-14T00:00:00\n    ", "20190314"),
            ("\n  2019-03-14T00:00:00", "20190314"),
            ("2019-03-14", "20190314"),
            # Anything else keeps the cut of the last nine characters.
            ("2019-03", ""),
            ("now", ""),
            ("2019-3-14T00:00:00", "2019314"),
            ("2019-03-14 00:00", "201903"),
            ("2019-03-14X00:00", "201903"),
            ("-0500-01-01T00:00:00", "05000101"),
            ("２０１９-03-14T00:00:00", "２０１９0314"),
        ]
        for text, date in cases:
            with self.subTest(text=text):
                record = self.extract(document(begin=text, end=text))
                self.assertEqual(record["SURSTA"], date)
                self.assertEqual(record["SUREND"], date)

    def test_depth_range(self):
        nan = math.nan
        cases = [
            ("-35.2", "-1.5", 1.5, 35.2),
            ("-1.5", "-35.2", 1.5, 35.2),
            ("5", "20", -20.0, -5.0),
            ("0", "0", -0.0, -0.0),
            ("-1", "-1", 1.0, 1.0),
            ("nan", "-3", nan, nan),
            ("-3", "nan", nan, nan),
            ("  12.5\n", "1_000.5", -1000.5, -12.5),
            ("-inf", "+Infinity", -math.inf, math.inf),
            ("1e400", "-1e400", -math.inf, math.inf),
        ]
        for minimum, maximum, drval1, drval2 in cases:
            with self.subTest(minimum=minimum, maximum=maximum):
                record = self.extract(document(minimum=minimum,
                                               maximum=maximum))
                self.assertSameFloat(record["DRVAL1"], drval1)
                self.assertSameFloat(record["DRVAL2"], drval2)

    def test_first_match_in_document_order(self):
        # The first minimumValue without a gco:Real is passed over.
        doc = document().replace(
            "<gmd:minimumValue>",
            "<gmd:minimumValue><gco:Decimal>-99</gco:Decimal>"
            "</gmd:minimumValue><gmd:minimumValue>", 1)
        self.assertEqual(self.extract(doc)["DRVAL2"], 35.2)

    def test_platform_names(self):
        cases = [
            ([], ""),
            (["Platform Name", "instrument unknown",
              "instrument type unknown", "Platform Name"], ""),
            (["B", "A", "B"], "B,A,B"),
            ([" A ", "line\nbreak"], " A ,line\nbreak"),
            ([" Platform Name", "platform name"],
             " Platform Name,platform name"),
            ([",A", "B,"], "A,B"),
            (["x", "A,B", "y"], "x,A,B,y"),
            ([",,,"], ""),
            # An empty element names no platform.
            (["A", None, "B"], "A,B"),
            ([None], ""),
        ]
        for names, planam in cases:
            with self.subTest(names=names):
                record = self.extract(document(platforms=names))
                self.assertEqual(record["planam"], planam)

    def test_object_name(self):
        cases = [
            (OMIT, "VACIO"),
            ([None], "VACIO"),
            ([""], "VACIO"),
            (["AB123456.csar"], "AB123456"),
            (["x.csar.csar"], "x"),
            ([".csar"], ""),
            (["AB123456.CSAR"], "AB123456.CSAR"),
            ([" AB123456.csar "], " AB123456 "),
            (["first", "second"], "first"),
            ([None, "second"], "VACIO"),
        ]
        for titles, objnam in cases:
            with self.subTest(titles=titles):
                record = self.extract(document(citations=titles))
                self.assertEqual(record["OBJNAM"], objnam)


class FailureTest(ExtractionCase):

    def test_failures_report_the_first_fault_in_order(self):
        no_text = "'NoneType' object has no attribute 'text'"
        not_number = "could not convert string to float: '%s'"
        cases = [
            (Line.find_begin_position, AttributeError, no_text,
             dict(begin=OMIT, end=OMIT)),
            (Line.find_end_position, AttributeError, no_text,
             dict(end=OMIT, minimum=OMIT)),
            (Line.find_minimum_value, AttributeError, no_text,
             dict(minimum=OMIT, begin=None)),
            (Line.find_maximum_value, AttributeError, no_text,
             dict(maximum=OMIT, minimum="x")),
            (Line.convert_minimum, ValueError, not_number % "abc",
             dict(minimum="abc", maximum="def", begin=None)),
            (Line.convert_minimum, TypeError, None, dict(minimum=None)),
            (Line.convert_maximum, ValueError, not_number % "1..5",
             dict(maximum="1..5", begin=None)),
            (Line.survey_start, TypeError, "'NoneType' object is unsliceable",
             dict(begin=None, end=None)),
            (Line.survey_end, TypeError, "'NoneType' object is unsliceable",
             dict(end=None)),
            (Line.find_begin_position, AttributeError, no_text,
             dict(gml="http://www.opengis.net/gml")),
        ]
        for line, exc_type, message, fields in cases:
            with self.subTest(fields=fields):
                self.assertFailsAt(line, exc_type, message, self.extract,
                                   document(**fields))

    def test_input_failures(self):
        self.assertFailsAt(Line.read_document, AttributeError,
                           "'object' object has no attribute "
                           "'iso19139_xml'", mp.extract_metadata, object())
        self.assertFailsAt(Line.parse_document, ET.ParseError, None,
                           self.extract, "<gmi:MI_Metadata>")
        self.assertFailsAt(Line.parse_document, TypeError, None,
                           self.extract, 42)

        error = self.assertFailsAt(Line.read_document, KeyError, None,
                                   mp.extract_metadata, KeyErrorRaster())
        self.assertEqual(error.args, ("hook",))

    def test_registrations_precede_parsing(self):
        before = dict(ET._namespace_map)
        try:
            ET._namespace_map.pop("http://www.isotc211.org/2005/gco", None)
            self.assertFailsAt(Line.parse_document, ET.ParseError, None,
                               self.extract, "<a")
            self.assertEqual(
                ET._namespace_map["http://www.isotc211.org/2005/gco"], "gco")
        finally:
            ET._namespace_map.clear()
            ET._namespace_map.update(before)

    def test_no_partial_result_on_record_failures(self):
        root = FakeRoot(platforms=[FakeElement("A"), object()])
        mp.ET = FakeLibrary(root)
        self.assertFailsAt(Line.test_platform, AttributeError, None,
                           self.extract, "")
        root.platforms = [FakeElement(["unhashable"])]
        self.assertFailsAt(Line.test_platform, TypeError, None,
                           self.extract, "")
        root.platforms = 5
        self.assertFailsAt(Line.platform_loop, TypeError,
                           "'int' object is not iterable", self.extract, "")
        root.citation = object()
        root.platforms = []
        self.assertFailsAt(Line.citation_text, AttributeError, None,
                           self.extract, "")
        root.citation = FakeElement(b"AB.csar")
        self.assertFailsAt(Line.object_name, TypeError, None,
                           self.extract, "")


class ExplainTest(ExtractionCase):
    """explain() makes one sentence of each failure, and never raises."""

    def failure(self, xml):
        error = support.raised_by(self.extract, xml)
        self.assertIsInstance(error, Exception, "the document gave a record")
        return error

    def test_every_step_has_a_meaning(self):
        for line in Line:
            if line >= Line.define_function:
                self.assertIn(line.name, STEP_MEANINGS)

    def test_failing_documents(self):
        open_ended = document().replace(
            "<gml:endPosition>2019-03-20T00:00:00</gml:endPosition>",
            '<gml:endPosition indeterminatePosition="now"/>')
        cases = [
            (document(minimum="abc"),
             ['the minimum depth text "abc" is not a number']),
            (document(maximum="12,5"),
             ['maximum depth text "12,5"', "decimal separator"]),
            (document(minimum=None), ["minimum value", "is empty"]),
            (document(gml="http://www.opengis.net/gml"), ["GML 3.1"]),
            (document(end=OMIT), ["no end (gml:endPosition)"]),
            (document(maximum=OMIT),
             ["has no maximum value (gmd:maximumValue)"]),
            (document(begin=None),
             ["survey start (gml:beginPosition) is empty"]),
            (open_ended, ['"now"', "open-ended"]),
        ]
        for xml, phrases in cases:
            with self.subTest(phrases=phrases):
                meaning = explain(self.failure(xml), xml)
                for phrase in phrases:
                    self.assertIn(phrase, meaning)
                self.assertNotIn("\n", meaning)

    def test_without_the_document(self):
        # The line alone still names the element.
        self.assertIn("gml:beginPosition",
                      explain(self.failure(document(begin=OMIT))))
        self.assertIn("no metadata document", explain(self.failure(None)))

    def test_never_raises(self):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no text")

        class Hostile:
            @property
            def iso19139_xml(self):
                raise RuntimeError("no document")

        error = self.failure(document(minimum="abc"))
        cases = [(ValueError("not from the module"), None),
                 (Unprintable(), None), (object(), None),
                 (error, Hostile()), (error, 42)]
        for exc, doc in cases:
            self.assertIsInstance(explain(exc, doc), str)
        self.assertEqual(explain(ValueError("x")), NOT_FROM_EXTRACTION)

    @unittest.skipUnless(os.path.isdir(support.CORPUS_REAL),
                         "the shared corpus (../shared/corpus) is absent")
    def test_corpus_documents(self):
        expected = {
            "gmd_gml31_elevation_model_date_only.xml": "GML 3.1",
            "csw_response_wrapped_gmd_gml31.xml": "GML 3.1",
            "gmi_minimal_constructed.xml": "no temporal extent at all",
            "gmi_lake_bathymetry_no_period.xml": "single instant",
            "iso19115-3_v2_vertical_only.xml": "ISO 19115-3",
            "iso19115-3_v1_large_vertical_temporal.xml":
                "gex:EX_VerticalExtent",
            "bag_legacy_smxml_nominal_only.xml": "smXML",
            "gmi_airborne_survey_year_month.xml": "no vertical extent",
            "bag_survey_jd211_v14_legacy_embedded_nul.xml": "NUL bytes",
        }
        for name in sorted(os.listdir(support.CORPUS_REAL)):
            if not name.endswith(".xml"):
                continue
            with open(os.path.join(support.CORPUS_REAL, name), "rb") as f:
                xml = f.read().rstrip(b"\0")
            error = support.raised_by(self.extract, xml)
            if error is None:
                continue
            with self.subTest(document=name):
                meaning = explain(error, xml)
                self.assertNotEqual(meaning, NOT_FROM_EXTRACTION)
                self.assertIn(expected.get(name, ""), meaning)


class NamespaceTableTest(ExtractionCase):
    """XML_NS and ET are looked up at every use and may be anything."""

    def test_rebound_tables(self):
        doc = document()
        mp.XML_NS = None
        self.assertFailsAt(Line.namespace_loop, AttributeError,
                           "'NoneType' object has no attribute 'items'",
                           self.extract, doc)
        mp.XML_NS = list(self.saved_ns.items())
        self.assertFailsAt(Line.namespace_loop, AttributeError,
                           "'list' object has no attribute 'items'",
                           self.extract, doc)

        class Table(dict):
            calls = 0

            def items(self):
                Table.calls += 1
                return iter(dict.items(self))
        mp.XML_NS = Table(self.saved_ns)
        self.assertEqual(self.extract(doc)["SURSTA"], "20190314")
        self.assertGreaterEqual(Table.calls, 1)

    def test_items_results(self):
        library = FakeLibrary(FakeRoot())
        mp.ET = library
        pairs = list(self.saved_ns.items())

        class Table(dict):
            def __init__(self, result):
                super().__init__(self_ns)
                self.result = result

            def items(self):
                return self.result
        self_ns = self.saved_ns
        good = [pairs, tuple(pairs), iter(pairs), [list(p) for p in pairs],
                (p for p in pairs), [iter(p) for p in pairs]]
        for result in good:
            with self.subTest(result=type(result)):
                library.registered.clear()
                mp.XML_NS = Table(result)
                self.extract("")
                self.assertEqual(library.registered, pairs)
        bad = [
            ([("gmi",)], ValueError, "need more than 1 value to unpack"),
            ([()], ValueError, "need more than 0 values to unpack"),
            ([iter(["a"])], ValueError, "need more than 1 value to unpack"),
            ([("a", "b", "c")], ValueError,
             "too many values to unpack (expected 2)"),
            ([["a", "b", "c"]], ValueError,
             "too many values to unpack (expected 2)"),
            ([None], TypeError, "'NoneType' object is not iterable"),
            (5, TypeError, "'int' object is not iterable"),
        ]
        for result, exc_type, message in bad:
            with self.subTest(result=result):
                mp.XML_NS = Table(result)
                self.assertFailsAt(Line.namespace_loop, exc_type, message,
                                   self.extract, "")

    def test_table_changing_size_during_registration(self):
        class Library(FakeLibrary):
            def register_namespace(self, prefix, uri):
                mp.XML_NS["extra%d" % len(mp.XML_NS)] = uri
        mp.ET = Library(FakeRoot())
        self.assertFailsAt(Line.namespace_loop, RuntimeError,
                           "dictionary changed size during iteration",
                           self.extract, "")

    def test_missing_globals_and_builtins(self):
        doc = document()
        del mp.XML_NS
        self.assertFailsAt(Line.namespace_loop, NameError,
                           "name 'XML_NS' is not defined", self.extract, doc)
        builtins.XML_NS = self.saved_ns
        self.assertEqual(self.extract(doc)["DRVAL2"], 35.2)
        mp.XML_NS = self.saved_globals["XML_NS"]
        del mp.ET
        self.assertFailsAt(Line.register_namespace, NameError,
                           "name 'ET' is not defined", self.extract, doc)
        mp.ET = self.saved_globals["ET"]

    def test_rebinding_between_steps(self):
        table = self.saved_globals["XML_NS"]

        class Root(FakeRoot):
            def find(self, path, namespaces):
                if path.endswith("endPosition"):
                    del mp.XML_NS
                return super().find(path, namespaces)
        mp.ET = FakeLibrary(Root())
        self.assertFailsAt(Line.find_minimum_value, NameError,
                           "name 'XML_NS' is not defined", self.extract, "")
        mp.XML_NS = table

        class Library(FakeLibrary):
            def fromstring(self, text):
                mp.XML_NS = {"gmd": "urn:other"}
                return ET.fromstring(text)
        mp.ET = Library(None)
        self.assertFailsAt(Line.find_begin_position, SyntaxError,
                           "prefix 'gml' not found in prefix map",
                           self.extract, document())
        mp.XML_NS = table

        # The loop keeps the table it started with.
        class Library2(FakeLibrary):
            def register_namespace(self, prefix, uri):
                super().register_namespace(prefix, uri)
                mp.XML_NS = None
        library = Library2(FakeRoot())
        mp.ET = library
        self.extract("")
        self.assertEqual(len(library.registered), 6)
        # ... while the searches see the new binding.
        self.assertTrue(all(call[2] is None for call in library.root.calls))

    def test_searches_get_the_current_table(self):
        root = FakeRoot()
        mp.ET = FakeLibrary(root)
        self.extract("")
        self.assertEqual([c[0] for c in root.calls],
                         ["find"] * 4 + ["findall", "find"])
        self.assertTrue(all(c[2] is self.saved_globals["XML_NS"]
                            for c in root.calls))


class ValueObjectTest(ExtractionCase):
    """Element texts and sequences that no parser produces, through a
    stand-in library."""

    def test_positions_of_other_types(self):
        mp.ET = FakeLibrary(FakeRoot(begin=b"2019-03-14T00:00:00"))
        self.assertFailsAt(Line.survey_start, TypeError, None,
                           self.extract, "")
        mp.ET = FakeLibrary(FakeRoot(end=12))
        self.assertFailsAt(Line.survey_end, TypeError,
                           "'int' object is unsliceable", self.extract, "")

        class Text(str):
            pass
        mp.ET = FakeLibrary(FakeRoot(begin=Text("2019-03-14T00:00:00Z")))
        # A str subclass keeps the plain cut.
        self.assertEqual(self.extract("")["SURSTA"], "20190314T")

    def test_platform_sequences(self):
        elements = [FakeElement("A"), FakeElement("B")]
        for platforms in (elements, tuple(elements), iter(elements),
                          (e for e in elements)):
            with self.subTest(kind=type(platforms)):
                mp.ET = FakeLibrary(FakeRoot(platforms=platforms))
                self.assertEqual(self.extract("")["planam"], "A,B")

        growing = [FakeElement("A")]

        class Growing(FakeElement):
            @property
            def text(self):
                if len(growing) < 3:
                    growing.append(FakeElement("C"))
                return "G"
        growing.append(Growing(None))
        mp.ET = FakeLibrary(FakeRoot(platforms=growing))
        # The second read of the growing element's text sees the list at
        # its full length; the loop reads the length before every item.
        self.assertEqual(self.extract("")["planam"], "A,G,C")


    def test_locals_live_until_the_call_ends(self):
        log = []

        class Element:
            def __init__(self, text):
                self.text = text

            def __del__(self):
                log.append("del " + str(self.text))

        class Title(str):
            def replace(self, *args):
                log.append("replace")
                return str.replace(self, *args)

        def elements():
            log.append("next 1")
            yield Element("A")
            log.append("next 2")
            yield Element("B")
            log.append("end")

        class Root(FakeRoot):
            def findall(self, path, namespaces):
                return elements()

            def find(self, path, namespaces):
                if "CI_Citation" in path:
                    return Element(Title("X.csar"))
                return super().find(path, namespaces)
        mp.ET = FakeLibrary(Root())
        record = self.extract("")
        self.assertEqual((record["planam"], record["OBJNAM"]), ("A,B", "X"))
        # An item goes when the next is bound; the last one and the
        # citation element only when the call ends.
        self.assertEqual(log[:5], ["next 1", "next 2", "del A", "end",
                                   "replace"])
        self.assertEqual(sorted(log[5:]), ["del B", "del X.csar"])


class ResourceTest(ExtractionCase):

    def test_reference_counts_are_unchanged(self):
        doc = document(platforms=["Alpha"], citations=["T.csar"])
        bad = document(end=None)
        raster = Raster(doc)
        failing = Raster(bad)
        for _ in range(3):
            mp.extract_metadata(raster)
        before = (sys.getrefcount(raster), sys.getrefcount(doc),
                  sys.getrefcount(failing), sys.getrefcount(bad))
        for _ in range(50):
            record = mp.extract_metadata(raster)
            self.assertEqual(sys.getrefcount(record["planam"]), 2)
            with self.assertRaises(TypeError):
                mp.extract_metadata(failing)
        del record
        self.assertEqual(before, (sys.getrefcount(raster),
                                  sys.getrefcount(doc),
                                  sys.getrefcount(failing),
                                  sys.getrefcount(bad)))


class AllocationFailureTest(ExtractionCase):
    """Every allocation of a whole call fails in turn: the outcome is the
    correct record or the failing operation's exception (a MemoryError, or
    what the parser makes of it) with exactly one module traceback entry."""

    def setUp(self):
        super().setUp()
        support.testcapi()

    def test_sweep_with_stand_in_library(self):
        elements = [FakeElement("A"), FakeElement("Platform Name"),
                    FakeElement(None), FakeElement("B")]
        root = FakeRoot(minimum="-1_2.5", maximum=" 3e1 ",
                        begin="2019-03-14T00:00:00Z", end="x" * 12,
                        platforms=elements, citation=FakeElement("T.csar"))
        mp.ET = FakeLibrary(root)
        raster = Raster("")
        expected = mp.extract_metadata(raster)
        failures = 0
        for n, outcome in support.allocation_sweep(mp.extract_metadata,
                                                   raster):
            if isinstance(outcome, MemoryError):
                failures += 1
                self.assertEqual(len(support.module_entries(outcome)), 1, n)
            else:
                self.assertEqual(outcome, expected, n)
        self.assertGreater(failures, 20)

    # The host's XML library has crashes of its own under failed
    # allocations (its C accelerator's iterators, its expat parser's
    # creation on some versions).  The sweep therefore runs on the
    # library's pure-Python implementation, in children: a child that
    # crashes is accepted only when the crash happened inside the XML
    # library (faulthandler names its innermost Python frame), and the
    # sweep goes on after that allocation.  A child prints "N start"
    # before the call whose N-th allocation fails, then "N ok" for the
    # expected outcome, "N WRONG" for another record, or the exception's
    # type name and the lines of its module traceback entries.
    SWEEP_CHILD = """
        import faulthandler, sys
        faulthandler.enable()
        sys.modules["_elementtree"] = None
        from tests import support
        from tests.documents import document, Raster
        from bathyra import metadata_parser as mp
        start, way, path = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
        if path:
            with open(path[0], "rb") as stream:
                raster = Raster(stream.read().rstrip(b"\\0"))
        else:
            raster = Raster(document(platforms=["A", "Platform Name", "B"],
                                     citations=["T.csar"],
                                     minimum="-1_2.5"))
        if way == "library":
            mp.ET = support.LibraryProxy()

        def key(outcome):
            if isinstance(outcome, Exception):
                return support.describe(outcome)[:2]
            return outcome
        for _ in range(2):
            try:
                expected = mp.extract_metadata(raster)
            except Exception as error:
                expected = key(error)
        for n, outcome in support.allocation_sweep(
                mp.extract_metadata, raster, start=start, limit=100000,
                before=lambda n: print(n, "start", flush=True)):
            if key(outcome) == expected:
                print(n, "ok", flush=True)
            elif support.host_failure(outcome):
                print(n, "host", flush=True)
            elif isinstance(outcome, Exception):
                print(n, type(outcome).__name__,
                      *[e[1] for e in support.module_entries(outcome)],
                      flush=True)
            else:
                print(n, "WRONG", flush=True)
    """

    def test_sweep_through_the_library(self):
        self.sweep("library", at_least=300)

    def test_sweep_through_the_streaming_reader(self):
        self.sweep("stream", at_least=30)

    @unittest.skipUnless(os.environ.get("BATHYRA_SWEEP_WIDE"),
                         "set BATHYRA_SWEEP_WIDE=1 to sweep every example "
                         "and corpus document both ways")
    def test_wide_sweep(self):
        for path in support.corpus_paths():
            for way in ("stream", "library"):
                with self.subTest(path=os.path.basename(path), way=way):
                    self.sweep(way, at_least=10, path=path)

    def sweep(self, way, at_least, path=None):
        outcomes = []
        host_crashes = []
        start = 0
        while True:
            child = support.run_child(
                self.SWEEP_CHILD, "-W", "ignore",
                timeout=3600 if path else 120,
                argv=[str(start), way] + ([path] if path else []))
            lines = [line.split() for line in child.stdout.splitlines()]
            outcomes.extend(line for line in lines if line[1] != "start")
            if child.returncode == 0:
                break
            crashed_at = int(lines[-1][0])
            self.assertEqual(lines[-1][1], "start", child.stderr[-2000:])
            frames = [line for line in child.stderr.splitlines()
                      if line.strip().startswith("File ")]
            self.assertTrue(frames and "/xml/" in frames[0],
                            "allocation %d: crash outside the XML library:"
                            "\n%s" % (crashed_at, child.stderr[-2000:]))
            host_crashes.append(crashed_at)
            self.assertLess(len(host_crashes), 40)
            start = crashed_at + 1
        self.assertGreater(len(outcomes), at_least)
        allowed = {"MemoryError", "ParseError", "RuntimeError"}
        routine_lines = [line for line in Line if line >= Line.read_document]
        for outcome in outcomes:
            with self.subTest(allocation=outcome[0]):
                self.assertNotEqual(outcome[1], "WRONG")
                if outcome[1] in ("ok", "host"):
                    continue
                self.assertIn(outcome[1], allowed)
                # Exactly one entry, at a line of the routine.
                self.assertEqual(len(outcome), 3)
                self.assertIn(int(outcome[2]), routine_lines)


if __name__ == "__main__":
    unittest.main()
