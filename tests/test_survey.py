"""The survey reader (bathyra.read_survey, parse_survey): first what the
real documents of the shared corpus state, field by field, and that
nothing is invented; then the Survey object, the files that cannot be
read, and a dask cluster.  The field rules, on documents made for them,
are in test_survey_rules."""
import json
import os
import pathlib
import pickle
import re
import unittest
import xml.etree.ElementTree as ET

from tests import support
from tests.documents import document, survey_document

import bathyra
from bathyra import bag, cli, survey
from bathyra.survey import Survey, SurveyError, parse_survey, read_survey

NO_DASK = support.distributed_or_reason()

PROJ = survey._survey.proj_available()
needs_hdf5 = unittest.skipUnless(bag.available(),
                                 "built without the HDF5 library")

ANY = object()  # a field that the table does not pin
PLACEHOLDERS = {"", "platform name", "instrument unknown",
                "instrument type unknown", "unknown"}
NCEI = ("DOC/NOAA/NESDIS/NCEI > National Centers for Environmental "
        "Information, NESDIS, NOAA, U.S. Department of Commerce")


class Names:
    """A long list of names: how many, the first and the last, and some
    that must be there once."""

    def __init__(self, count, first, last, *members):
        self.count, self.first, self.last = count, first, last
        self.members = members

    def check(self, test, names):
        test.assertEqual(len(names), self.count)
        for index, name in ((0, self.first), (-1, self.last)):
            if name is not ANY:
                test.assertEqual(names[index], name)
        for name in self.members:
            test.assertEqual(names.count(name), 1, name)


