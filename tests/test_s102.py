"""S-102 files: the editions written here (2.1 with its metadata file,
2.2, 3.0 with one or several instances) read to a Survey, their source
surveys, the claims checked against the cells, damaged files, and the
command line on folders that hold them."""
import json
import os
import sys
import unittest
from unittest import mock

from bathyra import _s102, bag, s102, survey
from bathyra.survey import SurveyError

from tests import support

needs_hdf5 = unittest.skipUnless(bag.available(),
                                 "built without the HDF5 library")
F = s102.FILL
EXAMPLE = os.path.join(support.EXAMPLES_DIR, "survey_h13045_multibeam.xml")
# A 3 x 4 grid in UTM zone 19N, and bounds that hold it.
PLACE = dict(origin=(500000.0, 4800000.0), spacing=(10.0, 10.0))
BOUNDS = (-69.01, 43.34, -68.99, 43.36)
DEPTHS = [[1.5, 2.0, 3.0, F], [4.0, 5.0, 6.0, 7.0], [F, F, 9.0, 10.25]]
IDS = [[1, 1, 2, 0], [1, 2, 2, 5], [3, 3, 2, 2]]
FULL_TABLE = s102.TABLE_MEMBERS + (
    ("featuresDetected.significantFeaturesDetected", "b", 1),
    ("fullSeafloorCoverageAchieved", "b", 1),
    ("zoneOfConfidence.horizontalPositionUncertainty.uncertaintyFixed",
     "f", 4))
ROWS = [
    {"id": 1, "dataAssessment": 1, "sourceSurveyID": "H13045",
     "surveyAuthority": "Coastal Survey Office", "surveyDateRange.dateStart": "20190301",
     "surveyDateRange.dateEnd": "20190320",
     "featuresDetected.significantFeaturesDetected": 1,
     "fullSeafloorCoverageAchieved": 0,
     "zoneOfConfidence.horizontalPositionUncertainty.uncertaintyFixed": 2.5},
    {"id": 2, "dataAssessment": 2, "sourceSurveyID": "F00712",
     "surveyDateRange.dateStart": "20180611",
     "surveyDateRange.dateEnd": "20180702"},
    {"id": 3, "sourceSurveyID": "W00400"},  # its cells are all fill
    {"id": 4, "sourceSurveyID": "UNUSED"},
    {"id": 7, "sourceSurveyID": "UNUSED2"},
]


def instance(**changes):
    values = dict(PLACE, shape=(3, 4), depth=DEPTHS,
                  uncertainty=[[0.25, 0.5, 0.25, F]] * 3, range=(1.5, 10.25),
                  vertical_datum=12)
    values.update(changes)
    return values


