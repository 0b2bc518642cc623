"""The survey reader's field rules, on documents made here: date forms,
the direction of depths, placeholders, roles, and what is never taken."""
import time
import unittest

import bathyra
from bathyra import _survey
from tests.documents import (acquired, depth_range, document,
                             hostile_documents, instant, party, period,
                             reference_system, survey_document)

DATE_STAMP = "<gmd:dateStamp><gco:Date>2020-01-01</gco:Date></gmd:dateStamp>"


def doc(*extents, head="", **parts):
    """A survey document (bytes) with a metadata date, `extents` in its
    identification and the other parts of survey_document."""
    return survey_document(extents="".join(extents), head=DATE_STAMP + head,
                           **parts).encode()


def inline_crs(direction, unit="m", datum="Mean Lower Low Water"):
    return ('<gmd:verticalCRS><gml:VerticalCRS gml:id="v"><gml:name>local'
            '</gml:name><gml:verticalCS><gml:VerticalCS gml:id="cs">'
            '<gml:axis><gml:CoordinateSystemAxis gml:id="a" uom="%s">'
            '<gml:axisDirection>%s</gml:axisDirection>'
            '</gml:CoordinateSystemAxis></gml:axis></gml:VerticalCS>'
            '</gml:verticalCS><gml:verticalDatum><gml:VerticalDatum '
            'gml:id="d"><gml:name>%s</gml:name></gml:VerticalDatum>'
            '</gml:verticalDatum></gml:VerticalCRS></gmd:verticalCRS>'
            % (unit, direction, datum))


def problems(record, attribute):
    return [message for name, message in record["problems"]
            if name == attribute]


class DateTest(unittest.TestCase):

    def test_forms(self):
        cases = {
            "2019-03-14": "20190314", "2019-03-14T10:20:30Z": "20190314",
            "2019-03-14T23:30:00-05:00": "20190314",
            "2019-03-14T10:20:30.125+0200": "20190314",
            "20190314": "20190314", "20190314T102030Z": "20190314",
            "2019-03": "201903", "2019": "2019", " 2019-03-14 ": "20190314",
        }
        for written, s57 in cases.items():
            with self.subTest(written):
                record = _survey.parse(doc(period(written, written)))
                self.assertEqual((record["SURSTA"], record["SUREND"]),
                                 (s57, s57))
        for written in ("2019-02-30", "2019-13", "14/03/2019", "0000",
                        "-0500", "2019-03-14T25:00", "2019-3-14",
                        "2019-00-15", "20190015", "2019-00", "2019-03-00"):
            with self.subTest(written):
                record = _survey.parse(doc(period(written, "2020")))
                self.assertIsNone(record["SURSTA"])
                self.assertTrue(problems(record, "SURSTA"))

    def test_extents_open_ends_and_instants(self):
        record = _survey.parse(doc(period("2019-05", "2019-06-30"),
                                   period("2019-04-02", "2019")))
        self.assertEqual((record["SURSTA"], record["SUREND"]),
                         ("20190402", "2019"))
        record = _survey.parse(doc(
            period("2019-01-01", "", end_attributes=' indeterminatePosition='
                   '"now"'), period("2018-01-01", "2018-12-31")))
        self.assertEqual((record["SURSTA"], record["SUREND"]),
                         ("20180101", None))
        self.assertEqual(problems(record, "SUREND"),
                         ['survey end is open ("now")'])
        record = _survey.parse(doc(instant("2021-07-04T12:00:00")))
        self.assertEqual((record["SURSTA"], record["SUREND"]),
                         ("20210704", "20210704"))

    def test_metadata_and_citation_dates_are_never_survey_dates(self):
        cited = ('<gmd:date><gmd:CI_Date><gmd:date><gco:Date>2018-02-03'
                 '</gco:Date></gmd:date></gmd:CI_Date></gmd:date>')
        record = _survey.parse(doc(title="Survey", parties=cited))
        self.assertIsNone(record["SURSTA"])
        self.assertEqual(problems(record, "SURSTA"),
                         ["no survey period in the identification (only a "
                          "metadata date)"])