# What each ISO 19139 document of corpus/real states.  A field left out is
# not stated: None, or () for platforms and instruments.  "DRVAL" is
# (DRVAL1, DRVAL2); "problems" the attributes (prefixes) that must carry a
# problem; "proj" the fields that only a build with PROJ can know.
REAL = {
    "bag_embedded_v16_minimal_no_citation.xml": dict(
        # An empty gmd:citation, no extent but the box; the WKT is named,
        # and VERT_CS["unknown", ...] names no vertical CRS at all.
        bbox=(-122.679816758763977, 48.1469565785578126,
              -122.660588530978899, 48.1598229511399225),
        horizontal_crs="NAD83 / UTM zone 10N"),
    "bag_embedded_v16_vr_survey_2022.xml": dict(
        SURSTA="20220815", SUREND="20220815",
        # Elevations without a vertical CRS (nilReason): negated.
        DRVAL=(20.043592, 24.906928),
        vertical_crs="example_datum", vertical_datum="example_datum",
        OBJNAM="NRTSeattle_VR_v2",
        # The instrument holds only placeholders.
        platforms=("NRTSEA_S3006_EM2040C",),
        SURATH="example_organization",
        bbox=(-122.42619, 47.671532, -122.423497, 47.673324),
        horizontal_crs="EPSG:6339"),
    "bag_embedded_vr_empty_fields.xml": dict(
        # Its box is all zeros: no box.
        horizontal_crs="NAD83 / UTM zone 10N", vertical_crs="MLLW",
        vertical_datum="MLLW", VERDAT=12),
    "bag_sample_v2_embedded_compact.xml": dict(
        # The originator is a person, without organisation: no SURATH.
        OBJNAM="Name of dataset input",
        bbox=(-66.3716, 50.1141, -66.3165, 50.1801),
        horizontal_crs="UTM-19N-Nad83", vertical_crs="Alicante height",
        vertical_datum="Alicante"),
    "bag_sample_v2_pretty.xml": dict(
        OBJNAM="Name of dataset input",
        bbox=(-66.371629, 50.114053, -66.316454, 50.180077),
        horizontal_crs="UTM-19N-Nad83", vertical_crs="Alicante height",
        vertical_datum="Alicante"),
    "bag_survey_jd211_v15_gmi.xml": dict(
        OBJNAM="JD211_Public_Release_1-5.bag",
        bbox=(-168.43, 65.29, -168.34, 65.32),
        horizontal_crs="UTM Zone 03, Northern Hemisphere",
        vertical_crs="Mean lower low water",
        vertical_datum="Mean lower low water", VERDAT=12),
    "csw_response_wrapped_gmd_gml31.xml": dict(
        # A catalogue response around gmd:MD_Metadata; GML 3.1 positions,
        # the end as written (2999: still running).  The distributor is
        # no survey authority, nor is the point of contact.
        SURSTA="19000101", SUREND="29990101", OBJNAM="Grondwatermeetnetten",
        bbox=(2.549, 50.697, 5.902, 51.495), horizontal_crs="EPSG:31370",
        # EPSG 5710 is Ostend height; 3043 is another horizontal CRS.
        vertical_crs="EPSG:5710", vertical_datum="Ostend",
        proj={"vertical_crs", "vertical_datum"}, problems={"SURATH"}),
    "gmd_gml31_elevation_model_date_only.xml": dict(
        SURSTA="20091007", SUREND="20091007", OBJNAM="DTM", SURATH="YPAAT",
        bbox=(19.0, 34.0, 30.0, 42.0)),
    "gmd_service_gml32_custom_prefix.xml": dict(
        # GML 3.2 bound to the prefix gml32.  The data identification
        # counts, not the service snapshots that end 2013-12-01.
        SURSTA="18950101", SUREND="20111101",
        OBJNAM="Parameter-elevation Regressions on Independent Slopes "
               "Model Monthly Climate Data for the Continental United "
               "States.",
        SURATH="Oregon State University",
        bbox=(-125.02083587646484, 24.10416603088379, -66.52082824707031,
              49.937503814697266)),
    "gmi_airborne_survey_year_month.xml": dict(
        # Platform keywords are no MI_Platform; the parties name positions
        # only.  The publication date 2019-07 is not the end.
        SURSTA="201611", SUREND="201907",
        OBJNAM="Airborne Gravity: NGS' Gravity Data for PS04 (2016 - 2019)",
        bbox=(-122.0, 32.5, -113.5, 34.25)),
    "gmi_biologger_year_only_vertical_zero.xml": dict(
        # Its "vertical CRS" is EPSG:4326, which has no vertical axis: the
        # zeros are taken as heights, and stay 0.0.
        SURSTA="2009", SUREND="2012", DRVAL=(0.0, 0.0),
        OBJNAM="A Dataset from Bio-Loggers Deployed on Adult Bearded Seals "
               "(Erignathus barbatus) in Kotzebue Sound, Alaska, USA "
               "(2009-2012)",
        bbox=(-174.0, 59.0, -143.0, 74.0), horizontal_crs="EPSG:4326",
        problems={"DRVAL"}, proj={"vertical_crs"}),
    "gmi_coastal_dem_multi_period_large.xml": dict(
        # The lineage's source periods are not the survey's.  The second
        # reference system is a datum (urn:ogc:def:datum:EPSG::5103), no
        # CRS.  Publisher before originator in the citation: role counts.
        SURSTA="19320101", SUREND="20120101",
        OBJNAM="Monterey, California 1/3 arc-second NAVD 88 Coastal "
               "Digital Elevation Model",
        platforms=("Digital Elevation Model",),
        instruments=("Light Detection and Ranging",
                     "Multibeam Swath Bathymetry System",
                     "Sound Navigation and Ranging"),
        SURATH="DOC/NOAA/NESDIS/NGDC > National Geophysical Data Center, "
               "NESDIS, NOAA, U.S. Department of Commerce",
        bbox=(-122.42, 35.7, -121.28, 37.2), horizontal_crs="EPSG:4326",
        vertical_datum="North American Vertical Datum 1988",
        proj={"vertical_datum"}),
    "gmi_coastal_dem_unknown_now_text.xml": dict(
        # The "unknown"/"now" period belongs to a lineage source.  The
        # vertical reference is given by name only ("MHHW").
        SURSTA="19150101", SUREND="20120101",
        OBJNAM="Chignik, Alaska 1/3 arc-second Coastal Digital Elevation "
               "Model",
        platforms=("Digital Elevation Model",),
        instruments=("Sound Navigation and Ranging",),
        SURATH=NCEI, bbox=(-158.58, 56.28, -158.34, 56.36),
        horizontal_crs="EPSG:4326", vertical_crs="MHHW",
        vertical_datum=ANY, VERDAT=21),
    "gmi_crowdsourced_bathymetry_empty_end.xml": dict(
        SURSTA="20140101", OBJNAM="Crowdsourced Bathymetry Data (CSB)",
        SURATH="Department of Commerce (DOC), National Oceanic and "
               "Atmospheric Administration (NOAA), National Ocean Service "
               "(NOS), Special Projects (SP)",
        bbox=(-180.0, -90.0, 180.0, 90.0), problems={"SUREND"}),
    "gmi_global_relief_indeterminate_now.xml": dict(
        SURSTA="19850101", OBJNAM="5-minute Gridded Global Relief Data "
                                  "(ETOPO5)",
        platforms=("ship",), instruments=("echo sounder",),
        SURATH="U.S. Geological Survey", bbox=(-180.0, -90.0, 180.0, 90.0),
        problems={"SUREND"}),
    "gmi_gml31_date_only_indeterminate_now.xml": dict(
        # Identifiers as bare text.  The metadata contact is no party of
        # the identification.
        SURSTA="19500731", OBJNAM="title in English",
        platforms=("LANDSAT_8",), instruments=("OLI_TIRS",),
        bbox=(-141.0, 42.0, -52.0, 84.0), horizontal_crs="EPSG:4326",
        problems={"SUREND"}),
    "gmi_gml31_satellite_scene_fractional_seconds.xml": dict(
        SURSTA="20200902", SUREND="20200902",
        OBJNAM="S2B_MSIL2A_20200902T090559_N0214_R050_T34SFG_"
               "20200902T113910.SAFE",
        platforms=("Sentinel-2B",), instruments=("INS-NOBS",),
        bbox=(22.241087944581203, 36.95084163397443, 22.316296604618408,
              37.21692395594552),
        horizontal_crs="EPSG:4326"),
    "gmi_lake_bathymetry_no_period.xml": dict(
        # A gml:TimeInstant: start and end on that day.  The vertical
        # reference is a name ("Local Lake datum") that maps to no S-57
        # datum unambiguously.
        SURSTA="19960101", SUREND="19960101",
        OBJNAM="Bathymetry of Lake Michigan",
        SURATH="NOAA Great Lakes Environmental Research Lab",
        bbox=(-88.0, 41.62, -84.5, 46.09), horizontal_crs="EPSG:4269",
        vertical_crs="Local Lake datum", vertical_datum=ANY, VERDAT=ANY),
    "gmi_minimal_constructed.xml": dict(
        # Its dateStamp (2018-05-15) is no survey date.
        OBJNAM="Constructed Test Data"),
    "gmi_ocean_model_gml32_vertical_z.xml": dict(
        # -1.0 without a vertical CRS: a height, so a depth of 1.0.
        SURSTA="20100507", SUREND="20140317", DRVAL=(1.0, 1.0),
        OBJNAM="PacIOOS Nearshore Sensor 06: Pohnpei, Micronesia",
        SURATH="University of Hawaii",
        bbox=(158.22402954101562, 6.955227375030518, 158.22402954101562,
              6.955227375030518),
        problems={"DRVAL"}),
    "gmi_ocean_profile_collection_xlarge.xml": dict(
        # Platform "UNKNOWN" is a placeholder; no party has a role of
        # authorship (publishers, contributors, a point of contact).
        SURSTA="19930522", SUREND="20061202",
        OBJNAM="Biological, chemical, physical, biogeochemical, ecological, "
               "environmental and other data collected from around the "
               "world during historical and contemporary periods of "
               "biological and chemical oceanographic exploration and "
               "research managed and submitted by the Biological and "
               "Chemical Oceanography Data Management Office (BCO-DMO)",
        platforms=Names(25, "ALBATROSS IV", "WECOMA", "HUDSON"),
        instruments=Names(51, "acoustic sensor", "visual observation",
                          "CTD", "echo sounder"),
        bbox=(-172.99, -78.652, 113.3667, 76.1552), problems={"SURATH"}),
    "gmi_paleo_negative_years.xml": dict(
        # Years before 0001; the originators are persons without an
        # organisation, and a point of contact is no survey authority.
        OBJNAM="NOAA/WDS Paleoclimatology - A global planktic foraminifer "
               "census data set for the Pliocene ocean",
        bbox=(-176.9, -57.726, 175.87, 58.2093),
        problems={"SURSTA", "SUREND", "SURATH"}),
    "gmi_research_project_nil_acquisition_large.xml": dict(
        SURSTA="201109", SUREND="201802",
        OBJNAM="NCCOS Sponsored Research Project: Understanding Coral "
               "Ecosystem Connectivity in the Gulf of Mexico from Pulley "
               "Ridge to the Florida Keys",
        SURATH="National Centers for Coastal Ocean Science",
        bbox=(-85.0, 23.0, -79.0, 28.0)),
    "gmi_rov_dive_vertical_nested_acq_large.xml": dict(
        # EPSG:5715 is MSL depth, positive down: kept.  Three platforms
        # (ship, camera sled, ROV), 28 instruments of which 3 repeat; the
        # principal investigator outranks the resource provider; sponsors
        # and instrument makers are contacts, not platforms.
        SURSTA="20160228", SUREND="20160228", DRVAL=(4227.2, 4227.6),
        vertical_crs="EPSG:5715", vertical_datum="Mean Sea Level", VERDAT=3,
        OBJNAM="Video segment from DIVE01 of ROV Exploration of the "
               "Papahanaumokuakea Marine National Monument (EX1603) "
               "recorded at 2016-02-28T00:14:54Z for 50 seconds",
        platforms=("Okeanos Explorer (EX)", "Seirios", "Deep Discoverer"),
        instruments=Names(25, ANY, "Insite Aurora Camera",
                          "Mini Zeus Camera", "Cyclops Camera"),
        SURATH="NOAA Office of Ocean Exploration and Research",
        bbox=(-164.030777, 23.5746703333, -164.0307246666, 23.5746798333),
        horizontal_crs="EPSG:3395", clean={"DRVAL"},
        proj={"DRVAL1", "DRVAL2", "vertical_datum", "VERDAT", "clean"}),
    "gmi_station_utc_offset.xml": dict(
        SURSTA="20070811", SUREND="20070925",
        OBJNAM="urn:ioos:station:NOAA.NOS.CO-OPS:PWS0745 station, Valdez "
               "Narrows",
        SURATH="Center for Operational Oceanographic Products and Services",
        bbox=(-146.66078, 61.06975, -146.66076, 61.06977)),
    "gmi_station_vertical_min_gt_max.xml": dict(
        # Heights -0.739 and -1.326, minimum above maximum: ordered depths.
        SURSTA="20170414", SUREND="20171012", DRVAL=(0.739, 1.326),
        OBJNAM="St Georges Creek",
        SURATH="Maryland Department of Natural Resources",
        bbox=(-76.49341, 38.13109, -76.49339, 38.13111),
        problems={"DRVAL"}),
    # ISO 19115-3, read where its elements map one to one.  The first is a
    # template whose texts say where each value goes: stated as written.
    "iso19115-3_v1_large_vertical_temporal.xml": dict(
        SURSTA="20110101", SUREND="20111231", DRVAL=(-599.99, -0.01),
        OBJNAM="Overview > Item Description > Title + Overview > "
               "Citation > Titles > Title",
        SURATH="Overview > Citation Contacts > Contact > Organization "
               "(Role=Originator)",
        bbox=(-155.0, 35.0, -135.0, 42.0),
        # The reference system is a template's text, which names no CRS
        # (told with PROJ only).
        horizontal_crs=None, proj={"horizontal_crs"}, problems={"DRVAL"}),
    # Heights -400 to 300 without a CRS: depths -300 to 400, doubted.
    "iso19115-3_v2_vertical_only.xml": dict(
        DRVAL=(-300.0, 400.0),
        OBJNAM="3D geological model of the Otway and Torquay Basin 2011",
        bbox=(143.0, -39.4, 144.0, -38.4), problems={"SURSTA", "DRVAL"}),
}
# Legacy smXML documents (BAG 1.0 to 1.4): the same fields as ISO 19139.
# Their reference system is given by its parts (projection, zone, datum,
# vertical datum), here a template's texts ("Your Projection") or real.
REAL["bag_legacy_smxml_nominal_only.xml"] = dict(
    OBJNAM="BAG Title", bbox=(-75.0, 46.5, -74.0, 47.5),
    problems={"horizontal_crs", "vertical_crs", "SURSTA", "SURATH"})
