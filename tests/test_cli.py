"""The command line with --strict, run as a user runs it: python -m bathyra
--strict PATH... prints the record of extract_metadata and its failures,
and ends with argparse's usage line on a usage error (the survey reader's
default forms are tested in test_survey_cli)."""
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


class CommandLineTest(support.FolderMixin, unittest.TestCase):

    def test_examples_as_json_lines(self):
        result = run_cli("--strict", "--json", EXAMPLES)
        self.assertEqual(result.returncode, 1)
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        # A line for every file, in order: a record, or the error.
        self.assertEqual([os.path.basename(r["file"]) for r in lines],
                         GOOD + [FAILING])
        records, failed = lines[:2], lines[2]
        self.assertEqual(list(failed), ["file", "error"])
        self.assertIn("GML 3.1 gml:TimePeriod", failed["error"])
        self.assertEqual(list(records[1]), ["file", "SURSTA", "SUREND",
                                            "DRVAL1", "DRVAL2", "planam",
                                            "OBJNAM"])
        self.assertEqual(records[1]["SURSTA"], "20190314")
        self.assertEqual(records[1]["DRVAL2"], 35.2)
        self.assertEqual(records[1]["OBJNAM"], "H13045_MB_1m_MLLW")
        # One line for the failing example, naming file and cause, then
        # the count.
        errors = result.stderr.splitlines()
        self.assertEqual(len(errors), 2, errors)
        self.assertIn(FAILING + ": not read: the survey period", errors[0])
        self.assertIn("AttributeError", errors[0])
        self.assertIn("GML 3.1 gml:TimePeriod", errors[0])
        self.assertTrue(errors[0].endswith(failed["error"]))
        self.assertEqual(errors[1],
                         "python -m bathyra: 3 files: 2 read, 1 not read")

    def test_standard_input(self):
        path = os.path.join(EXAMPLES, GOOD[1])
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
        result = run_cli("--strict", "--json", "-", path, input=text)
        self.assertEqual(result.returncode, 0, result.stderr)
        first, second = [json.loads(line)
                         for line in result.stdout.splitlines()]
        self.assertEqual((first.pop("file"), second.pop("file")),
                         ("-", path))
        self.assertEqual(first, second)
        table = run_cli("--strict", "-", input=text)
        self.assertEqual(table.returncode, 0, table.stderr)
        self.assertIn("H13045_MB_1m_MLLW", table.stdout)

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
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        folder = os.path.join(self.tmp, "a", "b")
        self.assertEqual([r["file"] for r in lines],
                         [os.path.join(folder, "malformed.xml"),
                          os.path.join(folder, "no_depth.xml"), good,
                          missing])
        self.assertNotIn("error", lines[2])
        failed = lines[:2] + lines[3:]
        errors = result.stderr.splitlines()
        self.assertEqual(len(errors), 4, errors)
        self.assertIn("malformed.xml: not read: the metadata document is "
                      "not well-formed XML", errors[0])
        self.assertIn("not well-formed", errors[0])
        self.assertIn('no_depth.xml: not read: the minimum depth text '
                      '"deep" is not a number', errors[1])
        self.assertIn("(ValueError: ", errors[1])
        self.assertIn("missing.xml: not read: ", errors[2])
        # The same error in the output and on stderr.
        self.assertEqual(
            [line["file"] + ": not read: " + line["error"] for line in failed],
            errors[:3])
        self.assertEqual(errors[3],
                         "python -m bathyra: 4 files: 1 read, 3 not read")

    def test_encodings_read_through_utf8(self):
        # Shift_JIS reaches extract_metadata as UTF-8; UTF-7 is refused.
        paths = []
        for name in ("Shift_JIS", "UTF-7"):
            path = os.path.join(self.tmp, name + ".xml")
            with open(path, "wb") as stream:
                stream.write(('<?xml version="1.0" encoding="%s"?>' % name
                              + document(citations=["\u6e2c\u91cf"])
                              ).encode("shift_jis"))
            paths.append(path)
        result = run_cli("--strict", "--json", *paths)
        good, refused = [json.loads(line)
                         for line in result.stdout.splitlines()]
        self.assertEqual(good["OBJNAM"], "\u6e2c\u91cf")
        self.assertIn("'UTF-7', which is not a text encoding",
                      refused["error"])

    def test_nan_depth_in_json(self):
        path = self.write("nan.xml", document(minimum="nan"))
        record = json.loads(run_cli("--strict", "--json", path).stdout)
        self.assertIsNone(record["DRVAL1"])
        self.assertIsNone(record["DRVAL2"])

    def test_usage_errors(self):
        for args in ([], ["--json", "--csv", EXAMPLES], ["--bogus", "x"],
                     ["--strict"], ["--max-size", "-1", EXAMPLES]):
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")
                # argparse's usage line, then the reason.
                lines = result.stderr.splitlines()
                self.assertTrue(lines[0].startswith(
                    "usage: python -m bathyra [-h]"), lines)
                self.assertTrue(lines[-1].startswith(
                    "python -m bathyra: error: "), lines)
        self.assertTrue(result.stderr.endswith(
            "python -m bathyra: error: --max-size must not be negative\n"))


@unittest.skipUnless(os.path.isdir(support.CORPUS_REAL),
                     "the shared corpus (../shared/corpus/real) is absent")
class CorpusTest(unittest.TestCase):

    def test_every_corpus_document_gives_a_record_or_one_line(self):
        result = run_cli("--strict", "--json", support.CORPUS_REAL)
        self.assertEqual(result.returncode, 1)
        files = sorted(name for name in os.listdir(support.CORPUS_REAL)
                       if name.endswith(".xml"))
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([os.path.basename(r["file"]) for r in lines], files)
        records = [r for r in lines if "error" not in r]
        failed = len(files) - len(records)
        errors = result.stderr.splitlines()
        self.assertEqual(len(errors), failed + 1)  # and the count
        self.assertEqual(len([e for e in errors if ": not read: " in e]),
                         failed)
        self.assertTrue(errors[-1].endswith(
            ": %d files: %d read, %d not read"
            % (len(files), len(records), failed)), errors[-1])
        self.assertGreaterEqual(len(records), 4)
        by_name = {os.path.basename(r["file"]): r for r in records}
        record = by_name["gmi_station_vertical_min_gt_max.xml"]
        self.assertEqual(record["SURSTA"], "20170414")
        self.assertEqual((record["DRVAL1"], record["DRVAL2"]),
                         (0.739, 1.326))


if __name__ == "__main__":
    unittest.main()
