"""The command line's survey reader, run as a user runs it: python -m
bathyra [--json | --csv | --geojson] [-j N] PATH... (--strict is tested in
test_cli)."""
import csv
import io
import json
import os
import unittest

from tests import support
from tests.documents import bounding_box, survey_document
from tests.support import run_cli

import bathyra
from bathyra import bag, survey

EXAMPLES = support.EXAMPLES_DIR
NAMES = ["survey_f00812_launch.xml", "survey_h13045_multibeam.xml",
         "survey_w00455_no_period.xml"]
H13045 = os.path.join(EXAMPLES, NAMES[1])
S57 = ["SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM", "SURATH",
       "VERDAT"]


def json_lines(result):
    return [json.loads(line) for line in result.stdout.splitlines()]


class SurveyCommandLineTest(unittest.TestCase):

    def setUp(self):
        self.tmp = support.temporary_directory(self)

    def write(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(text)
        return path

    def test_table_and_gaps(self):
        result = run_cli(EXAMPLES)
        # Every example is read, the GML 3.1 one too: status 0, gaps and
        # all.
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0].split(), ["FILE"] + S57)
        self.assertEqual([line.split()[0] for line in lines[1:]],
                         [os.path.join(EXAMPLES, name) for name in NAMES])
        self.assertEqual(lines[2].split()[1:5],
                         ["20190314", "20190320", "1.5", "35.2"])
        # One line per file with gaps: what is missing, and why.
        gaps = result.stderr.splitlines()
        self.assertEqual([line.split(": ")[0] for line in gaps],
                         [os.path.join(EXAMPLES, name) for name in NAMES])
        for line in gaps:
            self.assertRegex(line, r"SURATH\b.*VERDAT")
        self.assertIn("planam", gaps[2])
        self.assertNotIn("planam", gaps[1])

    def test_json_and_csv(self):
        records = json_lines(run_cli("--json", H13045))
        self.assertEqual(len(records), 1)
        self.assertEqual(list(records[0]), ["file"] + list(survey.FIELDS))
        expected = bathyra.read_survey(H13045).to_dict()
        self.assertEqual({k: v for k, v in records[0].items() if k != "file"},
                         expected)
        rows = list(csv.reader(io.StringIO(run_cli("--csv", EXAMPLES)
                                           .stdout)))
        self.assertEqual(rows[0], ["file"] + S57)
        self.assertEqual(rows[1][5], "Launch 2801, Launch 2802")
        self.assertEqual(rows[3][1:3], ["20180611", "20180612"])
        self.assertEqual(rows[3][7:], ["", ""])  # SURATH, VERDAT unstated

    def test_geojson(self):
        across = self.write("across.xml", survey_document(
            "Date line", extents=bounding_box(170, -20, -170, -10)))
        result = run_cli("--geojson", H13045, os.path.join(EXAMPLES,
                                                           NAMES[0]), across)
        self.assertEqual(result.returncode, 0, result.stderr)
        collection = json.loads(result.stdout)
        self.assertEqual(collection["type"], "FeatureCollection")
        box, none, split = collection["features"]
        self.assertEqual(box["geometry"], {"type": "Polygon", "coordinates": [
            [[-70.2871, 43.6312], [-70.2214, 43.6312], [-70.2214, 43.6788],
             [-70.2871, 43.6788], [-70.2871, 43.6312]]]})
        self.assertEqual(box["properties"], dict(
            file=H13045, **bathyra.read_survey(H13045).to_s57()))
        self.assertIsNone(none["geometry"])
        self.assertEqual(none["properties"]["OBJNAM"], "F00812_basin_50cm")
        # Cut at the antimeridian into its two parts.
        self.assertEqual(split["geometry"]["type"], "MultiPolygon")
        self.assertEqual(
            [[min(x for x, _ in part[0]), max(x for x, _ in part[0])]
             for part in split["geometry"]["coordinates"]],
            [[170, 180], [-180, -170]])
        self.assertEqual(split["bbox"], [170, -20, -170, -10])

    def test_jobs_keep_the_order(self):
        paths = [os.path.join(EXAMPLES, name) for name in NAMES] * 5
        serial = run_cli("--json", "-j", "1", *paths)
        parallel = run_cli("--json", "-j", "3", *paths)
        self.assertEqual(parallel.returncode, 0, parallel.stderr)
        self.assertEqual((parallel.stdout, parallel.stderr),
                         (serial.stdout, serial.stderr))
        self.assertEqual(len(json_lines(parallel)), 15)

    def test_standard_input(self):
        with open(H13045, encoding="utf-8") as stream:
            text = stream.read()
        result = run_cli("--json", "-j", "2", "-", H13045, input=text)
        self.assertEqual(result.returncode, 0, result.stderr)
        first, second = json_lines(result)
        self.assertEqual((first["file"], first["path"]), ("-", None))
        self.assertEqual({k: v for k, v in first.items()
                          if k not in ("file", "path")},
                         {k: v for k, v in second.items()
                          if k not in ("file", "path")})
        result = run_cli("-", input="<not a document")
        self.assertEqual(result.returncode, 1)
        self.assertIn("-: not well-formed XML", result.stderr)

    def test_exit_status(self):
        unreadable = self.write("notes.xml", "survey notes")
        result = run_cli("--json", unreadable, H13045)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(json_lines(result)), 1)
        self.assertIn("notes.xml: not well-formed XML", result.stderr)
        empty = os.path.join(self.tmp, "empty")
        os.mkdir(empty)
        result = run_cli(empty)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("no metadata files found", result.stderr)
        for args in (["--strict", "--geojson", H13045],
                     ["--strict", "-j", "2", H13045], ["-j", "0", H13045],
                     ["-", "-"], ["--csv", "--geojson", H13045]):
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assertEqual((result.returncode, result.stdout),
                                 (2, ""))
        result = run_cli("--version")
        self.assertEqual((result.returncode, result.stdout.strip()),
                         (0, "bathyra " + bathyra.__version__))

    def test_broken_pipe_with_jobs(self):
        reader = support.start_python("-m", "bathyra", "--json", "-j", "2",
                                      *[H13045] * 400)
        reader.stdout.readline()
        reader.stdout.close()
        self.assertEqual(reader.wait(timeout=120), 141)
        errors = reader.stderr.read()
        reader.stderr.close()
        self.assertNotIn("Traceback", errors)
        self.assertNotIn("Broken pipe", errors)


@unittest.skipUnless(os.path.isdir(support.CORPUS_REAL),
                     "the shared corpus (../shared/corpus/real) is absent")
class CorpusTest(unittest.TestCase):

    def test_a_row_for_every_iso_19139_file(self):
        folders = [support.CORPUS_REAL, support.CORPUS_BAG]
        result = run_cli(*folders)
        self.assertEqual(result.returncode, 1)  # three smXML documents
        rows = [line.split()[0] for line in result.stdout.splitlines()[1:]]
        readable = []
        for folder in folders:
            for name in sorted(os.listdir(folder)):
                path = os.path.join(folder, name)
                if name.endswith(".bag") and not bag.available():
                    continue
                if name.endswith((".xml", ".bag")):
                    try:
                        bathyra.read_survey(path)
                    except bathyra.SurveyError:
                        continue
                    readable.append(path)
        self.assertEqual(rows, readable)
        # The corpus grows; these are the files it held first.
        self.assertGreaterEqual(len(readable),
                                28 + (3 if bag.available() else 0))
        refused = [line for line in result.stderr.splitlines()
                   if "ISO 19139" in line]
        self.assertEqual(len(refused), 3, refused)


if __name__ == "__main__":
    unittest.main()