REAL["bag_survey_jd211_v14_legacy_smxml.xml"] = dict(
    # The point of contact of the metadata is no survey authority.
    OBJNAM="JD211_public_Release_1-4_UTM.bag",
    bbox=(-168.43, 65.29, -168.34, 65.32),
    vertical_crs="Mean Sea Level", VERDAT=3,
    horizontal_crs="UTM zone 2, WGS84",
    problems={"SURSTA", "SURATH", "DRVAL"})
# As held in the BAG file: ends in "\n\0\n\0", read all the same.
REAL["bag_survey_jd211_v14_legacy_embedded_nul.xml"] = REAL[
    "bag_survey_jd211_v14_legacy_smxml.xml"]
# The documents of corpus/real that are no ISO 19139 document (nor
# smXML), and what their error names.
UNREADABLE = {}
# The BAG files of corpus/bag: their documents are those above.
BAGS = {
    "vr_survey_2022_gzip.bag": dict(
        REAL["bag_embedded_v16_vr_survey_2022.xml"], bag_version="1.6.0",
        # A BAG file holds elevations: no doubt about the direction.
        clean={"DRVAL"}),
    # The metadata states no depth range: the elevation attributes do.
    "sample_v15.bag": dict(REAL["bag_sample_v2_pretty.xml"],
                           bag_version="1.5.0", DRVAL=(0.0, 0.0)),
    "vr_empty_fields.bag": dict(REAL["bag_embedded_vr_empty_fields.xml"],
                                bag_version="1.6.2", DRVAL=(-10.0, 10.0)),
    "legacy_v14_smxml_grid.bag": dict(
        REAL["bag_survey_jd211_v14_legacy_smxml.xml"], bag_version="1.4.0",
        DRVAL=(50.987003, 52.957005), problems={"SURSTA", "SURATH"}),
}
# What a pass over each grid finds (h5py and numpy agree): the elevations
# (minimum, maximum), the uncertainty (fill values of 0 and 1000000 left
# out), the nodes with data, refinements included.
GRIDS = {
    "legacy_v14_smxml_grid.bag": ((-52.957005, -50.987003),
                                  (0.27000004, 0.66440004), 1157306),
    "sample_v15.bag": ((0.0, 0.0), None, 10000),
    "v200_georef_vr_layers.bag": ((1.23, 8.888), (0.123, 4.56), 50000),
    "vr_empty_fields.bag": ((-10.0, 10.0), (0.0010228157, 10.0), 580),
    "vr_survey_2022_gzip.bag": ((-24.906927, -20.043592),
                                (0.01905664, 0.5169777), 1405),
}
# The elements of a responsible party that name or reach it.
CONTACT_DETAILS = ("organisationName", "individualName", "positionName",
                   "voice", "facsimile", "deliveryPoint", "city",
                   "electronicMailAddress")
DATE = re.compile(r"^\d{4}(\d\d(\d\d)?)?$")
PYTHON_TEXT = re.compile(r"Error\b|Traceback|NoneType|object has no|"
                         r"exception|\bline \d+, in\b")


def document_texts(path, *parents):
    """Every text in the document under the elements named `parents`
    (local names)."""
    with open(path, "rb") as stream:
        root = ET.fromstring(stream.read().rstrip(b"\0 \n"))
    return {text.strip() for element in root.iter()
            if element.tag.split("}")[-1] in parents
            for text in element.itertext() if text.strip()}


