"""The survey reader's field rules, on documents made here: date forms,
the direction of depths, placeholders, roles, and what is never taken."""
import time
import unittest

import bathyra
from bathyra import _survey, bag
from tests.documents import (SURVEY_NAMESPACES, acquired, bounding_box,
                             depth_range, document, hostile_documents,
                             instant, party, period, reference_system,
                             survey_document)

DATE_STAMP = "<gmd:dateStamp><gco:Date>2020-01-01</gco:Date></gmd:dateStamp>"
needs_proj = unittest.skipUnless(_survey.proj_available(), "built without "
                                 "PROJ: EPSG codes give no axis direction")


def doc(*extents, head="", **parts):
    """A survey document (bytes) with a metadata date, `extents` in its
    identification and the other parts of survey_document."""
    return survey_document(extents="".join(extents), head=DATE_STAMP + head,
                           **parts).encode()


def parsed(*extents, **parts):
    """The Survey of doc(*extents, **parts)."""
    return bathyra.parse_survey(doc(*extents, **parts))


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


def quote(text):
    """`text` as a problem quotes it: in quotes, cut past 60 bytes."""
    return '"%s"' % (text if len(text.encode()) <= 60 else
                     text.encode()[:57].decode(errors="ignore") + "...")


def problems(survey, attribute):
    return [message for name, message in survey.problems
            if name == attribute]


class DateTest(unittest.TestCase):

    def test_forms(self):
        # Each form as start and end, in GML 3.2 and 3.1; no conversion to
        # UTC: the date as written.
        cases = {
            "2019-03-14": "20190314", "2019-03-14T10:20:30Z": "20190314",
            "2019-03-14T23:30:00-05:00": "20190314",
            "2019-03-20T00:30:00+09:00": "20190320",
            "2019-03-14T09:05:59.024Z": "20190314",
            "2019-03-20T10:00:00": "20190320",
            "2019-03-14T10:20:30.125+0200": "20190314",
            "20190314": "20190314", "20190320T120000Z": "20190320",
            "2019-03": "201903", "2019": "2019", " 2019-03-14 ": "20190314",
        }
        for written, s57 in cases.items():
            for gml in ("gml", "gml31"):
                with self.subTest(written, gml=gml):
                    result = parsed(period(written, written, gml))
                    self.assertEqual((result.SURSTA, result.SUREND),
                                     (s57, s57))
        for written in ("2019-02-30", "2019-13", "14/03/2019", "0000",
                        "-0500", "-0044-03-15", "2019-03-14T25:00",
                        "2019-3-14", "2019-00-15", "20190015", "2019-00",
                        "2019-03-00"):
            with self.subTest(written):
                result = parsed(period(written, "2020"))
                self.assertEqual((result.SURSTA, result.SUREND),
                                 (None, "2020"))
                self.assertTrue(problems(result, "SURSTA"))

    def test_extents_open_ends_and_instants(self):
        now = ' indeterminatePosition="now"'
        open_end = [period("2019-01-01", "", end_attributes=now),
                    period("2018-01-01", "2018-12-31")]
        ends = "".join(
            '<gml:%s><gml:TimeInstant gml:id="%s"><gml:timePosition>%s'
            '</gml:timePosition></gml:TimeInstant></gml:%s>'
            % (end, end, date, end)
            for end, date in (("begin", "2010-05-07"), ("end", "2014-03-17")))
        cases = [
            # The widest period of all, each end at its own precision.
            ([period("2019-05", "2019-06-30"), period("2019-04-02", "2019")],
             ("20190402", "2019")),
            ([period("2012-05-01", "2012-06-01"),
              period("2011-01-01", "2011-02-01"),
              period("2012-01-01", "2013-01-01")], ("20110101", "20130101")),
            # An open end leaves the survey open, whatever the others say.
            (open_end, ("20180101", None)),
            ([instant("2021-07-04T12:00:00")], ("20210704", "20210704")),
            ([period(None, None).replace("</gml:TimePeriod>",
                                         ends + "</gml:TimePeriod>")],
             ("20100507", "20140317")),
        ]
        for extents, dates in cases:
            with self.subTest(dates=dates):
                result = parsed(*extents)
                self.assertEqual((result.SURSTA, result.SUREND), dates)
        self.assertEqual(problems(parsed(*open_end), "SUREND"),
                         ['survey end is open ("now")'])

    def test_only_the_identification_dates_the_survey(self):
        # Neither the metadata date nor a citation date, typed or not.
        cited = "".join(
            "<gmd:date><gmd:CI_Date><gmd:date><gco:Date>%s</gco:Date>"
            "</gmd:date>%s</gmd:CI_Date></gmd:date>" % dated for dated in (
                ("2018-02-03", ""),
                ("2019-03-01", '<gmd:dateType><gmd:CI_DateTypeCode codeList='
                 '"#" codeListValue="creation">creation</gmd:CI_DateTypeCode>'
                 '</gmd:dateType>')))
        result = parsed(title="Survey", parties=cited)
        self.assertEqual((result.SURSTA, result.SUREND), (None, None))
        self.assertEqual(problems(result, "SURSTA"),
                         ["no survey period in the identification (only a "
                          "metadata date)"])
        # A service identification dates the survey only when there is no
        # data identification.
        service = ("<gmd:identificationInfo><srv:SV_ServiceIdentification>"
                   "<srv:extent>%s</srv:extent>"
                   "</srv:SV_ServiceIdentification></gmd:identificationInfo>"
                   % period("2000-01-01", "2020-01-01"))
        result = parsed(period("2019-03-14", "2019-03-20"), others=service)
        self.assertEqual((result.SURSTA, result.SUREND),
                         ("20190314", "20190320"))
        result = parsed(period("2000-01-01", "2020-01-01"),
                        identification="srv:SV_ServiceIdentification")
        self.assertEqual((result.SURSTA, result.SUREND),
                         ("20000101", "20200101"))


