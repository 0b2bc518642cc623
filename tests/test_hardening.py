"""Hostile callers and documents: no leak, no crash, no wrong or partial
result, whatever the argument, the document or the other threads do."""
import gc
import os
import sys
import threading
import time
import unittest

import bathyra
from bathyra import _survey
from bathyra import metadata_parser as mp
from bathyra._traceback_lines import Line

from tests import support
from tests.documents import (FakeElement, FakeLibrary, FakeRoot,
                             KeyErrorRaster, Raster, document,
                             hostile_documents)
from tests.support import LibraryProxy

GOOD = document(platforms=["Vessel A", "Platform Name"],
                citations=["X.csar"])
EXPECTED = mp.extract_metadata(Raster(GOOD))
# Where a call may fail while other threads rebind the globals.
REBINDING_LINES = (Line.namespace_loop, Line.register_namespace,
                   Line.parse_document, Line.find_begin_position,
                   Line.find_end_position, Line.find_minimum_value,
                   Line.find_maximum_value, Line.find_platforms,
                   Line.find_citation)


def failing_calls():
    """Calls that fail in every kind of way; each raises."""
    f = mp.extract_metadata
    return [
        lambda: f(), lambda: f(1, 2), lambda: f(1, raster=2),
        lambda: f(other=1), lambda: f(KeyErrorRaster()), lambda: f(object()),
        lambda: f(Raster("<a")), lambda: f(Raster(document(end=None))),
        lambda: f(Raster(document(minimum="deep"))),
        lambda: f(Raster(document(begin="2019-03-14T00:00:00"[:0] or None))),
        lambda: f(Raster(42)),
    ]


class LeakTest(unittest.TestCase):
    """Repeated calls leave allocated blocks, gc objects and reference
    counts as they were."""

    def calls(self):
        raster = Raster(GOOD)
        library_raster = Raster(GOOD.encode())
        calls = [lambda: mp.extract_metadata(raster),
                 lambda: mp.extract_metadata(library_raster)]
        for call in failing_calls():
            def expect_failure(call=call):
                try:
                    call()
                except Exception:
                    return
                raise AssertionError("no failure")
            calls.append(expect_failure)
        return calls

    def run_rounds(self, calls, rounds):
        for _ in range(rounds):
            for call in calls:
                call()

    def test_blocks_and_objects_stay_flat(self):
        # Per kind of call: a leak of one block per call shows a thousand
        # blocks; what the host's caches take as they grow stays well below.
        for index, call in enumerate(self.calls()):
            with self.subTest(call=index):
                self.run_rounds([call], 1000)
                grown = support.growth(call, 1000)
                self.assertLess(grown[0], 100)
                self.assertLess(grown[1], 10)

    def test_the_library_way_stays_flat(self):
        saved = vars(mp)["ET"]
        mp.ET = LibraryProxy()
        try:
            self.test_blocks_and_objects_stay_flat()
        finally:
            mp.ET = saved

    def test_reference_counts(self):
        raster = Raster(GOOD)
        objects = [raster, GOOD, mp.XML_NS, vars(mp)["ET"], mp,
                   mp.extract_metadata, "SURSTA", "planam", ",", "VACIO",
                   mp.extract_metadata.__code__]
        mp.extract_metadata(raster)
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(100):
            record = mp.extract_metadata(raster)
            for call in failing_calls():
                try:
                    call()
                except Exception:
                    pass
        del record, call
        self.assertEqual(before, [sys.getrefcount(o) for o in objects])