class SurveyChecks(unittest.TestCase):
    """What every survey read and every refusal must hold."""

    def refused(self, path, *words):
        """read_survey refuses the file with a message that holds
        `words`, in a hydrographer's words."""
        with self.assertRaises(SurveyError) as caught:
            read_survey(path)
        self.assertEqual(caught.exception.path, path)
        for word in words:
            self.assertIn(word, caught.exception.message)
        self.assertNotRegex(caught.exception.message, PYTHON_TEXT)

    def check_survey(self, result, expected, source):
        """`result` has the fields of `expected` (a REAL entry), and
        states nothing that `source` (the document's file) does not."""
        expected = dict(expected)
        expected["DRVAL1"], expected["DRVAL2"] = expected.pop(
            "DRVAL", (None, None))
        proj_only = expected.pop("proj", set())
        problems = expected.pop("problems", set())
        clean = expected.pop("clean", set())
        for name in survey.FIELDS:
            if name in ("planam", "problems", "path", "sources",
                        "uncertainty_range", "valid_nodes"):
                continue
            want = expected.get(name, () if name in (
                "platforms", "instruments", "source_surveys") else None)
            if want is ANY or (name in proj_only and not PROJ):
                continue
            got = getattr(result, name)
            with self.subTest(field=name):
                if isinstance(want, Names):
                    want.check(self, got)
                elif isinstance(want, float):
                    self.assertTrue(support.same_number(got, want),
                                    (got, want))
                else:
                    self.assertEqual(got, want)
        attributes = [attribute for attribute, _ in result.problems]
        for prefix in problems:
            self.assertTrue(any(a.startswith(prefix) for a in attributes),
                            (prefix, result.problems))
        if "clean" not in proj_only or PROJ:
            for prefix in clean:
                self.assertFalse([a for a in attributes
                                  if a.startswith(prefix)], result.problems)
        self.check_invariants(result, source)

    def check_invariants(self, result, source):
        names = result.platforms or result.instruments
        self.assertEqual(result.planam, ", ".join(names) if names else None)
        contacts = document_texts(source, *CONTACT_DETAILS)
        for name in result.platforms + result.instruments:
            self.assertNotIn(name.lower(), PLACEHOLDERS)
            self.assertFalse(name in contacts, name)
        for names in (result.platforms, result.instruments):
            self.assertEqual(len(set(names)), len(names), names)
        self.assertNotIn(result.OBJNAM,
                         document_texts(source, "referenceSystemInfo"))
        for date in (result.SURSTA, result.SUREND):
            if date is not None:
                self.assertRegex(date, DATE)
        self.assertEqual(result.DRVAL1 is None, result.DRVAL2 is None)
        # Every stated attribute, and only those, says where it came from.
        stated = {name for name, value in zip(survey.FIELDS,
                                              result._values())
                  if value is not None and value != () and name not in (
                      "problems", "path", "bag_version", "sources")}
        self.assertEqual(set(result.sources), stated)
        if result.DRVAL1 is not None:
            self.assertLessEqual(result.DRVAL1, result.DRVAL2)
        for attribute, message in result.problems:
            self.assertIsInstance(attribute, str)
            self.assertTrue(message)
            self.assertNotRegex(message, PYTHON_TEXT)


@unittest.skipUnless(os.path.isdir(support.CORPUS_REAL),
                     "the shared corpus (../shared/corpus/real) is absent")
class RealDocumentTest(SurveyChecks):

    def test_every_document_is_known(self):
        names = {name for name in os.listdir(support.CORPUS_REAL)
                 if name.endswith(".xml")}
        self.assertEqual(names, set(REAL) | set(UNREADABLE))

    def test_what_each_document_states(self):
        for name, expected in sorted(REAL.items()):
            path = os.path.join(support.CORPUS_REAL, name)
            with self.subTest(file=name):
                result = read_survey(path)
                self.assertEqual(result.path, path)
                self.check_survey(result, expected, path)
                # The same document given directly.
                with open(path, "rb") as stream:
                    given = parse_survey(stream.read().rstrip(b"\0"))
                self.assertEqual(given, Survey(**dict(
                    zip(survey.FIELDS, result._values()), path=None)))

    def test_other_standards_are_refused_by_name(self):
        for name, standard in sorted(UNREADABLE.items()):
            path = os.path.join(support.CORPUS_REAL, name)
            with self.subTest(file=name):
                self.refused(path, standard, "ISO 19139")


@needs_hdf5
@unittest.skipUnless(os.path.isdir(support.CORPUS_BAG),
                     "the shared corpus (../shared/corpus/bag) is absent")
class BagFileTest(SurveyChecks):

    def test_what_each_bag_file_states(self):
        for name, expected in sorted(BAGS.items()):
            path = os.path.join(support.CORPUS_BAG, name)
            with self.subTest(file=name):
                result = read_survey(pathlib.Path(path))
                self.assertEqual(result.path, path)
                copy = os.path.join(support.temporary_directory(self),
                                    "metadata.xml")
                with open(copy, "wb") as stream:
                    stream.write(bag.open(path).iso19139_xml)
                self.check_survey(result, expected, copy)
                with bag.open(path) as opened:
                    self.assertEqual(parse_survey(opened), result)
                source = ("metadata" if "clean" in expected else
                          "elevation attributes")
                self.assertEqual(result.sources["DRVAL1"], source)
                self.assertIsNone(result.valid_nodes)

    def test_what_each_grid_holds(self):
        for name, (elevations, uncertainty, count) in sorted(GRIDS.items()):
            path = os.path.join(support.CORPUS_BAG, name)
            for isolated in (True, False):
                with self.subTest(file=name, isolated=isolated):
                    found = bag.open(path, grid=True,
                                     isolated=isolated).elevation
                    self.assertEqual((found.grid_range,
                                      found.uncertainty_range,
                                      found.valid_nodes),
                                     (elevations, uncertainty, count))
                    self.assertEqual(found.problems, ())
            if name not in BAGS:
                continue  # its metadata is not read yet
            with self.subTest(file=name):
                result = read_survey(path, grid=True)
                self.assertEqual((result.uncertainty_range,
                                  result.valid_nodes), (uncertainty, count))
                self.assertEqual(result.sources["valid_nodes"], "grid")
                disagree = [message for attribute, message in result.problems
                            if attribute == "DRVAL1" and "disagree" in message]
                if "clean" in BAGS[name]:  # the metadata states the range
                    self.assertEqual(result.sources["DRVAL1"], "metadata")
                else:
                    self.assertEqual(result.sources["DRVAL1"], "grid")
                    self.assertEqual((result.DRVAL1, result.DRVAL2),
                                     (-elevations[1] + 0.0,
                                      -elevations[0] + 0.0))
                # The attributes of a variable-resolution file describe
                # its coarse grid only.
                self.assertEqual(bool(disagree),
                                 name == "vr_survey_2022_gzip.bag", disagree)
        v200 = read_survey(os.path.join(support.CORPUS_BAG,
                                        "v200_georef_vr_layers.bag"),
                           grid=True)
        self.assertIn(("DRVAL1", "the elevation attributes of the BAG file "
                       "(depths -10.0 to 10.0 m) disagree with its grid "
                       "(depths -8.888 to -1.23 m)"), v200.problems)

    def test_every_bag_file_states_its_version(self):
        for name in sorted(os.listdir(support.CORPUS_BAG)):
            if name.endswith(".bag"):
                with self.subTest(file=name):
                    self.assertRegex(read_survey(os.path.join(
                        support.CORPUS_BAG, name)).bag_version,
                        r"^\d+\.\d+\.\d+$")