class DepthTest(unittest.TestCase):

    def depths(self, crs, is_bag=False, head=""):
        record = _survey.parse(doc(depth_range("-2.5", "30", crs), head=head),
                               is_bag=is_bag)
        return record, (record["DRVAL1"], record["DRVAL2"])

    def test_directions(self):
        record, depths = self.depths(inline_crs("down"))
        self.assertEqual(depths, (-2.5, 30.0))
        self.assertEqual(record["VERDAT"], 12)
        record, depths = self.depths(inline_crs("up", unit="ft"))
        self.assertEqual(depths, (-30 * 0.3048, 2.5 * 0.3048))
        record, depths = self.depths("")
        self.assertEqual(depths, (-30.0, 2.5))
        self.assertEqual(problems(record, "DRVAL1"),
                         ["vertical CRS unknown: depths taken from heights"])
        record, depths = self.depths("", is_bag=True)
        self.assertEqual(depths, (-30.0, 2.5))
        self.assertEqual(problems(record, "DRVAL1"), [])
        record, depths = self.depths("", head=reference_system(
            'VERT_CS["MLLW", VERT_DATUM["MLLW", 2000]]'))
        self.assertEqual(depths, (-30.0, 2.5))
        self.assertEqual((record["vertical_crs"], record["VERDAT"]),
                         ("MLLW", 12))

    @unittest.skipUnless(_survey.proj_available(), "built without PROJ")
    def test_epsg_codes(self):
        depth = ('<gmd:verticalCRS xlink:href="https://example.org/?gml='
                 'urn:ogc:def:crs:EPSG::5715"/>')
        record, depths = self.depths(depth)
        self.assertEqual(depths, (-2.5, 30.0))
        self.assertEqual((record["vertical_crs"], record["vertical_datum"],
                          record["VERDAT"]),
                         ("EPSG:5715", "Mean Sea Level", 3))
        record, depths = self.depths(
            '<gmd:verticalCRS xlink:href="urn:ogc:def:crs:EPSG::6360"/>')
        self.assertAlmostEqual(depths[1], 2.5 * 1200 / 3937)
        self.assertIsNone(record["VERDAT"])
        record, depths = self.depths(
            '<gmd:verticalCRS xlink:href="EPSG:4326"/>')
        self.assertEqual(depths, (-30.0, 2.5))
        self.assertIn("names no vertical CRS", problems(record, "DRVAL1")[0])

    def test_values_that_are_not_depths(self):
        record = _survey.parse(doc(depth_range("nan", "3")))
        self.assertEqual((record["DRVAL1"], record["DRVAL2"]), (None, None))
        self.assertEqual(problems(record, "DRVAL1"),
                         ["the depth range holds NaN"])
        record = _survey.parse(doc(depth_range("deep", "3")))
        self.assertIn('minimum "deep"', problems(record, "DRVAL1")[0])


class NameTest(unittest.TestCase):

    def test_platforms_instruments_and_contacts(self):
        sponsor = ("<gmi:sponsor><gmd:CI_ResponsibleParty><gmd:organisationName>"
                   "<gco:CharacterString>Ship Owner Ltd</gco:CharacterString>"
                   "</gmd:organisationName></gmd:CI_ResponsibleParty>"
                   "</gmi:sponsor>")
        instrument = acquired("instrument", description="instrument unknown",
                              type="multibeam")
        acquisition = (acquired("platform", "Vessel A", "long",
                                inner=sponsor + instrument) +
                       acquired("platform", description="Platform Name") +
                       acquired("platform", description="Vessel A"))
        record = _survey.parse(doc(acquisition=acquisition))
        self.assertEqual(record["platforms"], ("Vessel A",))
        self.assertEqual(record["instruments"], ("multibeam",))
        self.assertEqual(record["planam"], "Vessel A")

    def test_title_and_authority(self):
        record = _survey.parse(doc(
            title="H12345.csar", parties=party("Owner Office", "owner"),
            contacts=party("Contact Office", "pointOfContact",
                           element="gmd:pointOfContact"),
            head=reference_system("EPSG:3395", "WGS 84 / World Mercator")))
        self.assertEqual(record["OBJNAM"], "H12345")
        self.assertEqual(record["SURATH"], "Owner Office")
        self.assertEqual(record["horizontal_crs"], "EPSG:3395")


class DocumentTest(unittest.TestCase):

    def test_documents_that_are_refused_or_deferred(self):
        with self.assertRaisesRegex(_survey.DocumentError,
                                    "^not well-formed XML"):
            _survey.parse(b"<gmi:MI_Metadata")
        with self.assertRaisesRegex(_survey.DocumentError, "legacy smXML"):
            _survey.parse(b'<MD_Metadata xmlns="http://metadata.dgiwg.org/'
                          b'smXML"/>')
        with self.assertRaisesRegex(_survey.DocumentError, "root element"):
            _survey.parse(b"<html/>")
        self.assertIsNone(_survey.parse(b'<!DOCTYPE x><x/>'))
        self.assertEqual(_survey.parse(doc().decode())["standard"],
                         "ISO 19139")

    def test_deep_nesting_and_wide_documents(self):
        depth = 100000
        nested = ("<gmd:extent>" * depth + "<gml:TimeInstant gml:id=\"i\">"
                  "<gml:timePosition>2019-01-02</gml:timePosition>"
                  "</gml:TimeInstant>" + "</gmd:extent>" * depth)
        self.assertEqual(_survey.parse(doc(nested))["SURSTA"], "20190102")
        many = "".join(acquired("platform", description="P%d" % i)
                       for i in range(20000))
        record = _survey.parse(doc(acquisition=many))
        self.assertEqual(len(record["platforms"]), 20000)

    def test_hostile_documents_are_read_or_refused(self):
        good = document(platforms=["Vessel A"])
        for label, hostile in hostile_documents(good).items():
            with self.subTest(label):
                start = time.monotonic()
                try:
                    survey = bathyra.parse_survey(hostile)
                except bathyra.SurveyError as error:
                    self.assertTrue(str(error).startswith(
                        "not well-formed XML"), error)
                else:
                    self.assertEqual(survey.platforms,
                                     ("Navire é A",) if label == "Latin-1"
                                     else ("Vessel A",))
                self.assertLess(time.monotonic() - start, 30)


if __name__ == "__main__":
    unittest.main()