class ThreadTest(unittest.TestCase):
    """Threads call at once on different documents while another rebinds
    the globals: each call gives the record or the exception its own view
    of the globals implies."""

    def test_calls_while_globals_change(self):
        documents = [document(platforms=["P%d" % i], minimum=str(-i - 1))
                     for i in range(4)]
        expected = [mp.extract_metadata(Raster(d)) for d in documents]
        table = mp.XML_NS
        library = vars(mp)["ET"]
        stop = threading.Event()
        problems = []

        def caller(index):
            raster = Raster(documents[index] if index % 2 else
                            documents[index].encode())
            while not stop.is_set():
                try:
                    record = mp.extract_metadata(raster)
                except (AttributeError, NameError, KeyError) as error:
                    # A table of None or no global at all; or the
                    # library's registration racing with itself in another
                    # thread (a KeyError at the registration step).
                    entries = support.module_entries(error)
                    if (len(entries) != 1 or
                            entries[0][1] not in REBINDING_LINES):
                        problems.append(("entries", entries))
                    continue
                except Exception as error:
                    problems.append(("error", repr(error)))
                    continue
                if record != expected[index]:
                    problems.append(("record", record))

        def rebinder():
            values = [("XML_NS", None), ("XML_NS", dict(table)),
                      ("ET", LibraryProxy()), ("ET", None), ("XML_NS", table),
                      ("ET", library)]
            i = 0
            while not stop.is_set():
                name, value = values[i % len(values)]
                if value is None:
                    vars(mp).pop(name, None)
                else:
                    setattr(mp, name, value)
                i += 1
                time.sleep(0.0005)

        threads = [threading.Thread(target=caller, args=(i,))
                   for i in range(4)]
        threads.append(threading.Thread(target=rebinder))
        switch = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            for thread in threads:
                thread.start()
            time.sleep(1.5)
        finally:
            stop.set()
            for thread in threads:
                thread.join()
            sys.setswitchinterval(switch)
            mp.XML_NS = table
            mp.ET = library
        self.assertEqual(problems[:5], [])

    def test_nested_calls_from_host_code(self):
        inner = Raster(GOOD)
        seen = []

        def nested():
            # A nested call sees the globals of the moment (the stand-in
            # library in the last case); a hook may run again inside it.
            if len(seen) < 8:
                index = len(seen)
                seen.append(None)
                seen[index] = type(mp.extract_metadata(inner)) is dict

        class HookRaster:
            @property
            def iso19139_xml(self):
                nested()
                return GOOD

        class Depth(str):
            def __float__(self):
                nested()
                return 3.0

        class Table(dict):
            def items(self):
                nested()
                return dict.items(self)

        class Root(FakeRoot):
            def find(self, path, namespaces):
                nested()
                return super().find(path, namespaces)

        self.assertEqual(mp.extract_metadata(HookRaster()), EXPECTED)
        saved_ns, saved_et = mp.XML_NS, vars(mp)["ET"]
        try:
            mp.XML_NS = Table(saved_ns)
            self.assertEqual(mp.extract_metadata(inner), EXPECTED)
            mp.XML_NS = saved_ns
            mp.ET = FakeLibrary(Root(minimum=Depth("x"), platforms=[
                FakeElement("Vessel A")], citation=FakeElement("X.csar")))
            record = mp.extract_metadata(Raster(""))
            self.assertEqual(record["DRVAL1"], -3.0)
        finally:
            mp.XML_NS, mp.ET = saved_ns, saved_et
        self.assertTrue(seen and all(seen))