EXAMPLE = os.path.join(support.EXAMPLES_DIR, "survey_h13045_multibeam.xml")


class SurveyObjectTest(unittest.TestCase):

    def setUp(self):
        self.survey = read_survey(EXAMPLE)

    def test_immutable_equal_and_hashable(self):
        with self.assertRaises(AttributeError):
            self.survey.SURSTA = "20200101"
        with self.assertRaises(AttributeError):
            del self.survey.OBJNAM
        again = read_survey(EXAMPLE)
        self.assertEqual(again, self.survey)
        self.assertEqual(hash(again), hash(self.survey))
        self.assertNotEqual(parse_survey(survey_document("other")),
                            self.survey)
        self.assertNotEqual(self.survey, self.survey._values())
        with self.assertRaises(TypeError):
            Survey(DEPTH=3)

    def test_pickles(self):
        error = SurveyError("not well-formed XML", "x.xml")
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with self.subTest(protocol=protocol):
                self.assertEqual(pickle.loads(
                    pickle.dumps(self.survey, protocol)), self.survey)
                copy = pickle.loads(pickle.dumps(error, protocol))
                self.assertIs(type(copy), SurveyError)
                self.assertEqual((copy.message, copy.path, str(copy)),
                                 ("not well-formed XML", "x.xml",
                                  "x.xml: not well-formed XML"))

    def test_forms(self):
        text = repr(self.survey)
        self.assertTrue(text.startswith("Survey(SURSTA='20190314', "), text)
        self.assertNotIn("SURATH=", text)  # None fields stay out
        self.assertEqual(list(self.survey.to_s57()),
                         ["SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam",
                          "OBJNAM"])
        data = self.survey.to_dict()
        self.assertEqual(list(data), list(survey.FIELDS))
        self.assertEqual(json.loads(json.dumps(data)), data)
        self.assertEqual(data["bbox"], [-70.2871, 43.6312, -70.2214,
                                        43.6788])
        self.assertEqual(data["platforms"], ["Survey Vessel One"])
        self.assertEqual(Survey(**{k: v for k, v in data.items()}),
                         self.survey)

    def test_package_exports_it_lazily(self):
        child = support.run_child("""
            import sys, bathyra
            print("bathyra.survey" in sys.modules)
            print(bathyra.Survey is bathyra.survey.Survey)
            print(sorted(set(bathyra.__all__) - set(dir(bathyra))))
            """)
        self.assertEqual(child.stdout.split(), ["False", "True", "[]"],
                         child.stderr)


class UnreadableTest(support.FolderMixin, SurveyChecks):

    def test_files_that_cannot_be_read(self):
        self.refused(os.path.join(self.tmp, "missing.xml"),
                     "No such file")
        self.refused(self.write("text.xml", b"survey notes\n"),
                     "not well-formed XML")
        self.refused(self.write("cut.xml", survey_document("S")[:-9]
                                .encode()), "not well-formed XML")
        self.refused(self.write("empty.xml", b"\0\0"), "empty")
        self.refused(self.write("html.xml", b"<html><body/></html>"),
                     "ISO 19139")
        self.refused(self.tmp, "not a regular file")
        self.refused(self.write("text.bag", survey_document("S").encode()))

    @needs_hdf5
    def test_damaged_bag_file(self):
        path = os.path.join(self.tmp, "damaged.bag")
        bag.write(path, survey_document("S").encode(), chunk=64,
                  compress=6)
        with open(path, "r+b") as stream:
            stream.seek(600)
            stream.write(b"\xff" * 1500)
        self.refused(path)

    def test_documents_given_directly(self):
        with self.assertRaises(SurveyError) as caught:
            parse_survey(b'<CI_Citation xmlns="http://metadata.dgiwg.org/'
                         b'smXML"/>')
        self.assertIsNone(caught.exception.path)
        self.assertIn("smXML", str(caught.exception))
        with self.assertRaises(TypeError):
            parse_survey(42)

    def test_documents_that_read(self):
        text = survey_document("Baie-Comeau \u00e9t\u00e9")
        # A str is read as UTF-8 whatever its declaration says.
        declared = '<?xml version="1.0" encoding="windows-1252"?>' + text
        self.assertEqual(parse_survey(declared).OBJNAM,
                         "Baie-Comeau \u00e9t\u00e9")
        # Bytes in an encoding that needs the XML library, and a DOCTYPE.
        self.assertEqual(parse_survey(declared.encode("cp1252")).OBJNAM,
                         "Baie-Comeau \u00e9t\u00e9")
        doctype = ('<?xml version="1.0"?><!DOCTYPE gmi:MI_Metadata '
                   '[<!ENTITY basin "F00812_basin">]>'
                   + survey_document("BASIN").replace("BASIN", "&basin;"))
        self.assertEqual(parse_survey(doctype.encode()).OBJNAM,
                         "F00812_basin")
        # Fill bytes after the document (NULs, the 0xCD of old BAG files,
        # white space, mixed), the same in a metadata file, a BAG file and
        # a document given directly; anything else stays an error.
        for fill in (b"\n\0\n\0", b"\xcd" * 5000, b" \r\n\t",
                     b"\0\xcd\n\0 "):
            with self.subTest(fill=fill[:8]):
                data = text.encode() + fill
                path = self.write("copied.xml", data)
                self.assertEqual(read_survey(pathlib.Path(path)).OBJNAM,
                                 "Baie-Comeau \u00e9t\u00e9")
                self.assertEqual(parse_survey(data), parse_survey(text))
                if bag.available():
                    bag.write(os.path.join(self.tmp, "fill.bag"), data)
                    self.assertEqual(read_survey(os.path.join(
                        self.tmp, "fill.bag")).OBJNAM,
                        "Baie-Comeau \u00e9t\u00e9")
        for tail in (b"\0<x/>\0", b"\xcd notes\xcd"):
            self.refused(self.write("tail.xml", text.encode() + tail),
                         "not well-formed XML")


# Titles in each script, and the encodings that must read them as UTF-8
# does: (encoding, how the bytes are made, title).
SCRIPTS = {"ja": "\u6e2c\u91cf\u533a\u57df \u6771\u4eac\u6e7e",
           "zh-Hant": "\u6e2c\u91cf\u5340\u57df \u81fa\u7063",
           "zh-Hans": "\u6d4b\u91cf\u533a\u57df \u4e0a\u6d77",
           "ru": "\u0411\u0430\u0442\u0438\u043c\u0435\u0442\u0440\u0438\u044f",
           "fr": "Baie-Comeau \u00e9t\u00e9"}