@needs_hdf5
class EditionTest(support.FolderMixin, unittest.TestCase):

    def path(self, name):
        return os.path.join(self.tmp, name)

    def written(self, name, **options):
        options.setdefault("bounds", BOUNDS)
        options.setdefault("instances", [instance()])
        s102.write(self.path(name), **options)
        return self.path(name)

    def test_edition_2_1_with_its_metadata_file(self):
        with open(EXAMPLE, "rb") as stream:
            self.write("MD_H13045.XML", stream.read())
        path = self.written("h13045.h5", edition="2.1",
                            metadata="MD_H13045.XML")
        found = survey.read_survey(path)
        self.assertEqual(
            (found.OBJNAM, found.SURSTA, found.SUREND, found.planam),
            ("H13045_MB_1m_MLLW", "20190314", "20190320",
             "Survey Vessel One"))
        # The file's own attributes win over the metadata's depth range.
        self.assertEqual((found.DRVAL1, found.DRVAL2, found.VERDAT),
                         (1.5, 10.25, 12))
        self.assertEqual(found.vertical_datum, "Mean lower low water")
        self.assertEqual(found.horizontal_crs, "WGS 84 / UTM zone 19N")
        self.assertEqual(found.bbox, BOUNDS)
        self.assertEqual(
            found.sources,
            {"SURSTA": "metadata", "SUREND": "metadata",
             "DRVAL1": "S-102 attributes", "DRVAL2": "S-102 attributes",
             "vertical_crs": "S-102 attributes",
             "vertical_datum": "S-102 attributes",
             "VERDAT": "S-102 attributes", "OBJNAM": "metadata",
             "platforms": "metadata", "instruments": "metadata",
             "planam": "metadata", "bbox": "S-102 attributes",
             "horizontal_crs": "S-102 attributes"})
        self.assertIsNone(found.footprint)
        os.remove(self.path("MD_H13045.XML"))
        alone = survey.read_survey(path)
        self.assertEqual((alone.OBJNAM, alone.SURSTA, alone.sources["OBJNAM"]),
                         ("h13045", None, "file name"))
        self.assertIn("the metadata file MD_H13045.XML that the file names "
                      "cannot be read", dict(alone.problems)["metadata"])
        # The issue date is not a survey date.
        self.assertIn("its issue date is not one", dict(alone.problems)[
            "SURSTA"])

    def test_edition_2_2_source_surveys(self):
        path = self.written(
            "quality.h5", edition="2.2",
            quality=dict(ids=IDS, rows=ROWS,
                         members=FULL_TABLE))
        bare = survey.read_survey(path)
        # Without the grid: the period of the table's rows, no sources.
        self.assertEqual((bare.SURSTA, bare.SUREND, bare.source_surveys),
                         ("20180611", "20190320", ()))
        self.assertIn("read with the grid",
                      dict(bare.problems)["source_surveys"])
        found = survey.read_survey(path, grid=True)
        self.assertEqual((found.DRVAL1, found.DRVAL2, found.valid_nodes,
                          found.uncertainty_range),
                         (1.5, 10.25, 9, (0.25, 0.5)))
        self.assertEqual(found.footprint["type"], "Polygon")
        by_name = {source.OBJNAM: source for source in found.source_surveys}
        self.assertEqual(sorted(by_name), ["F00712", "H13045", "W00400"])
        first = by_name["H13045"]
        self.assertEqual(
            (first.SURATH, first.SURSTA, first.SUREND, first.DRVAL1,
             first.DRVAL2, first.valid_nodes, first.VERDAT),
            ("Coastal Survey Office", "20190301", "20190320", 1.5, 4.0, 3, 12))
        self.assertEqual(first.quality, {
            "dataAssessment": 1, "significantFeaturesDetected": True,
            "fullSeafloorCoverageAchieved": False,
            "horizontalPositionUncertainty": {"uncertaintyFixed": 2.5}})
        self.assertEqual(first.footprint["type"], "Polygon")
        self.assertEqual(first.sources["footprint"], "grid")
        self.assertEqual((by_name["F00712"].DRVAL1, by_name["F00712"].DRVAL2,
                          by_name["F00712"].SURATH), (3.0, 10.25, None))
        # No range, nor footprint, for a survey whose cells are all fill.
        fill = by_name["W00400"]
        self.assertEqual((fill.DRVAL1, fill.DRVAL2, fill.footprint,
                          fill.valid_nodes), (None, None, None, 0))
        problems = [text for name, text in found.problems
                    if name == "source_surveys"]
        self.assertEqual(problems, [
            "cells reference 1 row id that the quality table lacks (5)",
            "2 rows of the quality table are referenced by no cell (ids 4, "
            "7)"])
        self.assertEqual(found.SURSTA, "20180611")
        self.assertEqual(found.sources["SURSTA"], "S-102 quality table")
        # Row ids that cannot be read reference no row: the period is the
        # whole table's, as without the grid, and no row is called unused.
        path = self.written("idshape.h5", edition="2.2", quality=dict(
            ids=IDS[:2], shape=(2, 4), rows=ROWS, members=FULL_TABLE))
        unread = survey.read_survey(path, grid=True)
        self.assertEqual((unread.SURSTA, unread.SUREND, unread.DRVAL2),
                         ("20180611", "20190320", 10.25))
        self.assertEqual([text for name, text in unread.problems
                          if name == "source_surveys"],
                         ["BathymetryCoverage.01: the quality's row ids "
                          "/QualityOfSurvey/QualityOfSurvey.01/Group_001/"
                          "values does not have the shape of the depths of "
                          "BathymetryCoverage.01"])

    def test_edition_3_0_instances_per_vertical_datum(self):
        second = instance(depth=[[d + 0.5 if d != F else F for d in row]
                                 for row in DEPTHS],
                          vertical_datum=3, range=(2.0, 10.75))
        del second["uncertainty"]
        path = self.written(
            "datums.h5", instances=[instance(), second],
            quality=dict(ids=IDS, rows=ROWS[:2]))
        found = survey.read_survey(path, grid=True)
        self.assertEqual((found.DRVAL1, found.DRVAL2, found.VERDAT),
                         (1.5, 10.25, 12))
        self.assertIn("2 bathymetry instances on 2 vertical datums",
                      dict(found.problems)["VERDAT"])
        ranges = sorted((source.OBJNAM, source.VERDAT, source.vertical_datum,
                         source.DRVAL1, source.DRVAL2)
                        for source in found.source_surveys)
        self.assertEqual(ranges, [
            ("F00712", 3, "Mean sea level", 3.5, 10.75),
            ("F00712", 12, "Mean lower low water", 3.0, 10.25),
            ("H13045", 3, "Mean sea level", 2.0, 4.5),
            ("H13045", 12, "Mean lower low water", 1.5, 4.0)])
        contents = s102.read(path, grid=True, isolated=False)
        self.assertEqual([i.members for i in contents.instances],
                         [("depth", "uncertainty"), ("depth",)])
        self.assertIsNone(contents.instances[1].uncertainty_range)
        # Elsewhere, an instance takes the quality's instance of its own
        # number, else one of its origin and spacing, else none.
        path = self.written("placed.h5", instances=[
            instance(), instance(origin=(600000.0, 4800000.0)),
            instance(origin=(700000.0, 4800000.0))],
            quality=dict(ids=IDS, more_ids=[[[3] * 4] * 3], rows=ROWS[:3]))
        contents = s102.read(path, grid=True)
        self.assertEqual([sorted(i.cells or ()) for i in contents.instances],
                         [[1, 2, 3, 5], [3], []])
        self.assertIsNone(contents.instances[2].cells)
        self.assertIn(("quality", "BathymetryCoverage.03: the quality has no "
                       "instance QualityOfBathymetryCoverage.03, nor one of "
                       "its origin and spacing: no source surveys"),
                      contents.problems)

    def test_claims_against_the_cells(self):
        path = self.written("claims.h5", edition="3.0", crs=4326,
                            instances=[instance(range=(0.5, 12.0),
                                                origin=(-70.3, 43.6),
                                                spacing=(0.001, 0.001))],
                            bounds=(-70.3, 43.6, -70.2999, 43.6005))
        found = survey.read_survey(path, grid=True)
        problems = dict(found.problems)
        self.assertIn("(0.5 to 12.0 m) differ from the depths of its grid "
                      "(1.5 to 10.25 m)", problems["DRVAL1"])
        self.assertIn("do not hold its grid", problems["bbox"])
        self.assertEqual(found.horizontal_crs, "WGS 84")

    def test_across_the_antimeridian(self):
        # A UTM zone 60 grid over 180 degrees: the footprint is cut there
        # (not drawn the long way round), and bounds with west > east
        # hold it.
        path = self.written("anti.h5", crs=32660,
                            instances=[instance(origin=(700000.0, 5500000.0),
                                                spacing=(1000.0, 1000.0),
                                                shape=(3, 40),
                                                depth=[[10.0] * 40] * 3,
                                                uncertainty=None)],
                            bounds=(179.5, 49.5, -179.5, 50.0))
        found = survey.read_survey(path, grid=True)
        self.assertNotIn("bbox", dict(found.problems))
        self.assertEqual(found.footprint["type"], "MultiPolygon")
        longitudes = [x for polygon in found.footprint["coordinates"]
                      for ring in polygon for x, _ in ring]
        self.assertTrue(all(abs(x) > 179 for x in longitudes), longitudes)

    def test_stated_values_that_give_nothing(self):
        # (instance, root attributes) -> (field, its value, the problem
        # under it, why there is no footprint, or None for one)
        nothing = "the file states no horizontal CRS"
        not_epsg = "that the file states is no EPSG code"
        cases = [
            (dict(range=(F, F)), {}, "DRVAL1", None,
             "give no depth range (minimum 1000000.0, maximum 1000000.0)",
             None),
            (dict(range=(float("nan"), 5.0)), {}, "DRVAL2", None,
             "(minimum nan, maximum 5.0)", None),
            (dict(range=(50.0, 2.0)), {}, "DRVAL1", None,
             "(minimum 50.0, maximum 2.0)", None),
            ({}, {"horizontalCRS": ("U", 2 ** 63)}, "horizontal_crs", None,
             "the horizontal CRS 9223372036854775808 " + not_epsg,
             "CRS 9223372036854775808 " + not_epsg),
            ({}, {"horizontalCRS": -32619}, "horizontal_crs", None,
             "-32619 " + not_epsg, "-32619 " + not_epsg),
            ({}, {"horizontalCRS": ("d", 32619.0)}, "horizontal_crs", None,
             nothing, "gives no horizontal CRS"),
            ({}, {"horizontalCRS": ("d", 1e300)}, "horizontal_crs", None,
             nothing, "gives no horizontal CRS"),
            ({}, {"horizontalCRS": ("U", 2 ** 31 - 1)}, "horizontal_crs",
             "EPSG:2147483647", "names no horizontal CRS that PROJ knows",
             "horizontal CRS cannot be read"),
        ]
        for number, (changes, attributes, field, value, problem,
                     note) in enumerate(cases):
            with self.subTest(attributes or changes):
                path = self.written("stated%d.h5" % number,
                                    instances=[instance(**changes)],
                                    attributes=attributes)
                bare = survey.read_survey(path)
                self.assertEqual(getattr(bare, field), value)
                self.assertIn(problem, dict(bare.problems)[field])
                found = survey.read_survey(path, grid=True)
                if note is None:
                    self.assertEqual(found.footprint["type"], "Polygon")
                else:
                    self.assertIsNone(found.footprint)
                    self.assertIn(note, dict(found.problems)["footprint"])

    def test_what_a_table_may_cost(self):
        # Long member names are cut; a table of more values than the
        # answer may carry is not read; a helper out of memory says so.
        long_name = "m" * 300
        path = self.written("names.h5", quality=dict(
            ids=IDS, rows=[{"id": 1, long_name: 3}],
            members=[("id", "u", 4), (long_name, "b", 1)]))
        self.assertEqual(s102.read(path).table_rows,
                         ({"id": 1, "m" * 256: 3},))
        members = [("id", "u", 4)] + [("m%d" % i, "b", 1) for i in range(20)]
        path = self.written("wide.h5", quality=dict(
            ids=IDS, rows=[{}] * 65536, members=members))
        contents = s102.read(path)
        self.assertEqual((contents.quality_feature, contents.table_rows),
                         (None, ()))
        self.assertIn("holds more than 32 MB of values, more than the reader "
                      "takes", dict(contents.problems)["quality"])
        with mock.patch.object(bag._helper, "read", side_effect=MemoryError):
            with self.assertRaises(bag.BagError) as caught:
                s102.read(path)
        self.assertIn("not enough memory", caught.exception.reason)

    def test_recognised_by_content(self):
        path = self.written("surface.dat", edition="2.2")
        self.assertEqual(survey.read_survey(path).OBJNAM, "surface")
        with open(EXAMPLE, "rb") as stream:
            bag.write(self.path("bag_named.h5"), stream.read())
        self.assertEqual(survey.read_survey(self.path("bag_named.h5")).OBJNAM,
                         "H13045_MB_1m_MLLW")
        s102.write(self.path("other.h5"), instances=[],
                   attributes={"productSpecification": "INT.IHO.S-111.1.0"})
        with self.assertRaises(SurveyError) as caught:
            survey.read_survey(self.path("other.h5"))
        self.assertIn("neither an S-102 file", caught.exception.message)

    def test_declared_sizes_are_checked_before_reading(self):
        path = self.written("huge.h5", instances=[dict(
            PLACE, shape=(1 << 20, 1 << 15), declared=True,
            range=(1.0, 2.0))])
        found = survey.read_survey(path, grid=True)
        self.assertEqual((found.DRVAL1, found.DRVAL2, found.valid_nodes),
                         (1.0, 2.0, None))
        self.assertIn("declares 1048576 x 32768 nodes, more than the reader "
                      "takes", dict(found.problems)["valid_nodes"])

    def test_damaged_files_cost_their_record_only(self):
        # Random mutations, read through the helper process, then made
        # into a Survey; BATHYRA_FUZZ_SECONDS runs it longer.  Some make
        # the library loop for good (a damaged global heap): the timeout
        # stops them.
        originals = []
        for index, options in enumerate(({}, {"chunk": 2, "compress": 6})):
            path = self.written("original%d.h5" % index, **options,
                                quality=dict(ids=IDS, rows=ROWS))
            with open(path, "rb") as stream:
                originals.append(stream.read())
        fuzzed = self.path("fuzzed.h5")
        runs = 0
        for _ in support.mutated_files(originals, fuzzed, 102):
            try:
                contents = s102.read(fuzzed, grid=True, timeout=10)
            except bag.BagError:
                pass
            else:
                _s102.survey_of(contents, None, None, survey.Survey,
                                survey._differ)
            runs += 1
        print("\nS-102 fuzz: %d mutated files" % runs, file=sys.stderr)
        self.assertEqual(survey.read_survey(self.path("original0.h5"))
                         .DRVAL2, 10.25)