UNKNOWN = ["vertical CRS unknown: depths taken from heights"]
HREF = '<gmd:verticalCRS xlink:href="%s"/>'


class DepthTest(unittest.TestCase):

    def assertDepths(self, result, depths, drval_problems, **fields):
        """DRVAL1 and DRVAL2 are `depths` (the repr tells 0.0 from -0.0),
        each with the problems `drval_problems`; the other fields as
        given."""
        self.assertEqual(repr((result.DRVAL1, result.DRVAL2)), repr(depths))
        for attribute in ("DRVAL1", "DRVAL2"):
            self.assertEqual(problems(result, attribute), drval_problems)
        for name, value in fields.items():
            self.assertEqual(getattr(result, name), value, name)

    def check(self, cases):
        """Each case: a vertical CRS element and a head for the range -2.5
        to 30, then what assertDepths expects."""
        for crs, head, depths, drval_problems, fields in cases:
            with self.subTest(crs=crs, head=head):
                self.assertDepths(parsed(depth_range("-2.5", "30", crs),
                                         head=head),
                                  depths, drval_problems, **fields)

    def test_directions(self):
        self.check([
            (inline_crs("down"), "", (-2.5, 30.0), [], dict(VERDAT=12)),
            (inline_crs("up", unit="ft"), "", (-30 * 0.3048, 2.5 * 0.3048),
             [], {}),
            ("", "", (-30.0, 2.5), UNKNOWN, {}),
            ('<gmd:verticalCRS gco:nilReason="unknown"/>', "", (-30.0, 2.5),
             UNKNOWN, {}),
            ("", reference_system('VERT_CS["MLLW", VERT_DATUM["MLLW", 2000]]'),
             (-30.0, 2.5), [], dict(vertical_crs="MLLW", VERDAT=12)),
        ])

    @needs_proj
    def test_epsg_codes(self):
        msl = dict(vertical_crs="EPSG:5715", vertical_datum="Mean Sea Level",
                   VERDAT=3)
        self.check([
            (HREF % link, "", (-2.5, 30.0), [], msl) for link in (
                "http://www.opengis.net/def/crs/EPSG/0/5715",
                "urn:ogc:def:crs:EPSG::5715",
                "https://example.org/?gml=urn:ogc:def:crs:EPSG::5715")] + [
            # NAVD88 height, up.
            (HREF % "urn:ogc:def:crs:EPSG::5703", "", (-30.0, 2.5), [], {}),
            (HREF % "EPSG:4326", "", (-30.0, 2.5),
             ["the vertical CRS reference EPSG:4326 names no vertical CRS: "
              "depths taken from heights"], {}),
            ("", reference_system("5866", code_space="EPSG"), (-2.5, 30.0),
             [], dict(vertical_crs="EPSG:5866", VERDAT=12)),
            # Codes in brackets, a space after the colon.
            ("", reference_system("NAVD88 (GEOID 12B) [EPSG: 5703]")
             + reference_system("NAD83 (2011) / UTM Zone 12N [EPSG: 6341]"),
             (-30.0, 2.5), [], dict(vertical_crs="EPSG:5703",
                                    horizontal_crs="EPSG:6341")),
            # A datum's URN with the code of a vertical CRS (MHW height),
            # and one with a code of neither: the reference's title.
            ("", reference_system("urn:ogc:def:datum:EPSG::5868"),
             (-30.0, 2.5), [], dict(vertical_crs="EPSG:5868",
                                    vertical_datum="Mean High Water",
                                    VERDAT=16, horizontal_crs=None)),
            ("", reference_system("urn:ogc:def:datum:EPSG::99999",
                                  "Mean High Water"), (-30.0, 2.5), UNKNOWN,
             dict(vertical_crs="Mean High Water", VERDAT=16,
                  horizontal_crs=None)),
        ])
        # NAVD88 height in US survey feet.
        result = parsed(depth_range("-2.5", "30", HREF % "urn:ogc:def:crs:"
                                    "EPSG::6360"))
        self.assertAlmostEqual(result.DRVAL1, -30 * 1200 / 3937)
        self.assertAlmostEqual(result.DRVAL2, 2.5 * 1200 / 3937)
        self.assertIsNone(result.VERDAT)

    def test_values(self):
        cases = [
            ("nan", "3", (None, None),
             ['the depth range is not finite (minimum "nan", maximum "3")']),
            ("deep", "3", (None, None), ['the depth range is not a number '
                                         '(minimum "deep", maximum "3")']),
            ("+-1", "3", (None, None), ['the depth range is not a number '
                                        '(minimum "+-1", maximum "3")']),
            # Too small for a double: zero.
            ("1e-999", "3", (-3.0, 0.0), UNKNOWN),
            # Heights, the minimum above the maximum: ordered depths.
            ("-0.739", "-1.326", (0.739, 1.326), UNKNOWN),
            # A negated zero height is a depth of 0.0.
            ("0", "-0", (0.0, 0.0), UNKNOWN),
        ]
        for minimum, maximum, depths, drval_problems in cases:
            with self.subTest(minimum=minimum, maximum=maximum):
                self.assertDepths(parsed(depth_range(minimum, maximum)),
                                  depths, drval_problems)

    def test_values_that_are_not_finite(self):
        # NaN and the infinities, as XML and other writers spell them, and
        # values beyond a double: no depths, and only that is said.
        for text in ("INF", "-INF", "+inf", "Infinity", "-infinity", "NaN",
                     "-nan", "nan(7)", "1e999", "-1E400", "1" * 400):
            for minimum, maximum in ((text, "3"), ("3", text)):
                with self.subTest(minimum=minimum[:12], maximum=maximum[:12]):
                    self.assertDepths(
                        parsed(depth_range(minimum, maximum)), (None, None),
                        ['the depth range is not finite (minimum %s, maximum '
                         '%s)' % (quote(minimum), quote(maximum))])

    def test_bag_files_hold_elevations(self):
        result = bathyra.parse_survey(bag.BagFile(
            "s.bag", doc(depth_range("-2.5", "30")), "1.6.2"))
        self.assertDepths(result, (-30.0, 2.5), [], path="s.bag",
                          bag_version="1.6.2")