ENCODINGS = [
    ("Shift_JIS", "shift_jis", "ja"), ("EUC-JP", "euc_jp", "ja"),
    ("ISO-2022-JP", "iso2022_jp", "ja"), ("Big5", "big5", "zh-Hant"),
    ("GB2312", "gb2312", "zh-Hans"), ("GBK", "gbk", "zh-Hans"),
    ("KOI8-R", "koi8_r", "ru"), ("windows-1252", "cp1252", "fr"),
    ("latin-1", "latin-1", "fr"), ("IBM037", "cp037", "fr"),
    ("UTF-16", "utf-16", "ja"), ("UTF-16", "utf-16-le", "ja"),
    ("UTF-16", "utf-16-be", "ja"), ("utf-16-le", "utf-16-le", "ja"),
    ("UTF-16BE", "utf-16-be", "ja"), ("UTF-32", "utf-32", "ja"),
    ("UTF-32", "utf-32-le", "ja"), ("UTF-32BE", "utf-32-be", "ja"),
    ("utf-8-sig", "utf-8-sig", "ja"), ("UTF-8", "utf-8-sig", "ja"),
]
# Declarations that name no encoding that can be read, and a word of each
# refusal.
UNUSABLE = {
    "rot13": "not a text encoding", "rot_13": "not a text encoding",
    "hex": "not a text encoding", "base64": "not a text encoding",
    "zlib": "not a text encoding", "bz2": "not a text encoding",
    "uu": "not a text encoding", "quopri": "not a text encoding",
    "idna": "not a text encoding", "punycode": "not a text encoding",
    "undefined": "not a text encoding", "UTF-7": "not a text encoding",
    "unicode_escape": "not a text encoding",
    "raw_unicode_escape": "not a text encoding",
    "mbcs": "not a", "oem": "not a", "x-unknown-1": "not a known",
    "utf 8": "not", "ut\u00e9f8": "not", "": "not",
    "aliases": "not a known", "utf-8\0": "not",
    # Names of real encodings that these bytes are not in.
    "UTF-32": "not UTF-32 text", "cp037": "does not read",
    "utf-16-be": "does not read",
}


class EncodingTest(SurveyChecks):
    """Every encoding that Python decodes as text reads as the same
    document in UTF-8; others are refused in words."""

    def setUp(self):
        self.tmp = support.temporary_directory(self)

    def declared(self, name, title="S"):
        return ('<?xml version="1.0" encoding="%s"?>\n' % name
                + survey_document(title))

    def test_documents_in_declared_encodings(self):
        for name, codec, script in ENCODINGS:
            with self.subTest(encoding=name, codec=codec):
                text = self.declared(name, SCRIPTS[script])
                expected = parse_survey(self.declared(
                    "UTF-8", SCRIPTS[script]).encode())
                self.assertEqual(expected.OBJNAM, SCRIPTS[script])
                data = text.encode(codec)
                self.assertEqual(parse_survey(data), expected)
                path = os.path.join(self.tmp, "survey.xml")
                with open(path, "wb") as stream:
                    stream.write((text + "\n").encode(codec))
                self.assertEqual(read_survey(path),
                                 Survey(**dict(expected.to_dict(), path=path)))
        # Other names of the encodings expat reads: read as they are, with
        # no copy, and as the document in UTF-8.
        from unittest import mock
        for name, codec, script in (
                ("ASCII", "ascii", None), ("ANSI_X3.4-1968", "ascii", None),
                ("latin1", "latin-1", "fr"), ("ISO8859-1", "latin-1", "fr"),
                ("utf8", "utf-8", "ja"), ("UTF8", "utf-8-sig", "ja")):
            with self.subTest(alias=name, codec=codec):
                title = SCRIPTS.get(script, "H13045")
                expected = parse_survey(self.declared("UTF-8", title).encode())
                data = self.declared(name, title).encode(codec)
                with mock.patch("bathyra._transcoding.as_utf8",
                                side_effect=AssertionError("copied")):
                    self.assertEqual(parse_survey(data), expected)
        with self.assertRaisesRegex(SurveyError, "not ASCII text"):
            parse_survey(self.declared("ASCII", "é").encode("latin-1"))
        # A str is read as UTF-8 whatever its declaration says.
        text = self.declared("Shift_JIS", SCRIPTS["ja"])
        self.assertEqual(parse_survey(text).OBJNAM, SCRIPTS["ja"])

    def test_unusable_encodings_are_refused_in_words(self):
        for name, words in UNUSABLE.items():
            data = self.declared(name).encode("utf-8")
            path = os.path.join(self.tmp, "survey.xml")
            with open(path, "wb") as stream:
                stream.write(data)
            with self.subTest(encoding=name):
                with self.assertRaises(SurveyError) as caught:
                    parse_survey(data)
                self.assertIn(words, caught.exception.message)
                self.assertNotRegex(caught.exception.message, PYTHON_TEXT)
                self.refused(path, words)
        # Bytes that are not text in the declared encoding.
        for name, data in (("Shift_JIS", b"\x81 "), ("EUC-JP", b"\xff\xfe"),
                           ("UTF-32", b"\xff\xff\xff\xff")):
            text = self.declared(name).encode(name.replace("UTF-32",
                                                           "utf-32"))
            with self.subTest(encoding=name, bytes=data):
                with self.assertRaises(SurveyError) as caught:
                    parse_survey(text[:400] + data + text[400:])
                self.assertIn("not %s text" % name, caught.exception.message)

    @unittest.skipUnless(bag.available(), "built without BAG support")
    def test_wide_documents_in_bag_files(self):
        # The BAG reader drops the trailing NULs, with the NUL bytes of the
        # document's last character: both readers read it all the same.
        from tests.documents import document
        path = os.path.join(self.tmp, "survey.bag")
        for name, codec in (("UTF-16", "utf-16"), ("UTF-16LE", "utf-16-le"),
                            ("UTF-16BE", "utf-16-be"), ("UTF-32", "utf-32"),
                            ("UTF-32LE", "utf-32-le")):
            with self.subTest(encoding=name, codec=codec):
                bag.write(path, ('<?xml version="1.0" encoding="%s"?>' % name
                                 + document(citations=["T"])).encode(codec))
                self.assertEqual(read_survey(path).OBJNAM, "T")
                self.assertEqual(cli.extract_file(path)["OBJNAM"], "T")

    def test_as_utf8_for_the_metadata_parser(self):
        from bathyra.document import Document
        from bathyra.metadata_parser import extract_metadata
        text = ('<?xml version="1.0" encoding="Shift_JIS"?>'
                + document(citations=[SCRIPTS["ja"]]))
        copy = survey.as_utf8(text.encode("shift_jis"))
        self.assertTrue(copy.startswith(b'<?xml version="1.0" '
                                        b'encoding="UTF-8"    ?>'), copy)
        record = extract_metadata(Document(None, copy))
        self.assertEqual(record["OBJNAM"], SCRIPTS["ja"])
        self.assertEqual(record, extract_metadata(Document(
            None, text.replace("Shift_JIS", "UTF-8").encode())))
        # What expat reads by itself is left as it is.
        for name, codec in (("UTF-8", "utf-8"), ("UTF-16", "utf-16"),
                            ("ISO-8859-1", "latin-1"),
                            ("US-ASCII", "ascii")):
            self.assertIsNone(survey.as_utf8(self.declared(name).encode(
                codec)), name)
        self.assertIsNone(survey.as_utf8(survey_document("S").encode()))
        with self.assertRaises(SurveyError):
            survey.as_utf8(self.declared("hex").encode())