@needs_hdf5
class CommandLineTest(support.FolderMixin, unittest.TestCase):

    def test_folders_take_s102_files(self):
        s102.write(os.path.join(self.tmp, "a.h5"), bounds=BOUNDS,
                   instances=[instance(range=(1.0, 10.25))],
                   quality=dict(ids=IDS, rows=ROWS[:3]))
        self.write("notes.h5", "not HDF5 at all")  # passed over
        s102.write(os.path.join(self.tmp, "b.h5"), instances=[],
                   attributes={"productSpecification": "something else"})
        result = support.run_cli("--grid", "--geojson", self.tmp)
        self.assertEqual(result.returncode, 1)
        features = json.loads(result.stdout)["features"]
        self.assertEqual(
            [os.path.basename(f["properties"]["file"]) for f in features],
            ["a.h5", "a.h5#source:H13045", "a.h5#source:F00712",
             "a.h5#source:W00400"])
        self.assertEqual([f["geometry"] and f["geometry"]["type"]
                          for f in features],
                         ["Polygon", "Polygon", "Polygon", None])
        self.assertIn("b.h5: not read: an HDF5 file, but neither an S-102 "
                      "file", result.stderr)
        self.assertNotIn("notes.h5", result.stderr)
        check = support.run_cli("--grid", "--check",
                                os.path.join(self.tmp, "a.h5"))
        self.assertEqual(check.returncode, 1)
        self.assertIn("DRVAL1, DRVAL2: the minimumDepth and maximumDepth",
                      check.stdout)
        self.assertIn("source_surveys: cells reference 1 row id",
                      check.stdout)

    def test_strict_reads_the_metadata_file_of_2_1(self):
        with open(EXAMPLE, "rb") as stream:
            self.write("MD_old.XML", stream.read())
        s102.write(os.path.join(self.tmp, "old.h5"), edition="2.1",
                   metadata="MD_old.XML", instances=[instance()])
        s102.write(os.path.join(self.tmp, "new.h5"), instances=[instance()])
        result = support.run_cli("--strict", "--json",
                                 os.path.join(self.tmp, "old.h5"),
                                 os.path.join(self.tmp, "new.h5"))
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual(lines[0]["OBJNAM"], "H13045_MB_1m_MLLW")
        self.assertIn("names no metadata file", lines[1]["error"])


if __name__ == "__main__":
    unittest.main()
