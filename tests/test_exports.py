"""The catalogue's exports as a chart compiler and a STAC client see them:
the meta-object record of a survey (TECSOU from the instruments, never
guessed), the S-57 exchange file read back with ogrinfo (every object
class, attribute and area), and the STAC Items and Collection (their
required fields, links, and an Item that GDAL's GeoJSON reader opens)."""
import json
import math
import os
import shutil
import subprocess
import unittest

from bathyra._meta_objects import meta_objects, tecsou
from bathyra.survey import Survey
from tests import support
from tests.test_catalog import needs_gdal, needs_ogrinfo

# A survey that states everything, with a hole in its footprint (which
# reaches beyond the box its metadata states), and one that states only
# its start and its box.
FULL = Survey(
    SURSTA="20190314", SUREND="20190502", DRVAL1=2.5, DRVAL2=41.0,
    VERDAT=12, SURATH="Coast survey", OBJNAM="H13045",
    instruments=("EM 2040 Multibeam echosounder", "Side scan sonar"),
    bbox=(-70.5, 43.0, -70.0, 43.4), horizontal_crs="EPSG:26919",
    path="/surveys/H13045.bag",
    footprint={"type": "Polygon", "coordinates": [
        [[-70.5, 43.0], [-70.0, 43.0], [-70.0, 43.5], [-70.5, 43.5],
         [-70.5, 43.0]],
        [[-70.3, 43.1], [-70.3, 43.2], [-70.2, 43.2], [-70.3, 43.1]]]})
SPARSE = Survey(SURSTA="2020", DRVAL2=float("nan"),
                bbox=(-70.2, 43.2, -69.8, 43.8), path="/surveys/W1.xml")


def ogrinfo(*arguments):
    return subprocess.run(("ogrinfo", "-ro", "-q") + arguments,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, check=True).stdout


class MetaObjectTest(unittest.TestCase):

    def test_tecsou_only_from_an_instrument_that_names_one_technique(self):
        for instruments, expected in [
                (("Multibeam echosounder",), "3"),
                (("Multibeam Swath Bathymetry System",
                  "Light Detection and Ranging"), "3,7"),
                (("single-beam echo sounder", "Sidescan sonar"), "1,2"),
                (("Airborne lidar bathymetry",), "7"),
                # Which kind of echo sounder, or of sonar, is not said.
                (("Echosounder", "Sound Navigation and Ranging"), None),
                (("multibeam and side scan sonar",), None), ((), None)]:
            self.assertEqual(tecsou(instruments), expected, instruments)

    def test_record_states_what_the_file_states_and_no_catzoc(self):
        record = meta_objects(FULL)
        self.assertEqual(record["M_QUAL"], {
            "DRVAL1": 2.5, "DRVAL2": 41.0, "SUREND": "20190502",
            "SURSTA": "20190314", "TECSOU": "2,3", "VERDAT": 12,
            "CATZOC": None})
        self.assertEqual(record["M_SREL"], {
            "SURATH": "Coast survey", "SUREND": "20190502",
            "SURSTA": "20190314", "TECSOU": "2,3"})
        sparse = meta_objects(Survey(SURSTA="2020").to_dict())
        self.assertEqual([name for name, value in sparse["M_QUAL"].items()
                          if value is not None], ["SURSTA"])