def laughs(levels, uses, padding):
    """A document whose title is `uses` references to an entity of 10 **
    `levels` characters, nested ten by ten, after `padding` characters of
    comment (which keeps expat's own amplification check quiet)."""
    entities = '<!ENTITY e0 "xxxxxxxxxx">' + "".join(
        '<!ENTITY e%d "%s">' % (level, "&e%d;" % (level - 1) * 10)
        for level in range(1, levels))
    return ("<!DOCTYPE gmi:MI_Metadata [<!-- %s -->%s]>" % (
        " " * padding, entities) + survey_document("S").replace(
            ">S<", ">%s<" % ("&e%d;" % (levels - 1) * uses))).encode()


class DoctypeTest(SurveyChecks):
    """Documents with a DOCTYPE: read as the XML library reads them, their
    entities weighed before any is expanded, nothing outside them read."""

    def doctype(self, subset, title, system=""):
        return ('<?xml version="1.0"?>\n<!DOCTYPE gmi:MI_Metadata%s [%s]>\n'
                % (system, subset) + survey_document("S").replace(
                    ">S<", ">%s<" % title))

    def test_documents_read_as_the_library_reads_them(self):
        cases = [
            # Comments, instructions, literals holding ">", "]" and quotes.
            ('<!-- "a ] > --><?pi ] > ?><!ELEMENT x (a|b)*><!ATTLIST '
             "gmi:MI_Metadata q CDATA 'a>]b'><!ENTITY t 'F&#38;amp;0'>"
             '<!ENTITY n "&t; &amp; a\r\nb">', "&n;"),
            ('<!ENTITY a "&b;!"><!ENTITY b "B">', "&a;&a;"),
            ('<!ENTITY t "first"><!ENTITY t "second">', "&t;"),
            ('<!ENTITY lt2 "&#38;#60;">', "&lt2;"),
            ('<!ENTITY a "&b;"><!ENTITY b "&a;"><!ENTITY c "C">', "&c;"),
            ('<!ENTITY t "a&#13;&#10;b">', "&t;"),
            ('<!ENTITY % p "<!ENTITY u \'unused\'>"><!ENTITY t "T">',
             "&t;"),
            ('<!ENTITY o "O &amp; co"><!ATTLIST gco:CharacterString x '
             'CDATA "&o;">', "&o;"),
        ]
        for subset, title in cases:
            text = self.doctype(subset, title)
            expected = ET.fromstring(text).find(
                ".//{http://www.isotc211.org/2005/gco}CharacterString").text
            with self.subTest(subset=subset):
                for form in (text, text.encode(),
                             text.replace('"1.0"', '"1.0" encoding="UTF-16"')
                             .encode("utf-16"),
                             text.replace('"1.0"', '"1.0" encoding="EUC-JP"')
                             .encode("euc_jp")):
                    self.assertEqual(parse_survey(form).OBJNAM, expected)
        # A namespace declared by a default attribute.
        text = self.doctype(
            '<!ATTLIST gmi:MI_Metadata xmlns:g CDATA #FIXED "http://www.'
            'isotc211.org/2005/gco">', "S").replace("gco:Char", "g:Char")
        self.assertEqual(parse_survey(text).OBJNAM, "S")

    def test_entities_are_weighed_before_they_expand(self):
        big = "x" * 100000
        for label, data in [
                # A 100 KB entity 800 times, and 10**6 characters 40 times
                # (each read 80 and 40 million characters before).
                ("large", self.doctype('<!-- %s --><!ENTITY e "%s">' % (
                    " " * 900000, big), "&e;" * 800).encode()),
                ("nested", laughs(7, 40, 1000000)),
                ("nested, short", laughs(10, 1, 0)),
                ("attribute", self.doctype(
                    '<!-- %s --><!ENTITY e "%s"><!ATTLIST gmi:MI_Metadata x '
                    'CDATA "%s">' % (" " * 900000, big, "&e;" * 800),
                    "S").encode())]:
            with self.subTest(label):
                with self.assertRaises(SurveyError) as caught:
                    parse_survey(data)
                self.assertIn("DOCTYPE declares entities that expand it "
                              "beyond 8388608 characters",
                              caught.exception.message)
        # Nor much of them used, nor an entity that adds its own size.
        self.assertEqual(len(parse_survey(laughs(6, 1, 0)).OBJNAM), 10 ** 6)
        text = self.doctype('<!ENTITY e "%s">' % big, "&e;" * 10)
        self.assertEqual(len(parse_survey(text).OBJNAM), 10 ** 6)
        # Default attributes copied into every element.
        from bathyra import _doctype
        many = "".join("<gco:CharacterString/>" for _ in range(100))
        text = self.doctype('<!ATTLIST gco:CharacterString x CDATA "%s">'
                            % ("d" * 5000), "S").replace(
                                "<gmd:title>", "<gmd:title>" + many)
        self.assertEqual(parse_survey(text).OBJNAM, "S")
        saved = _doctype.ENTITY_LIMIT
        _doctype.ENTITY_LIMIT = 1000
        try:
            with self.assertRaisesRegex(SurveyError, "default attributes "
                                        "that expand it beyond"):
                parse_survey(text)
        finally:
            _doctype.ENTITY_LIMIT = saved

    def test_nothing_outside_the_document_is_read(self):
        tmp = support.temporary_directory(self)
        secret = os.path.join(tmp, "secret.ent")
        with open(secret, "w") as stream:
            stream.write("SECRET")
        dtd = os.path.join(tmp, "survey.dtd")
        with open(dtd, "w") as stream:
            stream.write('<!ENTITY t "SECRET">')
        for system, subset, title in [
                ("", '<!ENTITY e SYSTEM "file:///etc/hostname">', "&e;"),
                ("", '<!ENTITY e SYSTEM "%s">' % secret, "&e;"),
                ("", '<!ENTITY e PUBLIC "-//x//y" "file://%s">' % secret,
                 "&e;"),
                (' SYSTEM "file://%s"' % dtd, "", "&t;"),
                (' SYSTEM "%s"' % dtd, '<!ENTITY %% d SYSTEM "%s">%%d;'
                 % dtd, "&t;")]:
            with self.subTest(system=system, subset=subset):
                with self.assertRaises(SurveyError) as caught:
                    parse_survey(self.doctype(subset, title, system))
                self.assertRegex(caught.exception.message,
                                 r"^not well-formed XML \(.*not read\)$")
                self.assertNotIn("SECRET", caught.exception.message)
        # Unused, they are no obstacle.
        self.assertEqual(parse_survey(self.doctype(
            '<!ENTITY e SYSTEM "%s">' % secret, "S", ' SYSTEM "%s"' % dtd))
            .OBJNAM, "S")