class NameTest(unittest.TestCase):

    def test_platforms_and_instruments(self):
        sponsor = ("<gmi:sponsor><gmd:CI_ResponsibleParty>"
                   "<gmd:organisationName><gco:CharacterString>Ship Owner "
                   "Ltd</gco:CharacterString></gmd:organisationName>"
                   "</gmd:CI_ResponsibleParty></gmi:sponsor>")
        cases = [
            # Placeholders are passed over for the description or the
            # type; a name is kept once; planam names the platforms.
            (acquired("instrument", "instrument unknown",
                      type="Multibeam echosounder")
             + acquired("instrument", type="instrument type unknown")
             + acquired("platform", "Launch 2801", description="Platform Name")
             + acquired("platform", "", description="unknown")
             + acquired("platform", description="Survey Vessel One")
             + acquired("platform", "Launch 2801"),
             ("Launch 2801", "Survey Vessel One"), ("Multibeam echosounder",),
             "Launch 2801, Survey Vessel One"),
            # Without platforms, planam names the instruments.
            (acquired("instrument", "EM 712")
             + acquired("instrument", "SVP 70"),
             (), ("EM 712", "SVP 70"), "EM 712, SVP 70"),
            # An instrument inside a platform counts, its contacts do not.
            (acquired("platform", "Vessel A", "long", inner=sponsor + acquired(
                "instrument", description="instrument unknown",
                type="multibeam"))
             + acquired("platform", description="Platform Name")
             + acquired("platform", description="Vessel A"),
             ("Vessel A",), ("multibeam",), "Vessel A"),
        ]
        for acquisition, platforms, instruments, planam in cases:
            with self.subTest(planam=planam):
                result = parsed(title="S", acquisition=acquisition)
                self.assertEqual((result.platforms, result.instruments,
                                  result.planam),
                                 (platforms, instruments, planam))

    def test_subtypes_of_the_acquisition_classes(self):
        # An element of another name in the place of MI_Platform or
        # MI_Instrument is read as the class.
        acquisition = acquired("platform", "Vessel A", inner=acquired(
            "instrument", "EM 712")).replace("gmi:MI_", "eos:EOS_")
        acquisition = acquisition.replace(
            "<eos:EOS_Platform>", '<eos:EOS_Platform xmlns:eos="urn:x-eos">')
        result = parsed(title="S", acquisition=acquisition)
        self.assertEqual((result.platforms, result.instruments),
                         (("Vessel A",), ("EM 712",)))
        self.assertEqual(problems(result, "planam"), [])

    def test_object_name(self):
        for title, objnam in (("H13045_MB_1m.csar", "H13045_MB_1m"),
                              ("", None), (None, None)):
            with self.subTest(title=title):
                self.assertEqual(parsed(title=title).OBJNAM, objnam)
        # A title as a file name, in the identification whose fields are
        # read: another identification's title is not taken instead.
        other = ("<gmd:identificationInfo><gmd:MD_DataIdentification>"
                 "<gmd:citation><gmd:CI_Citation><gmd:title><gco:"
                 "CharacterString>Other</gco:CharacterString></gmd:title>"
                 "</gmd:CI_Citation></gmd:citation></gmd:MD_DataIdentification>"
                 "</gmd:identificationInfo>")
        for title, objnam in (("H1.csar", "H1"), ("", None)):
            text = doc(title="X", others=other).decode().replace(
                "<gco:CharacterString>X</gco:CharacterString>",
                '<gmx:FileName xmlns:gmx="http://www.isotc211.org/2005/gmx" '
                'src="f">%s</gmx:FileName>' % title)
            with self.subTest(file_name=title):
                self.assertEqual(_survey.parse(text)["OBJNAM"], objnam)

    def test_survey_authority_by_role(self):
        # The metadata contact is no party of the identification.
        head = party("Metadata Office", "originator", element="gmd:contact")
        contact = party("Contact Office", "pointOfContact",
                        element="gmd:pointOfContact")
        cases = [
            ([("Publisher", "publisher")], "", None),
            ([("Contact", "pointOfContact"), ("Keeper", "custodian")], "",
             "Keeper"),
            ([("Owner", "owner"), ("Lead", "principalInvestigator")], "",
             "Lead"),
            ([("Lead", "principalInvestigator"),
              ("Survey Office", "originator")], "", "Survey Office"),
            ([("Owner Office", "owner")], contact, "Owner Office"),
            ([("Writer", "author")], contact, "Writer"),
            # A point of contact is never the survey authority.
            ([], contact, None),
        ]
        for parties, contacts, authority in cases:
            with self.subTest(parties=parties, contacts=contacts):
                cited = "".join(party(name, role) for name, role in parties)
                result = parsed(title="S", parties=cited, contacts=contacts,
                                head=head)
                self.assertEqual(result.SURATH, authority)
        self.assertEqual(problems(result, "SURATH"), [
            'the organisation "Contact Office" is named as point of contact '
            'only, not taken as the survey authority: no organisation in a '
            'role of authorship (originator, principal investigator, owner, '
            'custodian, author) of the identification'])

    def test_bounding_box_and_horizontal_crs(self):
        result = parsed(bounding_box("-70.2871", "43.6312", "-70.2214",
                                     "43.6788"),
                        head=reference_system("EPSG:3395",
                                              "WGS 84 / World Mercator"))
        self.assertEqual(result.bbox, (-70.2871, 43.6312, -70.2214, 43.6788))
        self.assertEqual(result.horizontal_crs, "EPSG:3395")
        self.assertIsNone(parsed(bounding_box(0, 0, 0, 0)).bbox)

    @needs_proj
    def test_reference_systems_in_words(self):
        # Kept when the words name a CRS, else said to be none.
        self.assertEqual(parsed(head=reference_system(" WGS 84")
                                ).horizontal_crs, "WGS 84")
        for text in ("CARTESIAN", "Reference System > Code"):
            with self.subTest(text):
                result = parsed(head=reference_system(text)
                                + reference_system("also none"))
                self.assertIsNone(result.horizontal_crs)
                self.assertEqual(problems(result, "horizontal_crs"),
                                 ["the reference system %s names no CRS"
                                  % quote(text)])


