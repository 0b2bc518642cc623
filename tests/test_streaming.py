"""The streaming reader against the XML library and the plain-Python twin:
every document gives the same record or the same exception (type, message,
traceback line) whether the module reads it in one expat pass or through
the library, and the twin agrees.  The library way is forced by binding ET
to a stand-in for the library module."""
import os
import random
import sys
import time
import unittest
import xml.etree.ElementTree as ET

from tests import support, twin
from tests.documents import OMIT, Raster, document
from tests.support import LibraryProxy, call_outcome as outcome

# Seconds of mutation fuzzing; BATHYRA_FUZZ_SECONDS runs it longer.
FUZZ_SECONDS = float(os.environ.get("BATHYRA_FUZZ_SECONDS", "3"))


def twin_outcome(document):
    """support.call_outcome for the twin."""
    try:
        record = twin.extract_metadata(Raster(document))
    except twin.Failure as failure:
        return ("error", type(failure.error), str(failure.error),
                [failure.line])
    return ("record", support.comparable(record))


def library_calls(document):
    """Python functions of the XML library that one call runs."""
    called = []

    def profile(frame, event, argument):
        if event == "call" and "xml" + os.sep + "etree" in \
                frame.f_code.co_filename:
            called.append(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        outcome(document)
    finally:
        sys.setprofile(None)
    return called


def corpus_documents():
    for path in support.corpus_paths():
        with open(path, "rb") as stream:
            yield os.path.basename(path), stream.read().rstrip(b"\0")


class AgreementTest(unittest.TestCase):

    def assertSameThreeWays(self, document):
        streamed = outcome(document)
        self.assertEqual(outcome(document, LibraryProxy()), streamed)
        self.assertEqual(twin_outcome(document), streamed)

    def test_the_reader_is_used(self):
        doc = document(platforms=["A"], citations=["T"])
        outcome(doc)  # the first call registers the namespaces
        self.assertEqual(library_calls(doc), [])
        self.assertEqual(library_calls(doc.encode()), [])
        # A registration by someone else is redone the library's way.
        ET.register_namespace("other", "urn:other")
        self.assertIn("register_namespace", library_calls(doc))
        self.assertEqual(library_calls(doc), [])

    def test_corpus_and_examples(self):
        for name, data in corpus_documents():
            for form in (data, data.decode("utf-8", "replace")):
                with self.subTest(name=name, form=type(form).__name__):
                    self.assertSameThreeWays(form)

    def test_path_semantics(self):
        gco, gmd, gmi = "gco:Real", "gmd:minimumValue", "gmi:"
        base = document(platforms=["P"], citations=["T"])
        cases = {
            # The first minimumValue with a Real child decides, in the
            # order of start tags, not the first Real.
            "nested minimum": base.replace(
                "<gmd:minimumValue><gco:Real>-35.2</gco:Real>",
                "<gmd:minimumValue><gmd:minimumValue><gco:Real>-7</gco:Real>"
                "</gmd:minimumValue><gco:Real>-35.2</gco:Real>"),
            "Real not a child": base.replace(
                "<gmd:minimumValue><gco:Real>-35.2</gco:Real>",
                "<gmd:minimumValue><x><gco:Real>-9</gco:Real></x>"
                "<gco:Real>-35.2</gco:Real>"),
            # A string below two nested acquisition elements comes twice.
            "nested acquisition": base.replace(
                "<gmi:acquisitionInformation><gmi:MI_AcquisitionInformation>",
                "<gmi:acquisitionInformation><gmi:MI_AcquisitionInformation>"
                "<gco:CharacterString>First</gco:CharacterString>"
                "<gmi:acquisitionInformation><gco:CharacterString>Inner"
                "</gco:CharacterString></gmi:acquisitionInformation>"),
            "nested citation": base.replace(
                "<gmd:CI_Citation><gmd:title>",
                "<gmd:CI_Citation><gmd:CI_Citation><gco:CharacterString>"
                "Inner.csar</gco:CharacterString></gmd:CI_Citation>"
                "<gmd:title>"),
            "texts around children, comments, CDATA, references": (
                base.replace(">P<", "><!-- c -->P&amp;<![CDATA[<x>]]>&#65;"
                             "<?pi x?>Q<b/>tail<").replace(
                    ">2019-03-14T00:00:00<",
                    "><![CDATA[]]>2019-03-14T00:00:00<")),
            "empty CDATA only": base.replace(">T<", "><![CDATA[]]><"),
            "target as the root": (
                '<gml:beginPosition xmlns:gml="http://www.opengis.net/gml/'
                '3.2">2000-01-01T00:00:00</gml:beginPosition>'),
            "default namespace": base.replace(
                "<gml:TimePeriod>", '<TimePeriod xmlns="http://www.opengis'
                '.net/gml/3.2"><beginPosition>2001-02-03</beginPosition>'
                '</TimePeriod><gml:TimePeriod>'),
            "prefix rebound": base.replace(
                "<gml:TimePeriod>", '<gml:TimePeriod xmlns:gml="urn:x">'),
            "empty document element": "<a/>",
            "malformed": base[:-7],
            "unbound prefix": base.replace("<gmd:extent>", "<zz:extent>"),
            "doctype": "<!DOCTYPE r [<!ENTITY e 'x'>]>" + base.replace(
                ">P<", ">&e;<"),
            "undefined entity": base.replace(">P<", ">&nope;<"),
            "xml declaration": '<?xml version="1.0" encoding="UTF-8"?>' +
                               base,
        }
        for label, doc in cases.items():
            for form in (doc, doc.encode("utf-8")):
                with self.subTest(label=label, form=type(form).__name__):
                    self.assertSameThreeWays(form)

    def test_encodings(self):
        base = document(platforms=["Navire Écho"], citations=["Été"])
        cases = [
            ('<?xml version="1.0" encoding="ISO-8859-1"?>' + base, "latin-1"),
            ('<?xml version="1.0" encoding="UTF-16"?>' + base, "utf-16"),
            ('<?xml version="1.0" encoding="cp1252"?>' + base, "cp1252"),
            ('<?xml version="1.0" encoding="no-such"?>' + base, "utf-8"),
            ('<?xml version="1.0" encoding="UTF-16"?>' + base, "utf-8"),
        ]
        for text, codec in cases:
            with self.subTest(codec=codec, text=text[:40]):
                self.assertSameThreeWays(text.encode(codec))
        # A str goes in as UTF-8, whatever it declares.
        self.assertSameThreeWays(cases[1][0])
        self.assertSameThreeWays(base.replace("Écho", "\ud800"))
        self.assertSameThreeWays(base.encode() + b"\0")

    def test_failures_keep_their_lines(self):
        for fields in (dict(begin=OMIT), dict(end=None), dict(minimum=OMIT),
                       dict(maximum="x"), dict(minimum=None),
                       dict(platforms=[None, "Platform Name", " A "]),
                       dict(citations=[".csar"]), dict(citations=[None]),
                       dict(platforms=["V", None, "Platform Name"],
                            citations=["T.csar"]),
                       dict(begin="2020-01-02", end="x", minimum="1_0",
                            maximum="  -4.25 "),
                       dict(minimum="-3", maximum="nan")):
            with self.subTest(fields=fields):
                self.assertSameThreeWays(document(**fields))


class MutationFuzzTest(unittest.TestCase):
    """Mutated corpus documents: the three ways agree on every one."""

    def mutations(self, rng, data):
        at = rng.randrange(len(data) + 1)
        pick = rng.randrange(10)
        if pick == 0:
            return data[:at] + bytes([rng.randrange(256)]) + data[at + 1:]
        if pick == 1:
            return data[:at]
        if pick == 2:
            return data[:at] + b"<![CDATA[" + data[at:at + 9] + b"]]>" + \
                data[at + 9:]
        if pick == 3:
            return data[:at] + b"<!--" + data[at:at + 5] + b"-->" + \
                data[at + 5:]
        if pick == 4:
            return data[:at] + rng.choice([b"&amp;", b"&#x41;", b"&lt;",
                                           b"&bad;", b"&#0;"]) + data[at:]
        if pick == 5:
            return b"<!DOCTYPE x>" + data
        if pick == 6:
            tag = rng.choice([b"gmd:minimumValue", b"gco:Real",
                              b"gmi:acquisitionInformation",
                              b"gco:CharacterString", b"gmd:CI_Citation"])
            return data[:at] + b"<" + tag + b">" + data[at:]
        if pick == 7:
            return data[:at] + b"\0" + data[at:]
        if pick == 8:
            start = data.find(b"<gmd:")
            if start < 0:
                return data
            end = data.find(b">", start)
            return data[:start] + data[start:end + 1] * 2 + data[end + 1:]
        return data.replace(b"gml/3.2", b"gml/3.1", rng.randrange(2))

    def test_mutated_documents_agree(self):
        seeds = [data for _, data in corpus_documents()]
        seeds.append(document(platforms=["A", "B"],
                              citations=["T.csar"]).encode())
        rng = random.Random(20261208)
        deadline = time.monotonic() + FUZZ_SECONDS
        runs = 0
        while time.monotonic() < deadline:
            data = rng.choice(seeds)
            for _ in range(rng.randrange(1, 4)):
                data = self.mutations(rng, data)
            form = data
            if rng.random() < 0.2:
                form = data.decode("utf-8", "replace")
            runs += 1
            streamed = outcome(form)
            if (streamed != outcome(form, LibraryProxy()) or
                    streamed != twin_outcome(form)):
                self.fail("disagreement on %r" % (form[:200],))
        sys.stderr.write("[%d mutated documents in %.0f s] "
                         % (runs, FUZZ_SECONDS))
        self.assertGreater(runs, 10)


class UntouchedLibraryTest(unittest.TestCase):
    """A change of the library or of the table goes the library's way, in
    a child so that the change stays there."""

    def run_code(self, code):
        child = support.run_child("import sys\n" + code)
        self.assertEqual(child.returncode, 0, child.stderr)
        return child.stdout.split()

    def test_patched_library_and_table(self):
        found = self.run_code("""
import xml.etree.ElementTree as ET
from tests.documents import document, Raster
from bathyra import metadata_parser as mp
doc = document()
mp.extract_metadata(Raster(doc))
original = ET.fromstring
seen = []
def patched(text):
    seen.append(1)
    return original(text)
ET.fromstring = patched
mp.extract_metadata(Raster(doc))
print(len(seen))
ET.fromstring = original
mp.XML_NS["gml"] = "http://www.opengis.net/gml"
try:
    mp.extract_metadata(Raster(doc))
except AttributeError as error:
    print("missing")
# Undone, the changes leave the reader in use again.
mp.XML_NS["gml"] = "http://www.opengis.net/gml/3.2"
raster = Raster(doc)
mp.extract_metadata(raster)  # registers the namespaces again
calls = []
sys.setprofile(lambda frame, event, arg: calls.append(event))
mp.extract_metadata(raster)
sys.setprofile(None)
print(calls.count("call"))
""")
        self.assertEqual(found, ["1", "missing", "0"])


if __name__ == "__main__":
    unittest.main()
