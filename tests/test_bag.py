"""BAG files: reading their metadata with the HDF5 library, the failures
that name what is wrong, and the command line on them."""
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import unittest

from bathyra import bag, survey
from bathyra import metadata_parser as mp
from bathyra._traceback_lines import Line

from tests import support
from tests import documents
from tests.documents import depth_range, document, survey_document

needs_hdf5 = unittest.skipUnless(bag.available(),
                                 "built without the HDF5 library")
needs_corpus = unittest.skipUnless(
    os.path.isdir(support.CORPUS_BAG),
    "the shared corpus (../shared/corpus/bag) is absent")


def corpus(name):
    return os.path.join(support.CORPUS_BAG, name)


@needs_hdf5
@needs_corpus
class CorpusTest(unittest.TestCase):

    def test_survey_record(self):
        with bag.open(corpus("vr_survey_2022_gzip.bag")) as survey:
            self.assertEqual(survey.bag_version, "1.6.0")
            record = mp.extract_metadata(survey)
        self.assertEqual(record["SURSTA"], "20220815")
        self.assertEqual(record["SUREND"], "20220815")
        self.assertEqual((record["DRVAL1"], record["DRVAL2"]),
                         (20.043592, 24.906928))
        self.assertNotIn(",", record["planam"])
        self.assertTrue(record["planam"])
        self.assertNotIn(".csar", record["OBJNAM"])
        # The same document copied out of the file, NUL included.
        with open(os.path.join(support.CORPUS_REAL,
                               "bag_embedded_v16_vr_survey_2022.xml"),
                  "rb") as stream:
            copied = stream.read()
        self.assertTrue(copied.endswith(b"\0"))
        self.assertEqual(survey.iso19139_xml, copied.rstrip(b"\0"))
        self.assertEqual(mp.extract_metadata(bag.BagFile(
            "x", copied.rstrip(b"\0"), None)), record)

    def test_footprints(self):
        # Each file's footprint lies within its metadata's box widened by
        # a node; two were checked by hand against GDAL's own reading of
        # the file (gdal_polygonize of the valid nodes): the whole grid of
        # v200_georef_vr_layers.bag, and the two pieces (one with 17
        # holes) of legacy_v14_smxml_grid.bag.
        expected = {"legacy_v14_smxml_grid.bag": ("MultiPolygon", [0, 17]),
                    "v200_georef_vr_layers.bag": ("Polygon", [0])}
        for name in sorted(os.listdir(support.CORPUS_BAG)):
            if not name.endswith(".bag"):
                continue
            with self.subTest(name=name):
                result = survey.read_survey(corpus(name), grid=True)
                shape = result.footprint
                self.assertIn(shape["type"], ("Polygon", "MultiPolygon"))
                self.assertEqual(result.sources["footprint"], "grid")
                polygons = shape["coordinates"]
                if shape["type"] == "Polygon":
                    polygons = [polygons]
                if name in expected:
                    self.assertEqual(
                        (shape["type"],
                         sorted(len(polygon) - 1 for polygon in polygons)),
                        expected[name])
                if result.bbox is None:
                    continue
                west, south, east, north = result.bbox
                node = 0.001  # degrees: more than a node of these grids
                for x, y in (point for polygon in polygons
                             for point in polygon[0]):
                    self.assertTrue(west - node <= x <= east + node, x)
                    self.assertTrue(south - node <= y <= north + node, y)

    def test_files_without_a_gml32_period(self):
        for name, version in (("sample_v15.bag", "1.5.0"),
                              ("vr_empty_fields.bag", "1.6.2")):
            with self.subTest(name=name):
                survey = bag.open(corpus(name))
                self.assertEqual(survey.bag_version, version)
                self.assertFalse(survey.iso19139_xml.endswith(b"\0"))
                error = support.raised_by(mp.extract_metadata, survey)
                self.assertIs(type(error), AttributeError)
                self.assertEqual(support.module_entries(error), [
                    (support.MODULE_FILE, Line.find_begin_position,
                     support.CALL_FUNCTION)])

    def test_source_surveys(self):
        path = corpus("v200_georef_vr_layers.bag")
        result = survey.read_survey(path)
        self.assertEqual(result.source_surveys, ())
        self.assertIn("read with the grid (--grid)",
                      dict(result.problems)["source_surveys"])
        result = survey.read_survey(path, grid=True)
        self.assertNotIn("source_surveys", dict(result.problems))
        self.assertEqual(result.sources["source_surveys"],
                         "georeferenced metadata")
        # Counted by hand from the file's keys: each survey id with each
        # quality row; the refinements are (1, 1) and (3, 2).
        found = [(s.OBJNAM, s.SURATH, s.SURSTA, s.SUREND, s.DRVAL1, s.DRVAL2,
                  s.valid_nodes) for s in result.source_surveys]
        dates = [("20200808", "20200909"), ("20200506", "20200507"),
                 ("20200918", "20200929")]
        counts = [1089, 1089, 1122, 1089, 1089, 1122, 1122, 1122, 1156]
        expected = [(name, who) + dates[q] + (-1.23, -1.23, counts[3 * i + q])
                    for i, (name, who) in enumerate((
                        ("H12456", "USA1"), ("H67890", "USA1"),
                        ("TK421_20200101", "USA2")))
                    for q in range(3)]
        expected[0] = expected[0][:4] + (-8.888, -1.23, 1089 + 30000)
        expected[7] = expected[7][:4] + (-8.888, -1.23, 1122 + 10000)
        self.assertEqual(found, expected)
        self.assertEqual(sum(counts) + 40000, result.valid_nodes)
        first = result.source_surveys[0]
        self.assertEqual(first.quality, {
            "licenseName": "cc0",
            "licenseURL": "creativecommons.org/share-your-work/public-domain/"
                          "cc0/",
            "dataAssessment": 3, "leastDepthOfDetectedFeaturesMeasured": True,
            "significantFeaturesDetected": True,
            "sizeOfFeaturesDetected": 1.0, "featureSizeVar": 0.2,
            "fullSeafloorCoverageAchieved": True, "bathyCoverage": True,
            "horizontalPositionUncertainty": {
                "uncertaintyFixed": 0.5, "uncertaintyVariableFactor": 0.2}})
        self.assertEqual(first.sources["OBJNAM"], "georeferenced metadata")
        self.assertEqual(first.sources["DRVAL1"], "grid")
        self.assertEqual(first.sources["footprint"], "grid")
        self.assertEqual(result.to_dict()["source_surveys"][0],
                         first.to_dict())
        # Each survey's footprint is its own part of the grid (the keys
        # are 3 x 3 rectangles of it): within the file's footprint, and
        # together they make its area, without overlapping.
        outline = support.bounds(result.footprint)
        shapes = [s.footprint for s in result.source_surveys]
        self.assertEqual([s["type"] for s in shapes], ["Polygon"] * 9)
        for shape in shapes:
            self.assertTrue(support.within(support.bounds(shape), outline))
        self.assertAlmostEqual(sum(map(support.area, shapes)) /
                               support.area(result.footprint), 1.0, places=4)
        self.assertEqual([p for s in result.source_surveys
                          for p in s.problems if p[0] == "footprint"], [])