class HostileDocumentTest(unittest.TestCase):
    """Each gives the XML library's own result or exception, both ways of
    reading agree, in bounded time and memory."""

    def test_documents(self):
        cases = hostile_documents(GOOD)
        for label, doc in cases.items():
            with self.subTest(label):
                start = time.monotonic()
                self.assertEqual(support.call_outcome(doc),
                                 support.call_outcome(doc, LibraryProxy()))
                self.assertLess(time.monotonic() - start, 30)

    def test_large_document(self):
        size = int(os.environ.get("BATHYRA_LARGE_MB", "20")) << 20
        filler = "<gmd:keyword><gco:CharacterString>keyword</gco:CharacterString></gmd:keyword>"
        count = size // len(filler)
        doc = GOOD.replace("<gmd:extent>", filler * count + "<gmd:extent>")
        doc = doc.encode()
        import tracemalloc
        mp.extract_metadata(Raster(doc))
        tracemalloc.start()
        try:
            self.assertEqual(mp.extract_metadata(Raster(doc)), EXPECTED)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        # The streaming reader keeps no copy of the document: what expat
        # buffers (under 1 MiB) and a little more.
        self.assertLess(peak, (1 << 20) + len(doc) // 20)


def survey_documents(names=None):
    """The corpus documents and the examples, as bytes, by file name; only
    those named when `names` is given (those present)."""
    found = {}
    for path in support.corpus_paths():
        name = os.path.basename(path)
        if names is None or name in names:
            with open(path, "rb") as stream:
                found[name] = stream.read().rstrip(b"\0")
    return found


def survey_outcome(call):
    """What a call of the survey reader gives: the Survey, or the type and
    text of its exception."""
    try:
        return call()
    except Exception as error:
        return (type(error).__name__, str(error))


# A few documents of each kind: an example, a BAG document with its WKT
# reference systems, an ISO 19115-3 document, and two legacy smXML ones
# (one followed by fill bytes).
SWEPT_SURVEYS = ("survey_h13045_multibeam.xml",
                 "bag_embedded_vr_empty_fields.xml",
                 "iso19115-3_v2_vertical_only.xml",
                 "bag_survey_jd211_v14_legacy_embedded_nul.xml",
                 "bag_legacy_smxml_nominal_only.xml")


class SurveyAllocationTest(unittest.TestCase):
    """Every allocation of a call of parse_survey fails in turn: the call
    gives MemoryError or the Survey (or SurveyError) of the call that did
    not fail, never another one.  On hosts that crash in generator
    expressions under failed allocations (the Python layer that shapes the
    Survey has some), the sweep calls the reader beneath it,
    bathyra._survey.parse, whose record the Python layer shapes."""

    def setUp(self):
        support.testcapi()
        self.reader = (bathyra.parse_survey
                       if support.generators_survive_failed_allocations()
                       else _survey.parse)

    def sweep(self, document):
        # The MemoryErrors of a sweep stay alive in cycles with their
        # frames until a collection, and the host has only so many.
        gc.collect()
        expected = survey_outcome(lambda: self.reader(document))
        failures = 0
        for n, outcome in support.allocation_sweep(self.reader, document):
            if isinstance(outcome, MemoryError):
                failures += 1
            elif support.host_failure(outcome):
                pass
            elif isinstance(outcome, Exception):
                self.assertEqual((type(outcome).__name__, str(outcome)),
                                 expected, n)
            else:
                self.assertEqual(outcome, expected, n)
        self.assertGreater(failures, 10)

    def test_sweep(self):
        documents = survey_documents(SWEPT_SURVEYS)
        if not documents:
            self.skipTest("no corpus documents and no examples")
        for name, document in documents.items():
            with self.subTest(name):
                self.sweep(document)
        # A str document is read through its UTF-8.
        self.sweep(next(iter(documents.values())).decode("utf-8", "replace"))

    @unittest.skipUnless(os.environ.get("BATHYRA_SWEEP_WIDE"),
                         "set BATHYRA_SWEEP_WIDE=1 to sweep every example "
                         "and corpus document")
    def test_wide_sweep(self):
        for name, document in survey_documents().items():
            with self.subTest(name):
                self.sweep(document)


class SurveyLeakTest(unittest.TestCase):
    """Repeated calls of the survey reader leave allocated blocks and gc
    objects as they were, whatever the document gives."""

    def test_blocks_and_objects_stay_flat(self):
        documents = list(survey_documents(SWEPT_SURVEYS).values())
        documents += [GOOD, b"<a", b"<x/>", "\udcff", b"\xff\xfe<\0"]
        for index, document in enumerate(documents):
            with self.subTest(document=index):
                def call(document=document):
                    survey_outcome(lambda: bathyra.parse_survey(document))
                # The first calls fill the caches of names and of PROJ.
                for _ in range(200):
                    call()
                grown = support.growth(call, 500)
                self.assertLess(grown[0], 100)
                self.assertLess(grown[1], 10)


class SurveyCacheTest(unittest.TestCase):
    """Documents that each name a distinct absurd code (300,000 digits) in
    the vertical extent and the reference systems leave the process about
    the size it was: such codes are refused before PROJ and never kept,
    and the caches of answers are bounded."""

    @unittest.skipUnless(os.path.exists("/proc/self/statm"),
                         "needs /proc to measure the process")
    @unittest.skipIf(support.SANITIZED,
                     "AddressSanitizer keeps freed memory in quarantine: "
                     "the process grows whatever the caches hold")
    def test_distinct_long_codes_keep_memory_flat(self):
        child = support.run_child("""
            import gc
            from bathyra import _survey
            from tests.documents import (depth_range, reference_system,
                                         survey_document)

            def resident():
                with open("/proc/self/statm") as statm:
                    return int(statm.read().split()[1]) * 4096

            def parse(i):
                code = str(i) + "7" * 300000
                _survey.parse(survey_document(
                    head=reference_system("EPSG:" + code),
                    extents=depth_range("1", "2", '<gmd:verticalCRS '
                                        'xlink:href="urn:ogc:def:crs:EPSG::'
                                        '%s"/>' % code)))

            parse(1000)
            gc.collect()
            before = resident()
            for i in range(300):
                parse(i)
            gc.collect()
            print(resident() - before)
            """)
        self.assertEqual(child.returncode, 0, child.stderr)
        self.assertLess(int(child.stdout), 10 << 20)


class SurveyModuleTest(unittest.TestCase):
    """bathyra._survey keeps its exception class and strings in the module
    object, and is loaded into one interpreter per process."""

    def test_state_per_module_object(self):
        child = support.run_child("""
            import sys
            import bathyra._survey as first
            del sys.modules["bathyra._survey"]
            import bathyra._survey as second
            caught = []
            for module in (first, second):
                try:
                    module.parse(b"<a")
                except Exception as error:
                    caught.append(type(error) is module.DocumentError)
            print(second is not first,
                  second.DocumentError is not first.DocumentError,
                  *caught, sorted(first.parse(b"<gmd:MD_Metadata xmlns:gmd="
                                  b"'http://www.isotc211.org/2005/gmd'/>"))
                  == sorted(second.parse(b"<gmd:MD_Metadata xmlns:gmd="
                                  b"'http://www.isotc211.org/2005/gmd'/>")))
            """)
        self.assertEqual(child.stdout.split(), ["True"] * 5, child.stderr)

    def test_second_interpreter_refused(self):
        child = support.run_child("""
            import sys
            try:
                import _interpreters as interpreters          # 3.13
            except ImportError:
                import _xxsubinterpreters as interpreters     # 3.9 to 3.12
            import bathyra._survey
            code = "import sys; sys.path[:0] = %r; import bathyra._survey"
            sub = interpreters.create()
            try:
                failure = interpreters.run_string(sub, code % sys.path)
            except Exception as error:
                failure = error
            interpreters.destroy(sub)
            print(getattr(failure, "formatted", failure))
            """)
        self.assertIn("ImportError", child.stdout + child.stderr)
        self.assertTrue(
            "one interpreter per process" in child.stdout or
            "does not support loading in subinterpreters" in child.stdout,
            child.stdout + child.stderr)


if __name__ == "__main__":
    unittest.main()