class BoxTest(unittest.TestCase):

    def test_bounds(self):
        across = (170.0, -10.0, -170.0, 10.0)
        cases = [
            # West beyond east: a box across the antimeridian.
            (("170", "-10", "-170", "10"), across, []),
            (("-180", "-90", "180", "90"), (-180.0, -90.0, 180.0, 90.0), []),
            (("-270", "0", "1", "1"), None, ['the bounding box\'s west '
             'longitude "-270" is not between -180 and 180 degrees']),
            (("0", "0", "180.5", "1"), None, ['the bounding box\'s east '
             'longitude "180.5" is not between -180 and 180 degrees']),
            (("0", "-95", "1", "1"), None, ['the bounding box\'s south '
             'latitude "-95" is not between -90 and 90 degrees']),
            (("0", "0", "1", "95"), None, ['the bounding box\'s north '
             'latitude "95" is not between -90 and 90 degrees']),
            (("0", "10", "1", "5"), None, ['the bounding box\'s south '
             'latitude "10" is north of its north latitude "5"']),
            (("INF", "0", "1", "1"), None, ['the bounding box\'s west '
             'longitude "INF" is not a finite number']),
            (("0", "NaN", "1", "1"), None, ['the bounding box\'s south '
             'latitude "NaN" is not a finite number']),
            (("0", "0", "-Infinity", "1"), None, ['the bounding box\'s east '
             'longitude "-Infinity" is not a finite number']),
            (("0", "0", "1", "1e999"), None, ['the bounding box\'s north '
             'latitude "1e999" is not a finite number']),
            (("west", "0", "1", "1"), None, ['the bounding box\'s west '
             'longitude "west" is not a number']),
            (("0", "0", "0", "0"), None,
             ["the bounding box is all zeros (a placeholder)"]),
        ]
        for bounds, bbox, bbox_problems in cases:
            with self.subTest(bounds=bounds):
                result = parsed(bounding_box(*bounds))
                self.assertEqual((result.bbox, problems(result, "bbox")),
                                 (bbox, bbox_problems))
        # A box that is refused gives way to a later one.
        result = parsed(bounding_box("0", "0", "1", "95"),
                        bounding_box("170", "-10", "-170", "10"))
        self.assertEqual((result.bbox, problems(result, "bbox")),
                         (across, []))