@needs_gdal
class ExchangeFileTest(support.FolderMixin, unittest.TestCase):

    @needs_ogrinfo
    def test_every_class_attribute_and_area_read_back(self):
        from bathyra import _s57_exchange
        path = os.path.join(self.tmp, "SURVEYS.000")
        # An area of two polygons, apart from the others: an S-57 area
        # has one exterior boundary, so each polygon gets its objects.
        apart = Survey(SURSTA="2002", footprint={
            "type": "MultiPolygon", "coordinates": [
                [[[10, 10], [11, 10], [11, 11], [10, 10]]],
                [[[12, 10], [13, 10], [13, 11], [12, 10]]]]})
        left = _s57_exchange.write(path, [("a", FULL), ("b", SPARSE),
                                          ("c", Survey(SURSTA="2001")),
                                          ("d", apart)])
        self.assertEqual(left, ["c"])
        text = ogrinfo(path, "M_QUAL", "M_SREL", "M_COVR")
        features = text.split("OGRFeature(")[1:]
        self.assertEqual(sorted(f.split(")")[0] for f in features),
                         ["M_COVR"] * 3 + ["M_QUAL"] * 4 + ["M_SREL"] * 4)
        for expected in ("SURSTA (String) = 20190314",
                         "SUREND (String) = 20190502",
                         "DRVAL1 (Real) = 2.5", "DRVAL2 (Real) = 41",
                         "VERDAT (Integer) = 12",
                         "TECSOU (StringList) = (2:2,3)",
                         "SURATH (String) = Coast survey",
                         "SURSTA (String) = 2020", "CATCOV (Integer) = 1"):
            self.assertIn(expected, text)
        self.assertNotIn("CATZOC (", text)
        self.assertNotIn("= nan", text.lower())
        self.assertTrue(all("POLYGON ((" in f for f in features))
        # The footprint's hole is kept; the coverage is the union.
        self.assertIn(",(-70.3 43.1,", text)
        # The only interior rings are the hole, in its two objects and
        # in the coverage.
        self.assertEqual(sum(",(" in f for f in features), 3)
        cover = [f for f in features
                 if f.startswith("M_COVR") and "-70.5" in f][0]
        self.assertIn("-69.8 43.8", cover)
        self.assertIn("-70.5 43.0", cover)
        header = ogrinfo(path, "DSID")
        self.assertIn("DSID_DSNM (String) = SURVEYS.000", header)
        self.assertIn("DSSI_NOMR (Integer) = 11", header)
        self.assertIn("DSSI_AALL (Integer) = 0", header)
        # An authority beyond ASCII: lexical level 1, read back as written.
        accented = Survey(SURSTA="2001", SURATH="Servicio Hidrográfico",
                          bbox=(0.0, 0.0, 1.0, 1.0))
        _s57_exchange.write(path, [("d", accented)])
        self.assertIn("DSSI_AALL (Integer) = 1", ogrinfo(path, "DSID"))
        self.assertIn("SURATH (String) = Servicio Hidrográfico",
                      ogrinfo("-oo", "RECODE_BY_DSSI=ON", path, "M_SREL"))

    def test_command_line_writes_the_exchange_file_and_stac(self):
        target = os.path.join(self.tmp, "OUT.000")
        stac = os.path.join(self.tmp, "stac")
        result = support.run_cli("catalog", support.EXAMPLES_DIR, "--to",
                                 target, "--stac", stac, "-j", "1")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertRegex(lines[0], r"OUT\.000: 3 files: 1 surveys written; "
                                   r"2 without an area left out; 0 not read$")
        self.assertRegex(lines[1], r"stac: 3 STAC items; 0 surveys")
        self.assertTrue(os.path.getsize(target) > 0)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["OUT.000", "stac"])
        # Beside a catalogue, the STAC folder is that of the catalogue,
        # whose surveys hold TECSOU too; the catalogue is no exchange file.
        gpkg = os.path.join(self.tmp, "surveys.gpkg")
        result = support.run_cli("catalog", support.EXAMPLES_DIR, "--to",
                                 gpkg, "--stac", stac, "-j", "1", "-q")
        self.assertEqual((result.returncode, result.stdout), (0, ""))
        self.assertEqual(len(os.listdir(stac)), 4)
        if shutil.which("ogrinfo"):
            self.assertIn("TECSOU (String) = 3", ogrinfo(
                gpkg, "-sql", "SELECT TECSOU FROM surveys WHERE "
                              "TECSOU IS NOT NULL"))
        import bathyra
        from bathyra.errors import CatalogError
        with self.assertRaisesRegex(CatalogError, "written whole"):
            bathyra.catalog([support.EXAMPLES_DIR], target)
        # The same exports from Python.
        again = os.path.join(self.tmp, "AGAIN.000")
        done, items = bathyra.export_exchange([support.EXAMPLES_DIR], again,
                                              jobs=1)
        self.assertEqual((done.files, done.surveys, len(done.left_out),
                          items), (3, 1, 2, None))
        self.assertEqual(bathyra.export_stac(stac, gpkg)[0], 3)
        # A folder that cannot be written is said in words.
        result = support.run_cli("catalog", support.EXAMPLES_DIR, "--to",
                                 os.path.join(self.tmp, "no", "X.000"))
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, r"X\.000: cannot write it: No such")
        # What only a catalogue does is refused, not silently dropped.
        result = support.run_cli("catalog", support.EXAMPLES_DIR, "--to",
                                 target, "--verify")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--verify: only for a catalogue", result.stderr)


