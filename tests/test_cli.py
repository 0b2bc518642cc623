"""The command line with --strict, run as a user runs it: python -m bathyra
--strict PATH... prints the record of extract_metadata and its failures
(the survey reader's default forms are tested in test_survey_cli)."""
import csv
import io
import json
import os
import unittest

from tests import support
from tests.documents import document
from tests.support import run_cli

EXAMPLES = support.EXAMPLES_DIR
GOOD = ["survey_f00812_launch.xml", "survey_h13045_multibeam.xml"]
FAILING = "survey_w00455_no_period.xml"


class CommandLineTest(unittest.TestCase):

    def setUp(self):
        self.tmp = support.temporary_directory(self)

    def write(self, name, text):
        path = os.path.join(self.tmp, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(text)
        return path

    def test_examples_as_json_lines(self):
        result = run_cli("--strict", "--json", EXAMPLES)
        self.assertEqual(result.returncode, 1)
        records = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([os.path.basename(r["file"]) for r in records],
                         GOOD)
        self.assertEqual(list(records[1]), ["file", "SURSTA", "SUREND",
                                            "DRVAL1", "DRVAL2", "planam",
                                            "OBJNAM"])
        self.assertEqual(records[1]["SURSTA"], "20190314")
        self.assertEqual(records[1]["DRVAL2"], 35.2)
        self.assertEqual(records[1]["OBJNAM"], "H13045_MB_1m_MLLW")
        # One line for the failing example, naming file and cause.
        errors = result.stderr.splitlines()
        self.assertEqual(len(errors), 1)
        self.assertIn(FAILING, errors[0])
        self.assertIn("AttributeError", errors[0])
        self.assertIn("GML 3.1 gml:TimePeriod", errors[0])

    def test_csv_and_table(self):
        paths = [os.path.join(EXAMPLES, name) for name in GOOD]
        result = run_cli("--strict", "--csv", *paths)
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = list(csv.reader(io.StringIO(result.stdout)))
        self.assertEqual(rows[0], ["file", "SURSTA", "SUREND", "DRVAL1",
                                   "DRVAL2", "planam", "OBJNAM"])
        self.assertEqual(rows[1][5], "Launch 2801,Launch 2802")
        self.assertEqual(len(rows), 3)
        table = run_cli("--strict", *paths)
        self.assertEqual(table.returncode, 0)
        lines = table.stdout.splitlines()
        self.assertEqual(lines[0].split(), ["FILE", "SURSTA", "SUREND",
                                            "DRVAL1", "DRVAL2", "planam",
                                            "OBJNAM"])
        self.assertIn("20210802", lines[1])

    def test_bad_files_among_good_ones(self):
        good = self.write("a/good.xml", document(platforms=["V"]))
        self.write("a/b/malformed.xml", "<gmi:MI_Metadata")
        self.write("a/b/no_depth.xml", document(minimum="deep"))
        self.write("a/notes.txt", "not metadata")
        missing = os.path.join(self.tmp, "missing.xml")
        result = run_cli("--strict", "--json", os.path.join(self.tmp, "a"),
                         missing)
        self.assertEqual(result.returncode, 1)
        records = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([r["file"] for r in records], [good])
        errors = result.stderr.splitlines()
        self.assertEqual(len(errors), 3, errors)
        self.assertIn("malformed.xml: the metadata document is not "
                      "well-formed XML", errors[0])
        self.assertIn("not well-formed", errors[0])
        self.assertIn('no_depth.xml: the minimum depth text "deep" is not a '
                      'number', errors[1])
        self.assertIn("(ValueError: ", errors[1])
        self.assertIn("missing.xml", errors[2])

    def test_nan_depth_in_json(self):
        path = self.write("nan.xml", document(minimum="nan"))
        record = json.loads(run_cli("--strict", "--json", path).stdout)
        self.assertIsNone(record["DRVAL1"])
        self.assertIsNone(record["DRVAL2"])

    def test_usage_errors(self):
        for args in ([], ["--json", "--csv", EXAMPLES], ["--bogus", "x"],
                     ["--strict"]):
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")


@unittest.skipUnless(os.path.isdir(support.CORPUS_REAL),
                     "the shared corpus (../shared/corpus/real) is absent")
class CorpusTest(unittest.TestCase):

    def test_every_corpus_document_gives_a_record_or_one_line(self):
        result = run_cli("--strict", "--json", support.CORPUS_REAL)
        self.assertEqual(result.returncode, 1)
        files = [name for name in os.listdir(support.CORPUS_REAL)
                 if name.endswith(".xml")]
        records = result.stdout.splitlines()
        errors = result.stderr.splitlines()
        self.assertEqual(len(records) + len(errors), len(files))
        self.assertGreaterEqual(len(records), 4)
        by_name = {os.path.basename(json.loads(r)["file"]): json.loads(r)
                   for r in records}
        record = by_name["gmi_station_vertical_min_gt_max.xml"]
        self.assertEqual(record["SURSTA"], "20170414")
        self.assertEqual((record["DRVAL1"], record["DRVAL2"]),
                         (0.739, 1.326))


if __name__ == "__main__":
    unittest.main()