class QuoteTest(unittest.TestCase):

    def test_quotes_of_the_document_stay_short(self):
        long = "é" * 200000
        code = "7" * 300000
        cases = [
            ("date", period("2019" + long, "2020")),
            ("open end", period("2019", "", end_attributes=' indeterminate'
                                'Position="%s"' % long)),
            ("depth text", depth_range(long, "3")),
            ("NaN payload", depth_range("nan(%s)" % ("9" * 200000), "3")),
            ("datum", depth_range("1", "3", inline_crs("down", datum=long))),
            ("code", depth_range("1", "3", HREF % ("urn:ogc:def:crs:EPSG::" +
                                                   code))),
            ("box", bounding_box(long, "0", "1", "1")),
        ]
        for label, extent in cases:
            with self.subTest(label):
                messages = [message for _, message in parsed(extent).problems]
                self.assertTrue(any('..."' in message or "... " in message
                                    for message in messages), messages)
                for message in messages:
                    self.assertLess(len(message), 200, message[:300])
                    self.assertNotIn("\\x", message)
        with self.assertRaises(_survey.DocumentError) as raised:
            _survey.parse('<x xmlns="urn:%s"/>' % long)
        self.assertLess(len(str(raised.exception)), 200)

    @needs_proj
    def test_codes_longer_than_any_name_nothing(self):
        # As an unknown code does, whether in the extent or in the
        # reference systems.
        for digits in (12, 300000):
            code = "7" * digits
            with self.subTest(digits=digits):
                result = parsed(depth_range("1", "3", HREF % (
                    "urn:ogc:def:crs:EPSG::" + code)),
                    head=reference_system("EPSG:" + code))
                self.assertEqual(
                    problems(result, "vertical_crs"),
                    ["the vertical CRS reference EPSG:%s names no vertical "
                     "CRS" % (code if digits < 50 else "7" * 52 + "...")])
                self.assertEqual(problems(result, "horizontal_crs"),
                                 ["no horizontal reference system"])