@needs_gdal
class StacTest(support.FolderMixin, unittest.TestCase):

    def setUp(self):
        super().setUp()
        from bathyra import _stac
        self.folder = os.path.join(self.tmp, "stac")
        # A "#" in a folder's name is no record number; a start stated
        # after the end.
        self.left = _stac.write(self.folder, [
            ("/surveys/h#1/H13045.bag", FULL), ("/surveys/W1.xml#2", SPARSE),
            ("/surveys/undated.xml", Survey(bbox=(0, 0, 1, 1))),
            ("/surveys/late.xml", Survey(SURSTA="2021", SUREND="201906"))])

    def load(self, *parts):
        with open(os.path.join(self.folder, *parts)) as stream:
            return json.load(stream, parse_constant=self.fail)

    def test_items_and_collection_hold_the_required_fields(self):
        self.assertEqual(self.left, ["/surveys/undated.xml"])
        collection = self.load("collection.json")
        self.assertEqual(collection["type"], "Collection")
        for field in ("stac_version", "id", "description", "license",
                      "extent", "links"):
            self.assertIn(field, collection)
        self.assertEqual(collection["extent"]["temporal"]["interval"],
                         [["2019-03-14T00:00:00Z", "2021-12-31T23:59:59Z"]])
        self.assertEqual(collection["extent"]["spatial"]["bbox"],
                         [[-70.5, 43.0, -69.8, 43.8]])
        links = [link["href"] for link in collection["links"]
                 if link["rel"] == "item"]
        self.assertEqual(links, ["./H13045.bag/H13045.bag.json",
                                 "./W1.xml-2/W1.xml-2.json",
                                 "./late.xml/late.xml.json"])
        self.assertEqual(sorted(os.listdir(self.folder)), [
            "H13045.bag", "W1.xml-2", "collection.json", "late.xml"])
        # An id is a file name: the record number only from a last "#N".
        from bathyra._stac import _identifier
        taken = set()
        self.assertEqual([_identifier(name, taken) for name in (
            "/h#1/b#2.xml", "/h#1/a.xml#3", "/x/a.xml#3", "a#b", "/s/..",
            "/s/.#4", "/s/")], ["b_2.xml", "a.xml-3", "a.xml-3-2", "a_b",
                                "survey", "survey-4", "survey-2"])
        item = self.load("H13045.bag", "H13045.bag.json")
        for field in ("type", "stac_version", "id", "geometry", "bbox",
                      "properties", "links", "assets"):
            self.assertIn(field, item)
        properties = item["properties"]
        self.assertIsNone(properties["datetime"])
        self.assertEqual((properties["start_datetime"],
                          properties["end_datetime"]),
                         ("2019-03-14T00:00:00Z", "2019-05-02T23:59:59Z"))
        self.assertEqual(properties["proj:code"], "EPSG:26919")
        self.assertEqual(item["stac_extensions"], [
            "https://stac-extensions.github.io/projection/v2.0.0/schema.json"])
        self.assertEqual(properties["bathy:TECSOU"], "2,3")
        self.assertEqual(properties["bathy:DRVAL2"], 41.0)
        self.assertEqual(item["geometry"], FULL.footprint)
        # The bbox encloses the footprint, not the box of the metadata.
        self.assertEqual(item["bbox"], [-70.5, 43.0, -70.0, 43.5])
        self.assertEqual(item["collection"], collection["id"])
        self.assertEqual({link["rel"] for link in item["links"]},
                         {"collection", "parent", "root"})
        self.assertEqual(item["assets"]["data"]["href"], FULL.path)
        # A depth that is no number is left out, never written as NaN.
        sparse = self.load("W1.xml-2", "W1.xml-2.json")
        self.assertNotIn("bathy:DRVAL2", sparse["properties"])
        self.assertTrue(all(not isinstance(v, float) or math.isfinite(v)
                            for v in sparse["properties"].values()))
        # No proj:code, so no projection extension declared.
        self.assertEqual(sparse["stac_extensions"], [])
        # The earlier of the two dates is the start.
        late = self.load("late.xml", "late.xml.json")["properties"]
        self.assertEqual((late["start_datetime"], late["end_datetime"]),
                         ("2019-06-01T00:00:00Z", "2021-12-31T23:59:59Z"))

    def test_writing_again_removes_only_its_own_stale_items(self):
        from bathyra import _stac

        def put(path, content):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as stream:
                stream.write(content)

        # Beside the Items: folders that only look like ones, each in one
        # way (and a file).
        own = self.load("late.xml", "late.xml.json")
        for name, changed in [("notes", {"collection": "elsewhere"}),
                              ("plain", {"type": "Collection"}),
                              ("named", {"id": "late.xml"}),
                              ("kept", {})]:
            fake = dict(own, id=name)
            fake.update(changed)
            put(os.path.join(self.folder, name, name + ".json"),
                json.dumps(fake))
        put(os.path.join(self.folder, "kept", "README"), "")
        put(os.path.join(self.folder, "broken", "broken.json"), "{")
        put(os.path.join(self.folder, "W1.json"), "{}")
        _stac.write(self.folder, [("/surveys/H13045.bag", FULL)])
        self.assertEqual(sorted(os.listdir(self.folder)), [
            "H13045.bag", "W1.json", "broken", "collection.json", "kept",
            "named", "notes", "plain"])
        self.assertEqual(sorted(os.listdir(os.path.join(self.folder,
                                                        "kept"))),
                         ["README", "kept.json"])

    @needs_ogrinfo
    def test_gdal_reads_an_item_as_geojson(self):
        text = ogrinfo("-al", os.path.join(self.folder, "H13045.bag",
                                           "H13045.bag.json"))
        self.assertIn("bathy:SURATH (String) = Coast survey", text)
        self.assertIn("POLYGON ((-70.5 43.0", text)


if __name__ == "__main__":
    unittest.main()