@needs_hdf5
class ReadWriteTest(unittest.TestCase):

    def setUp(self):
        self.tmp = support.temporary_directory(self)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def test_layouts_read_back(self):
        doc = document(platforms=["V"]).encode()
        expected = mp.extract_metadata(bag.BagFile("x", doc, None))
        layouts = [dict(), dict(chunk=64, compress=9), dict(chunk=7),
                   dict(element="int8"), dict(version=None)]
        for layout in layouts:
            with self.subTest(layout=layout):
                bag.write(self.path("a.bag"), doc + b"\0\0", **layout)
                survey = bag.open(self.path("a.bag"))
                self.assertEqual(survey.iso19139_xml, doc)
                self.assertEqual(survey.bag_version,
                                 layout.get("version", "1.6.2"))
                self.assertEqual(mp.extract_metadata(survey), expected)
        bag.write(self.path("b.bag"), doc)
        self.assertEqual(bag.open(os.fsencode(self.path("b.bag"))).
                         iso19139_xml, doc)

    def test_failures_name_file_and_fault(self):
        bag.write(self.path("whole.bag"),
                  document(platforms=["V"] * 2000).encode(), chunk=512)
        with open(self.path("whole.bag"), "rb") as stream:
            data = stream.read()
        with open(self.path("truncated.bag"), "wb") as stream:
            stream.write(data[:len(data) // 3])
        with open(self.path("text.bag"), "w") as stream:
            stream.write("<gmi:MI_Metadata/>")
        bag.write(self.path("none.bag"), b"", element="none")
        bag.write(self.path("empty.bag"), b"")
        bag.write(self.path("float.bag"), b"\0" * 64, element="float64")
        cases = [("truncated.bag", "damaged or truncated"),
                 ("text.bag", "not an HDF5 file"),
                 ("none.bag", "no metadata dataset /BAG_root/metadata"),
                 ("empty.bag", "is empty"),
                 ("float.bag", "floating-point elements of 8 bytes")]
        for name, fault in cases:
            with self.subTest(name=name):
                with self.assertRaises(bag.BagError) as caught:
                    bag.open(self.path(name))
                self.assertIn(self.path(name), str(caught.exception))
                self.assertIn(fault, str(caught.exception))
        with self.assertRaises(FileNotFoundError):
            bag.open(self.path("missing.bag"))

    def test_grids_written_here(self):
        doc = document(platforms=["V"]).encode()
        fill = 1000000.0

        def elevation(name, **grid):
            path = self.path(name)
            bag.write(path, doc, grid=grid)
            return bag.open(path, grid=True).elevation

        # A grid all fill: no range, not one invented from the fill.
        found = elevation("fill.bag", shape=(300, 200), tile=[[fill]],
                          uncertainty=[[fill]], attributes=(fill, fill),
                          chunk=64, compress=6)
        self.assertEqual(found[:4], (None, None, None, 0))
        self.assertIn("give no range (minimum 1000000", found.problems[0])
        # Refinements: cell 1 has none, one of cell 0's nodes is fill, an
        # uncertainty of 0 is none; a grid larger than one block of nodes.
        found = elevation(
            "vr.bag", shape=(2, 2), tile=[[-5.0, fill], [-7.0, -6.0]],
            uncertainty=[[0.5, fill], [0.0, 0.7]], attributes=(-7.0, -5.0),
            cells=[(0, 2, 2), (0xFFFFFFFF, 0, 0), (4, 1, 1), (5, 2, 1)],
            refinements=[(-4.0, 0.1), (fill, fill), (-8.5, 0.2),
                         (-6.0, 0.0), (-9.0, 0.3), (-5.5, 0.25),
                         (-6.5, 0.05)])
        self.assertEqual(found, bag.Elevation(
            (-7.0, -5.0), (-9.0, -4.0), (0.05, 0.7), 9, ()))
        found = elevation("large.bag", shape=(2100, 2500),
                          tile=[[-3.0, fill, -2.5]], chunk=100)
        self.assertEqual(found[1:4], ((-3.0, -2.5), None, 2100 * 1667))
        # Damaged chunks, a refinement index beyond its refinements, and
        # declared sizes beyond the reader's bounds cost the grid only.
        for name, grid, words in (
                ("damaged.bag", dict(chunk=50, compress=6, layout="damaged"),
                 "cannot be read (damaged"),
                ("beyond.bag", dict(cells=[(0, 1, 1)] * 9999 + [(0, 2, 2)],
                                    refinements=[(-1.0, 0.1)]),
                 "(row 99, column 99) lie beyond the 1 refinement nodes"),
                ("huge.bag", dict(shape=(300000, 300000), chunk=256,
                                  layout="declared"),
                 "declares 300000 x 300000 nodes, more than the reader"),
                ("chunks.bag", dict(shape=(30000, 30000), chunk=20000,
                                    layout="declared"),
                 "chunks of 20000 x 20000 nodes, more than the reader")):
            with self.subTest(name=name):
                found = elevation(name, **dict(dict(
                    shape=(100, 100), tile=[[-1.0]],
                    attributes=(-1.0, -1.0)), **grid))
                self.assertEqual(found[:4], ((-1.0, -1.0), None, None, None))
                self.assertEqual(len(found.problems), 1)
                self.assertIn(words, found.problems[0])
                result = survey.read_survey(self.path(name), grid=True)
                self.assertEqual((result.DRVAL1, result.sources["DRVAL1"]),
                                 (1.5, "metadata"))
                self.assertIn(("valid_nodes", found.problems[0]),
                              result.problems)
        # The library's crash in the grid pass costs the grid only.  (Under
        # the sanitizers, their own handler decides how the process ends.)
        if support.SANITIZED:
            return
        send = bag._helper._send

        def crash_on_grid(request):
            pid = bag._helper.process.pid
            if not request[12] & 4:  # the parts asked for: not the grid
                return send(request)
            os.kill(pid, signal.SIGSTOP)
            send(request)
            os.kill(pid, signal.SIGSEGV)
            os.kill(pid, signal.SIGCONT)

        bag._helper._send = crash_on_grid
        try:
            result = survey.read_survey(self.path("large.bag"), grid=True)
        finally:
            bag._helper._send = send
        self.assertEqual((result.DRVAL1, result.valid_nodes), (1.5, None))
        self.assertIn("the elevation grid could not be read: the HDF5 "
                      "library failed on this file",
                      dict(result.problems)["valid_nodes"])

    def test_footprints_written_here(self):
        fill = 1000000.0

        def footprint(name, shape, tile, placed=None, **grid):
            rows, cols = shape
            placed = placed or (rows, cols, "500005,5000005 %d,%d" % (
                500005 + 10 * (cols - 1), 5000005 + 10 * (rows - 1)))
            doc = document(grid=placed + (10.0, "32619")).encode()
            bag.write(self.path(name), doc,
                      grid=dict(grid, shape=shape, tile=tile))
            result = survey.read_survey(self.path(name), grid=True)
            return result, [message for attribute, message in result.problems
                            if attribute == "footprint"]

        # A hole of 10 x 10 nodes in a grid of 40 x 40: a Polygon with one
        # hole, 400 m across, south-west at (500000, 5000000) in UTM 19N.
        holed = [[fill if 15 <= r < 25 and 15 <= c < 25 else -2.0
                  for c in range(40)] for r in range(40)]
        result, problems = footprint("hole.bag", (40, 40), holed)
        self.assertEqual(problems, [])
        self.assertEqual(result.sources["footprint"], "grid")
        shape = result.footprint
        self.assertEqual(shape["type"], "Polygon")
        self.assertEqual([len(ring) for ring in shape["coordinates"]], [5, 5])
        west = min(x for x, y in shape["coordinates"][0])
        south = min(y for x, y in shape["coordinates"][0])
        east = max(x for x, y in shape["coordinates"][0])
        # The corners as PROJ gives them (cs2cs EPSG:32619 EPSG:4326).
        self.assertAlmostEqual(west, -69.0, places=6)
        self.assertAlmostEqual(south, 45.1534772, places=6)
        self.assertAlmostEqual(east, -68.9949112, places=6)
        # Two islands: a MultiPolygon.
        islands = [[-1.0 if c < 5 or c >= 15 else fill for c in range(20)]]
        result, problems = footprint("islands.bag", (20, 20), islands)
        self.assertEqual((result.footprint["type"],
                          len(result.footprint["coordinates"])),
                         ("MultiPolygon", 2))
        # No valid node, a size or corner that does not fit the grid: no
        # footprint, and a problem that says why; the grid's fields stay.
        for name, placed, words in (
                ("fill.bag", None, "the grid has no valid node"),
                ("size.bag", (40, 41, "500005,5000005 500405,5000395"),
                 "the metadata gives a grid of 40 rows by 41 columns, the "
                 "file holds 40 by 40: no footprint"),
                ("corner.bag", (40, 40, "500005,5000005 500005,4999000"),
                 "north-east corner point is not north-east of its "
                 "south-west")):
            with self.subTest(name=name):
                result, problems = footprint(
                    name, (40, 40), [[fill]] if name == "fill.bag" else
                    [[-1.0]], placed)
                self.assertIsNone(result.footprint)
                self.assertNotIn("footprint", result.sources)
                self.assertEqual(len(problems), 1)
                self.assertIn(words, problems[0])
                self.assertIsNotNone(result.valid_nodes)
        # A checkerboard traces cell by cell only at a cost: in blocks of 2
        # its outline is one square.
        result, problems = footprint("noisy.bag", (600, 600),
                                     [[-1.0, fill], [fill, -1.0]], chunk=100)
        self.assertEqual(problems, [
            "footprint traced in blocks of 2 x 2 nodes (the valid nodes "
            "have too ragged an outline to trace finer)"])
        self.assertEqual([len(ring) for ring in
                          result.footprint["coordinates"]], [5])
        # 10000 holes of a node: more than 1 MiB of GeoJSON node by node,
        # so traced again in blocks of 2, where they vanish.
        tile = [[fill if (r, c) == (5, 6) else -1.0 for c in range(10)]
                for r in range(10)]
        result, problems = footprint("holes.bag", (1000, 1000), tile,
                                     chunk=100)
        self.assertEqual(problems, [
            "footprint traced in blocks of 2 x 2 nodes (node by node its "
            "outline would take more than 1 MiB)"])
        self.assertEqual([len(ring) for ring in
                          result.footprint["coordinates"]], [5])
        # Beyond 16 million nodes, blocks.
        result, problems = footprint("huge.bag", (4200, 4000), [[-1.0]],
                                     chunk=500)
        self.assertEqual(problems, [
            "footprint traced in blocks of 2 x 2 nodes (the grid has more "
            "than 16 million nodes)"])
        self.assertEqual(result.footprint["type"], "Polygon")

    def test_georeferenced_layers_written_here(self):
        doc = document().encode()
        fill = 1000000.0
        sources = dict(name="sources", members=[
            ("source_survey_id", 8), ("source_institution", 4),
            ("survey_date_start", 24), ("survey_date_end", 12)],
            rows=[("", "", "", ""), ("S1", "AA", "2019-04-01 00:00:00.0Z",
                                     "2019-05"),
                  ("S2", "BB", "", "not a date"), ("S3", "CC", "", "")])
        quality = dict(name="quality", members=[("feature_size", 0), ("other", 2)],
                       rows=[(0.0, ""), (2.5, "x")])

        def read(name, layers, grid=True, **more):
            path = self.path(name)
            bag.write(path, doc, grid=dict(dict(
                shape=(2, 3), tile=[[-1.0, -2.0, fill], [-3.0, -4.0, -5.0]],
                layers=layers), **more))
            return survey.read_survey(path, grid=grid)

        # Rows 1 and 2 of one layer; the fill node's key counts for none;
        # key 9 lies beyond the table; row 3 is referenced by no node.
        result = read("one.bag", [dict(sources, keys=[[1, 1, 3], [2, 9, 0]])])
        self.assertEqual([(s.OBJNAM, s.SURATH, s.SURSTA, s.SUREND, s.DRVAL1,
                           s.DRVAL2, s.valid_nodes, s.quality)
                          for s in result.source_surveys],
                         [("S1", "AA", "20190401", "201905", 1.0, 2.0, 2,
                           None),
                          ("S2", "BB", None, None, 3.0, 3.0, 1, None)])
        self.assertIn(("SUREND", 'the survey end date of the georeferenced '
                       'metadata: "not a date" is not a date'),
                      result.source_surveys[1].problems)
        # The metadata does not place the grid: no footprint, for the file
        # and each of its surveys, with the file's reason.
        self.assertIsNone(result.source_surveys[0].footprint)
        self.assertEqual(dict(result.source_surveys[0].problems)["footprint"],
                         dict(result.problems)["footprint"])
        said = [m for a, m in result.problems if a == "source_surveys"]
        self.assertEqual(len(said), 2, said)
        self.assertIn('1 node of the georeferenced metadata layer '
                      '"sources" has a key beyond its table of 4 rows', said[0])
        self.assertIn('row 3 of the table of the georeferenced metadata '
                      'layer "sources" is referenced by no node', said[1])
        # Without the grid: a problem and no pass.
        result = read("one.bag", [dict(sources, keys=[[1, 1, 3], [2, 9, 0]])],
                      grid=False)
        self.assertEqual(result.source_surveys, ())
        self.assertIn("(--grid)", dict(result.problems)["source_surveys"])
        # Two layers (in the group's other spelling): a record per
        # combination, in the order of their rows, layer by layer in the
        # order of their names; the refinements have keys of their own.
        result = read("two.bag", [
            dict(sources, keys=[[1, 1, 1], [2, 2, 3]], refined_keys=[3, 1],
                 group="georef_metadata"),
            dict(quality, keys=[[1, 0, 0], [1, 0, 0]], refined_keys=[0, 1],
                 group="georef_metadata")],
            cells=[(0, 1, 2)] + [(0xFFFFFFFF, 0, 0)] * 5,
            refinements=[(-7.0, 0.1), (-8.0, 0.1)])
        self.assertEqual([(s.OBJNAM, s.valid_nodes, s.DRVAL1, s.DRVAL2,
                           s.quality) for s in result.source_surveys], [
            ("S1", 1, 2.0, 2.0, None), ("S2", 1, 4.0, 4.0, None),
            ("S3", 2, 5.0, 7.0, None),
            ("S1", 2, 1.0, 8.0, {"sizeOfFeaturesDetected": 2.5}),
            ("S2", 1, 3.0, 3.0, {"sizeOfFeaturesDetected": 2.5})])
        self.assertNotIn("source_surveys", dict(result.problems))
        # A damaged layer costs its own fields only.
        result = read("damaged.bag", [
            dict(sources, keys=[[1, 1, 1], [2, 2, 3]]),
            dict(quality, keys=[[1, 1, 1], [1, 1, 1]], damaged=True)])
        self.assertEqual([(s.OBJNAM, s.valid_nodes, s.quality)
                          for s in result.source_surveys],
                         [("S1", 2, None), ("S2", 2, None), ("S3", 1, None)])
        self.assertEqual(result.valid_nodes, 5)
        self.assertIn('the keys of the georeferenced metadata layer '
                      '"quality" cannot be read',
                      dict(result.problems)["source_surveys"])
        # A grid of more nodes than the keys read at once.
        wide = dict(sources, keys=[[1 if r < 250 else 2] * 300
                                   for r in range(300)])
        result = read("wide.bag", [wide], shape=(300, 300), tile=[[-1.0]])
        self.assertEqual([s.valid_nodes for s in result.source_surveys],
                         [75000, 15000])
        # More combinations than the bound: none is listed.
        many = dict(name="many", members=[("source_survey_id", 6)],
                    rows=[("",)] + [("S%d" % n,) for n in range(1, 4901)],
                    keys=[[70 * r + c + 1 for c in range(70)]
                          for r in range(70)])
        result = read("many.bag", [many], shape=(70, 70), tile=[[-1.0]])
        self.assertEqual(result.source_surveys, ())
        self.assertIn("more than 4096 combinations of rows",
                      dict(result.problems)["source_surveys"])

    def test_nonsense_limits_and_timeouts_are_refused(self):
        bag.write(self.path("a.bag"), b"<a/>")
        refused = [(dict(timeout=-1), ValueError),
                   (dict(timeout=0), ValueError),
                   (dict(timeout=math.nan), ValueError),
                   (dict(timeout=-math.inf), ValueError),
                   (dict(timeout="5"), TypeError),
                   (dict(timeout=True), TypeError),
                   (dict(limit=-1), ValueError),
                   (dict(limit=bag.MAX_LIMIT + 1), ValueError),
                   (dict(limit=math.nan), TypeError),
                   (dict(limit=1000.0), TypeError),
                   (dict(limit="1000"), TypeError),
                   (dict(limit=False), TypeError)]
        for options, kind in refused:
            for isolated in (True, False):
                with self.subTest(options=options, isolated=isolated):
                    with self.assertRaises(kind):
                        bag.open(self.path("a.bag"), isolated=isolated,
                                 **options)
        # No bound: None, infinity, or more seconds than select() takes.
        for timeout in (None, math.inf, 1e300, 10 ** 400, 30):
            with self.subTest(timeout=timeout):
                self.assertEqual(bag.open(self.path("a.bag"),
                                          timeout=timeout).iso19139_xml,
                                 b"<a/>")

    def test_concurrent_readers(self):
        docs = [document(platforms=["P%d" % i]).encode() for i in range(4)]
        for i, doc in enumerate(docs):
            bag.write(self.path("%d.bag" % i), doc, chunk=128, compress=4)
        results = {}
        errors = []

        def work(i):
            try:
                for _ in range(25):
                    survey = bag.open(self.path("%d.bag" % i))
                    results[i] = mp.extract_metadata(survey)["planam"]
            except Exception as error:  # pragma: no cover
                errors.append(error)
        threads = [threading.Thread(target=work, args=(i,))
                   for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])
        self.assertEqual(results, {i: "P%d" % i for i in range(4)})


class CommandLineTest(unittest.TestCase):

    def setUp(self):
        self.tmp = support.temporary_directory(self)

    @needs_hdf5
    def test_mixed_directory(self):
        folder = os.path.join(self.tmp, "surveys")
        os.makedirs(folder)
        good = document(platforms=["Launch"]).encode()
        bag.write(os.path.join(folder, "a_good.bag"), good, chunk=100,
                  compress=6)
        with open(os.path.join(folder, "b_copied.xml"), "wb") as stream:
            stream.write(good + b"\0")
        with open(os.path.join(folder, "c_text.bag"), "wb") as stream:
            stream.write(good)
        bag.write(os.path.join(folder, "d_none.bag"), b"", element="none")
        with open(os.path.join(folder, "a_good.bag"), "rb") as stream:
            data = stream.read()
        with open(os.path.join(folder, "e_truncated.bag"), "wb") as stream:
            stream.write(data[:800])
        result = support.run_cli("--strict", "--json", folder)
        self.assertEqual(result.returncode, 1)
        records = [json.loads(line) for line in result.stdout.splitlines()]
        records = [r for r in records if "error" not in r]
        self.assertEqual([os.path.basename(r["file"]) for r in records],
                         ["a_good.bag", "b_copied.xml"])
        self.assertEqual(records[0]["planam"], "Launch")
        self.assertEqual({k: v for k, v in records[0].items()
                          if k != "file"},
                         {k: v for k, v in records[1].items()
                          if k != "file"})
        errors = result.stderr.splitlines()[:-1]  # and the count
        self.assertEqual(len(errors), 3, errors)
        self.assertIn("c_text.bag: not read: BagError: not an HDF5 file",
                      errors[0])
        self.assertIn("d_none.bag: not read: BagError: no metadata dataset",
                      errors[1])
        self.assertIn("e_truncated.bag: not read: BagError:", errors[2])

    @needs_hdf5
    def test_depths_from_the_grid(self):
        folder = os.path.join(self.tmp, "grids")
        os.makedirs(folder)
        silent = document(minimum=documents._OMIT, maximum=documents._OMIT)
        bag.write(os.path.join(folder, "a_silent.bag"), silent.encode(),
                  grid=dict(shape=(40, 30), tile=[[-4.0, -9.5]],
                            attributes=(-10.0, -4.0), chunk=16))
        bag.write(os.path.join(folder, "b_stated.bag"), document().encode(),
                  grid=dict(shape=(4, 4), tile=[[-2.0, -30.0]],
                            uncertainty=[[0.25, 0.5]]))
        lines = {}
        for form in ((), ("--grid",)):
            result = support.run_cli("--json", *form, folder)
            self.assertEqual(result.returncode, 0, result.stderr)
            lines[form] = ([json.loads(line)
                            for line in result.stdout.splitlines()],
                           result.stderr.splitlines())
        (silent_record, stated_record), gaps = lines[()]
        self.assertEqual((silent_record["DRVAL1"], silent_record["DRVAL2"],
                          silent_record["valid_nodes"]), (4.0, 10.0, None))
        self.assertEqual(silent_record["sources"]["DRVAL1"],
                         "elevation attributes")
        self.assertIn("a_silent.bag: gaps: ", gaps[0])
        self.assertIn("; DRVAL1, DRVAL2 from the elevation attributes;",
                      gaps[0])
        self.assertNotIn("DRVAL1", dict(stated_record["problems"]))
        (silent_record, stated_record), gaps = lines[("--grid",)]
        self.assertEqual((silent_record["DRVAL1"], silent_record["DRVAL2"],
                          silent_record["valid_nodes"]), (4.0, 9.5, 1200))
        self.assertEqual(silent_record["sources"]["DRVAL2"], "grid")
        self.assertIn("; DRVAL1, DRVAL2: the elevation attributes of the "
                      "BAG file (depths 4.0 to 10.0 m) disagree with its "
                      "grid (depths 4.0 to 9.5 m); footprint: the metadata "
                      "does not place the grid (no georectified grid with "
                      "its size and corner points): no footprint; DRVAL1, "
                      "DRVAL2 from the grid;", gaps[0])
        self.assertEqual(stated_record["uncertainty_range"], [0.25, 0.5])
        self.assertEqual(stated_record["sources"]["DRVAL1"], "metadata")
        self.assertIn("b_stated.bag: gaps: ", gaps[1])
        self.assertIn("DRVAL1, DRVAL2: the depth range in the metadata "
                      "(1.5 to 35.2 m) differs from the depths of the grid "
                      "(2.0 to 30.0 m)", gaps[1])

    @needs_hdf5
    def test_geojson_draws_footprints(self):
        folder = os.path.join(self.tmp, "footprints")
        os.mkdir(folder)
        fill = 1000000.0
        # Two source surveys side by side in the whole grid: W in its
        # western half, E in its eastern.
        sources = dict(name="sources", members=[("source_survey_id", 4)],
                       rows=[("",), ("W",), ("E",)],
                       keys=[[1] * 10 + [2] * 10] * 20)
        for name, tile, layers in (
                ("a_whole.bag", [[-1.0]], [sources]),
                ("b_islands.bag", [[-1.0 if c < 5 or c >= 15 else fill
                                    for c in range(20)]], [])):
            doc = document(grid=(20, 20, "500005,5000005 500195,5000195",
                                 10.0, "32619")).encode()
            bag.write(os.path.join(folder, name), doc,
                      grid=dict(shape=(20, 20), tile=tile, layers=layers))
        result = support.run_cli("--geojson", "--grid", folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        features = json.loads(result.stdout)["features"]
        # One layer of MultiPolygons: the whole grid's Polygon as one part,
        # so too each source survey's, after its file's.
        self.assertEqual([(feature["geometry"]["type"],
                           len(feature["geometry"]["coordinates"]),
                           os.path.basename(feature["properties"]["file"]))
                          for feature in features],
                         [("MultiPolygon", 1, "a_whole.bag"),
                          ("MultiPolygon", 1, "a_whole.bag#source:W"),
                          ("MultiPolygon", 1, "a_whole.bag#source:E"),
                          ("MultiPolygon", 2, "b_islands.bag")])
        self.assertEqual(features[1]["properties"]["OBJNAM"], "W")
        self.assertAlmostEqual(features[0]["bbox"][0], -69.0, places=6)
        whole, west, east = features[:3]
        self.assertEqual(west["bbox"][0], whole["bbox"][0])
        self.assertEqual(east["bbox"][2], whole["bbox"][2])
        self.assertTrue(west["bbox"][2] < east["bbox"][2])
        for half in (west, east):
            self.assertTrue(support.within(half["bbox"], whole["bbox"]))
            self.assertAlmostEqual(support.area(half["geometry"]) /
                                   support.area(whole["geometry"]), 0.5,
                                   places=3)
        ogrinfo = shutil.which("ogrinfo")
        if ogrinfo is None:
            self.skipTest("GDAL's ogrinfo is not installed")
        written = os.path.join(self.tmp, "footprints.geojson")
        with open(written, "w") as out:
            out.write(result.stdout)
        read = subprocess.run([ogrinfo, "-ro", "-al", "-so", written],
                              capture_output=True, text=True)
        self.assertEqual(read.returncode, 0, read.stderr)
        self.assertIn("Geometry: Multi Polygon", read.stdout)
        self.assertIn("Feature Count: 4", read.stdout)

    @needs_hdf5
    def test_check_lists_what_contradicts_the_metadata(self):
        # Metadata depths 1.5 to 35.2 m over a grid of 1 to 2 m, no vertical
        # CRS, and a source survey dated after the survey period.
        path = os.path.join(self.tmp, "claims.bag")
        bag.write(path, document(begin="2019-03-14", end="2019-03-31").encode(),
                  grid=dict(shape=(2, 2), tile=[[-1.0, -2.0]], layers=[dict(
                      name="sources", members=[("source_survey_id", 4),
                                               ("survey_date_start", 24),
                                               ("survey_date_end", 12)],
                      rows=[("", "", ""), ("S1", "2019-03-20", "2019-04")],
                      keys=[[1, 1], [1, 1]])]))
        clean = os.path.join(self.tmp, "clean.xml")
        with open(clean, "w") as stream:
            stream.write(survey_document("T", extents=depth_range(
                "1", "2", '<gmd:verticalCRS xlink:href="urn:ogc:def:crs:'
                'EPSG::5715"/>')))
        result = support.run_cli("--check", path, clean)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual([line[len(path) + 2:].split(":")[0]
                          for line in result.stdout.splitlines()],
                         ["vertical_crs", "DRVAL1, DRVAL2", "source_surveys"])
        self.assertIn('source survey "S1" (20190320 to 201904) fall outside '
                      'the survey period of the metadata (20190314 to '
                      '20190331)', result.stdout)
        self.assertEqual(result.stderr, "")
        result = support.run_cli("--check", clean)
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    def test_source_survey_rows(self):
        path = os.path.join(self.tmp, "layers.bag")
        bag.write(path, document().encode(), grid=dict(
            shape=(2, 2), tile=[[-1.0, -2.0]], layers=[dict(
                name="sources", members=[("source_survey_id", 4)],
                rows=[("",), ("S1",), ("",)], keys=[[1, 1], [2, 2]])]))
        result = support.run_cli("--grid", "--csv", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = result.stdout.splitlines()[1:]
        self.assertEqual([row.split(",")[0][len(path):] for row in rows],
                         ["", "#source:S1", "#source:2"])
        self.assertEqual(rows[1].split(",")[3:5], ["1.0", "2.0"])
        self.assertNotIn("#source", result.stderr)  # their gaps: in JSON
        result = support.run_cli("--grid", path)
        self.assertIn(path + "#source:S1 ", result.stdout)
        result = support.run_cli("--grid", "--json", path)
        (line,) = result.stdout.splitlines()
        self.assertEqual([s["OBJNAM"] for s in
                          json.loads(line)["source_surveys"]], ["S1", None])
        for form in ((), ("--csv",)):
            result = support.run_cli("--strict", *form, path)
            self.assertNotIn("#source", result.stdout)

    def test_without_bag_support(self):
        path = os.path.join(self.tmp, "x.bag")
        with open(path, "wb") as stream:
            stream.write(b"\x89HDF\r\n\x1a\n")
        code = ("import sys; sys.modules['bathyra._bag'] = None; "
                "sys.argv[0] = 'bathyra'; from bathyra.cli import main; "
                "sys.exit(main(sys.argv[1:]))")
        result = support.run_child(code, argv=[path])
        self.assertEqual(result.returncode, 1)
        self.assertIn("x.bag: not read: BAG support is not built",
                      result.stderr)
        self.assertIn("libhdf5-dev", result.stderr)


@needs_hdf5
class InterpreterTest(unittest.TestCase):

    def test_only_the_main_interpreter(self):
        # The HDF5 library and its lock are the process's: a
        # sub-interpreter is refused, and the main one still loads it.
        child = support.run_child(support.SUBINTERPRETER + textwrap.dedent("""
            import json
            found = {config: run_in_subinterpreter("import bathyra._bag",
                                                   config)
                     for config in ("legacy", "isolated")}
            from bathyra import _bag
            found["main"] = _bag.hdf5_version() is not None
            print(json.dumps(found))
            """))
        self.assertEqual(child.returncode, 0, child.stderr)
        found = json.loads(child.stdout.splitlines()[-1])
        self.assertTrue(found["main"])
        own = "bathyra._bag can only be loaded into the main interpreter"
        # From 3.12 the host refuses an isolated one itself, as the module
        # declares.
        isolated = ("module bathyra._bag does not support loading in "
                    "subinterpreters" if sys.version_info >= (3, 12)
                    else own)
        for config, text in (("legacy", own), ("isolated", isolated)):
            with self.subTest(config=config):
                self.assertIn("ImportError", found[config])
                self.assertIn(text, found[config])

    def test_a_sub_interpreter_leaves_the_main_one_reading(self):
        # Sub-interpreters import bathyra.bag without the library's module
        # and end, before and after the main one reads; it still reads,
        # writes and forks children that read.
        path = os.path.join(support.temporary_directory(self), "survey.bag")
        bag.write(path, b"<b/>")
        child = support.run_child(support.SUBINTERPRETER + textwrap.dedent("""
            import json, os
            path = sys.argv[1]
            SUB = (
                "from bathyra import bag\\n"
                "try:\\n"
                "    bag.open(%r)\\n"
                "    got = 'read'\\n"
                "except bag.BagSupportMissing as error:\\n"
                "    got = str(error)\\n"
                "print('sub:', bag.available(), got, flush=True)\\n" % path)
            failures = [run_in_subinterpreter(SUB, config)
                        for config in ("legacy", "isolated")]
            from bathyra import bag
            found = [len(bag.open(path).iso19139_xml)]
            failures += [run_in_subinterpreter(SUB, config)
                         for config in ("legacy", "isolated")]
            bag.write(path, b"<a/>")
            found += [bag.open(path).iso19139_xml.decode(),
                      bag.open(path, isolated=False).iso19139_xml.decode()]
            pid = os.fork()
            if pid == 0:
                os._exit(0 if bag.open(path).iso19139_xml == b"<a/>" else 1)
            found.append(os.waitpid(pid, 0)[1])
            print("main:", json.dumps([failures, found]))
            """), argv=[path])
        self.assertEqual(child.returncode, 0, child.stderr)
        lines = child.stdout.splitlines()
        self.assertEqual(json.loads(lines[-1][len("main:"):]),
                         [[""] * 4, [len(b"<b/>"), "<a/>", "<a/>", 0]])
        subs = lines[:-1]
        self.assertEqual(len(subs), 4, child.stdout)
        for line in subs:
            self.assertTrue(line.startswith(
                "sub: False BAG support is built but cannot be loaded "
                "here: "), line)
            self.assertTrue("main interpreter" in line
                            or "subinterpreters" in line, line)


if __name__ == "__main__":
    unittest.main()