class FuzzTest(unittest.TestCase):
    """Mutations of the corpus and the examples raise nothing but
    SurveyError.  BATHYRA_FUZZ_SECONDS runs it longer, BATHYRA_FUZZ_SEED
    from another seed."""

    TOKENS = [b"<!DOCTYPE x>", b"&", b"&amp;", b"&#0;", b"&#xD800;", b"\0",
              b"<![CDATA[", b"]]>", b"<?xml version='1.0'?>", b"\xff\xfe",
              b"\xfe\xff", b"\xef\xbb\xbf", b"<", b"\"", b"'", b"%p;",
              b"\r\n", b"\xc3", b"\xed\xa0\x80", b"</gmd:title>",
              b"<gco:CharacterString>"]
    ENTITIES = [b'<!ENTITY e "&f;&f;&f;">', b'<!ENTITY f "ff">',
                b'<!ENTITY e SYSTEM "file:///etc/hostname">',
                b'<!ENTITY % p "<!ENTITY t \'p\'>">', b"%p;",
                b'<!ENTITY r "&r;">', b'<!ATTLIST gmd:title x CDATA "&e;">',
                b'<!ENTITY t "<gco:CharacterString>T</gco:Character'
                b'String>">', b'<!ENTITY e "&#38;f;">', b"<!-- ] -->"]
    ENCODINGS = ["Shift_JIS", "EUC-JP", "Big5", "GB2312", "UTF-16",
                 "utf-16-le", "UTF-32", "utf-32-be", "IBM037", "UTF-7",
                 "rot13", "hex", "idna", "punycode", "undefined", "x-none",
                 "latin-1", "US-ASCII", "utf-8-sig", "hz", "ISO-2022-JP",
                 "cp864", "unicode_escape"]

    def mutated(self, rng, data):
        pick = rng.randrange(8)
        at = rng.randrange(len(data) + 1)
        span = rng.randint(1, 64)
        if pick == 0:
            data = bytearray(data)
            for _ in range(rng.randint(1, 8)):
                if data:
                    data[rng.randrange(len(data))] = rng.randrange(256)
            return bytes(data)
        if pick == 1:
            return data[:at]
        if pick == 2:
            return data[:at] + data[at:at + span] * rng.randint(2, 9) + (
                data[at + span:])
        if pick == 3:
            return data[:at] + data[at + span:]
        if pick == 4:
            subset = b"".join(rng.choice(self.ENTITIES)
                              for _ in range(rng.randint(1, 6)))
            body = data[data.find(b"?>") + 2:] if data.startswith(
                b"<?xml") else data
            body = body.replace(b">S<", b">" + rng.choice(
                [b"&e;", b"&t;", b"&r;", b"&f;" * 50]) + b"<")
            at = body.find(b">", rng.randrange(len(body) + 1)) + 1
            body = body[:at] + rng.choice([b"&e;", b"&t;", b""]) + body[at:]
            return b"<!DOCTYPE x [" + subset + b"]>" + body
        if pick == 5:
            name = rng.choice(self.ENCODINGS)
            text = data.decode("utf-8", "replace")
            if text.startswith("<?xml"):
                text = text[text.find("?>") + 2:]
            text = '<?xml version="1.0" encoding="%s"?>' % name + text
            try:
                return text.encode(name, "xmlcharrefreplace")
            except (LookupError, TypeError, UnicodeError, ValueError):
                return text.encode("utf-8")
        if pick == 6:
            return data[:at] + rng.choice(self.TOKENS) + data[at:]
        return data.replace(b"UTF-8", rng.choice(self.ENCODINGS).encode(),
                            1)

    def test_mutated_documents_raise_only_survey_error(self):
        seconds = float(os.environ.get("BATHYRA_FUZZ_SECONDS", "2"))
        rng = __import__("random").Random(
            int(os.environ.get("BATHYRA_FUZZ_SEED", "19139")))
        seeds = [survey_document("S").encode(),
                 ('<?xml version="1.0" encoding="UTF-8"?>'
                  + survey_document("S", acquisition="<gmi:platform/>"))
                 .encode()]
        for path in support.corpus_paths():
            with open(path, "rb") as stream:
                seeds.append(stream.read().rstrip(b"\0"))
        import time
        deadline = time.monotonic() + seconds
        runs = 0
        while runs < 20 or time.monotonic() < deadline:
            seed = rng.getrandbits(32)
            case = __import__("random").Random(seed)
            data = case.choice(seeds)
            for _ in range(case.randint(1, 3)):
                data = self.mutated(case, data)
            form = data if case.random() < 0.8 else data.decode(
                "utf-8", case.choice(["replace", "surrogateescape"]))
            runs += 1
            try:
                parse_survey(form)
            except SurveyError as error:
                self.assertNotRegex(error.message, PYTHON_TEXT)
            except Exception as error:
                import tempfile
                handle, saved = tempfile.mkstemp(
                    prefix="bathyra-survey-fuzz-%d-" % seed, suffix=".xml")
                with os.fdopen(handle, "wb") as stream:
                    stream.write(data)
                self.fail("seed %d: %s: %s (the document: %s%s)" % (
                    seed, type(error).__name__, error, saved,
                    ", given as str" if isinstance(form, str) else ""))
        print("\nsurvey fuzz: %d mutated documents" % runs,
              file=__import__("sys").stderr)


@unittest.skipIf(NO_DASK, NO_DASK)
class ClusterTest(unittest.TestCase):
    """The README's way beyond one machine, on a local cluster of worker
    processes: surveys and errors travel back pickled."""

    def test_dask_bag_on_a_local_cluster(self):
        import dask.bag
        from distributed import Client, LocalCluster
        paths = [os.path.join(support.EXAMPLES_DIR, name)
                 for name in sorted(os.listdir(support.EXAMPLES_DIR))]
        missing = os.path.join(support.EXAMPLES_DIR, "missing.xml")
        with LocalCluster(n_workers=2, threads_per_worker=1,
                          processes=True, dashboard_address=None) as cluster:
            with Client(cluster) as client:
                surveys = dask.bag.from_sequence(paths, npartitions=2).map(
                    bathyra.read_survey).compute()
                error = client.submit(bathyra.read_survey,
                                      missing).exception()
        self.assertEqual(surveys, [read_survey(path) for path in paths])
        self.assertIsInstance(error, SurveyError)
        self.assertEqual(error.path, missing)


if __name__ == "__main__":
    unittest.main()