class DocumentTest(unittest.TestCase):

    def test_documents_that_are_refused_or_deferred(self):
        with self.assertRaisesRegex(_survey.DocumentError,
                                    "^not well-formed XML"):
            _survey.parse(b"<gmi:MI_Metadata")
        with self.assertRaisesRegex(_survey.DocumentError, "legacy smXML"):
            _survey.parse(b'<CI_Citation xmlns="http://metadata.dgiwg.org/'
                          b'smXML"/>')
        with self.assertRaisesRegex(_survey.DocumentError, "root element"):
            _survey.parse(b"<html/>")
        self.assertIsNone(_survey.parse(b'<!DOCTYPE x><x/>'))
        self.assertEqual(_survey.parse(doc().decode())["standard"],
                         "ISO 19139")

    def test_legacy_smxml(self):
        # Class elements in the smXML namespace, properties in none, values
        # as their text; a period in GML 3.1; a reference system given by
        # its parts (its vertical datum read) and one by its identifier.
        smxml = (
            '<smXML:MD_Metadata xmlns:smXML="http://metadata.dgiwg.org/smXML"'
            ' xmlns:gml="http://www.opengis.net/gml"><identificationInfo>'
            '<smXML:BAG_DataIdentification><citation><smXML:CI_Citation>'
            '<title>H11234_1m</title><citedResponsibleParty>'
            '<smXML:CI_ResponsibleParty><organisationName>Coast Survey'
            '</organisationName><role>originator</role>'
            '</smXML:CI_ResponsibleParty></citedResponsibleParty>'
            '</smXML:CI_Citation></citation><extent><smXML:EX_Extent>'
            '<geographicElement><smXML:EX_GeographicBoundingBox>'
            '<westBoundLongitude>-70.5</westBoundLongitude>'
            '<eastBoundLongitude>-70.1</eastBoundLongitude>'
            '<southBoundLatitude>43.2</southBoundLatitude>'
            '<northBoundLatitude>43.6</northBoundLatitude>'
            '</smXML:EX_GeographicBoundingBox></geographicElement>'
            '<temporalElement><smXML:EX_TemporalExtent><extent>'
            '<gml:TimePeriod><gml:beginPosition>2004-06-01</gml:beginPosition>'
            '<gml:endPosition>2004-07-15</gml:endPosition></gml:TimePeriod>'
            '</extent></smXML:EX_TemporalExtent></temporalElement>'
            '<verticalElement><smXML:EX_VerticalExtent>'
            '<minimumValue>-42.5</minimumValue><maximumValue>-1.2'
            '</maximumValue></smXML:EX_VerticalExtent></verticalElement>'
            '</smXML:EX_Extent></extent></smXML:BAG_DataIdentification>'
            '</identificationInfo><referenceSystemInfo><smXML:MD_CRS>'
            '<projection><smXML:RS_Identifier><code>UTM</code>'
            '</smXML:RS_Identifier></projection><datum><smXML:RS_Identifier>'
            '<code>NAD83</code></smXML:RS_Identifier></datum>'
            '<projectionParameters><smXML:MD_ProjectionParameters><zone>19'
            '</zone></smXML:MD_ProjectionParameters></projectionParameters>'
            '<verticalDatum>'
            '<smXML:RS_Identifier><code>MLLW</code></smXML:RS_Identifier>'
            '</verticalDatum></smXML:MD_CRS></referenceSystemInfo>'
            '<referenceSystemInfo><smXML:MD_ReferenceSystem>'
            '<referenceSystemIdentifier><smXML:RS_Identifier><code>32619'
            '</code><codeSpace>EPSG</codeSpace></smXML:RS_Identifier>'
            '</referenceSystemIdentifier></smXML:MD_ReferenceSystem>'
            '</referenceSystemInfo><dateStamp>2005-03-03</dateStamp>'
            '</smXML:MD_Metadata>')
        result = bathyra.parse_survey(smxml)
        self.assertEqual(
            (result.SURSTA, result.SUREND, result.DRVAL1, result.DRVAL2,
             result.vertical_crs, result.VERDAT, result.OBJNAM,
             result.SURATH, result.bbox, result.horizontal_crs),
            ("20040601", "20040715", 1.2, 42.5, "MLLW", 12, "H11234_1m",
             "Coast Survey", (-70.5, 43.2, -70.1, 43.6), "EPSG:32619"))
        self.assertEqual(_survey.parse(smxml)["standard"], "smXML")
        # Without the identifier, the parts name the horizontal reference.
        parts = smxml[:smxml.index("<referenceSystemInfo><smXML:MD_Ref")]
        self.assertEqual(bathyra.parse_survey(
            parts + "</smXML:MD_Metadata>").horizontal_crs,
            "UTM zone 19, NAD83")
        # Properties in the smXML namespace are read as well, and a record
        # inside another element; unqualified elements of an ISO 19139
        # document are not.
        self.assertEqual(bathyra.parse_survey(smxml.replace(
            "title>", "smXML:title>")).OBJNAM, "H11234_1m")
        self.assertEqual(bathyra.parse_survey(
            "<results>%s</results>" % smxml), result)
        unqualified = survey_document("T").replace("gmd:title>", "title>")
        self.assertIsNone(bathyra.parse_survey(unqualified).OBJNAM)

    def test_profile_subtypes_are_read_as_their_iso_types(self):
        text = doc(title="S", parties=party("Office", "originator")).decode()
        for iso, name in (("gmi:MI_Metadata", "CHE_MD_Metadata"),
                          ("gmd:MD_DataIdentification",
                           "CHE_MD_DataIdentification"),
                          ("gmd:CI_ResponsibleParty",
                           "CHE_CI_ResponsibleParty")):
            text = text.replace("<" + iso, '<che:%s xmlns:che="urn:x-che" '
                                'gco:isoType=" %s"' % (name, iso))
            text = text.replace("</" + iso, "</che:" + name)
        record = _survey.parse(text)
        self.assertEqual((record["standard"], record["OBJNAM"],
                          record["SURATH"]), ("ISO 19139", "S", "Office"))
        with self.assertRaisesRegex(_survey.DocumentError, "root element"):
            _survey.parse(b'<x:R xmlns:x="urn:x" xmlns:gco="http://www.'
                          b'isotc211.org/2005/gco" gco:isoType="gmd:Other"/>')

    def test_problems_say_what_is_missing(self):
        # An empty metadata date is none.
        result = bathyra.parse_survey(survey_document(
            title="S", head="<gmd:dateStamp><gco:Date> </gco:Date>"
            "</gmd:dateStamp>").encode())
        self.assertEqual(problems(result, "SURSTA"),
                         ["no survey period in the identification"])
        # A record without identification says so once, for every field.
        result = bathyra.parse_survey(('<gmi:MI_Metadata %s>%s'
                                       '</gmi:MI_Metadata>' % (
                                           SURVEY_NAMESPACES, DATE_STAMP)
                                       ).encode())
        self.assertEqual({message for _, message in result.problems
                          if "identification" in message},
                         {"the record has no identification (data or "
                          "service identification)"})
        # A vertical datum named without a vertical CRS.
        crs = ('<gmd:verticalCRS><gml:VerticalCRS gml:id="v"><gml:'
               'verticalDatum><gml:VerticalDatum gml:id="d"><gml:name>Mean '
               'Lower Low Water</gml:name></gml:VerticalDatum></gml:'
               'verticalDatum></gml:VerticalCRS></gmd:verticalCRS>')
        result = parsed(depth_range("1", "2", crs))
        self.assertEqual((result.VERDAT, problems(result, "vertical_crs")),
                         (12, ['the vertical datum "Mean Lower Low Water" is '
                               'named, but no vertical CRS']))

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
