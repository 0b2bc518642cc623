"""The command line's survey reader, run as a user runs it: python -m
bathyra [--json | --csv | --geojson] [-j N] [-q] PATH..., and as the
installed command; its lines on stderr, on a pipe and on a terminal; the
README's sample of it (--strict is tested in test_cli)."""
import csv
import io
import json
import os
import shutil
import signal
import subprocess
import unittest

from tests import support
from tests.documents import bounding_box, depth_range, survey_document
from tests.support import run_cli

import bathyra
from bathyra import bag, cli_output, survey

EXAMPLES = support.EXAMPLES_DIR
NAMES = ["survey_f00812_launch.xml", "survey_h13045_multibeam.xml",
         "survey_w00455_no_period.xml"]
H13045 = os.path.join(EXAMPLES, NAMES[1])
S57 = ["SURSTA", "SUREND", "DRVAL1", "DRVAL2", "planam", "OBJNAM", "SURATH",
       "VERDAT"]


def json_lines(result):
    return [json.loads(line) for line in result.stdout.splitlines()]


def screen(text):
    """The lines that a terminal shows for `text`: a carriage return goes
    back to the start of the line, where what follows overwrites it."""
    lines, line, column = [], [], 0
    for char in text + "\n":
        if char == "\r":
            column = 0
        elif char == "\n":
            lines.append("".join(line).rstrip())
            line, column = [], 0
        else:
            line[column:column + 1] = [char]
            column += 1
    return lines[:-1] if lines[-1] == "" else lines


class SurveyCommandLineTest(support.FolderMixin, unittest.TestCase):

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
        # One line per file with gaps: what is missing, and why; then the
        # count.
        *gaps, count = result.stderr.splitlines()
        self.assertEqual([line.split(": gaps: ")[0] for line in gaps],
                         [os.path.join(EXAMPLES, name) for name in NAMES])
        for line in gaps:
            self.assertRegex(line, r"SURATH\b.*VERDAT")
        self.assertIn("planam", gaps[2])
        self.assertNotIn("planam", gaps[1])
        self.assertEqual(count, "python -m bathyra: 3 files: 3 read "
                                "(3 with gaps), 0 not read")

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
        self.assertTrue(result.stderr.startswith("-: not read: not "
                                                 "well-formed XML"))

    def test_names_stay_apart_in_every_form(self):
        # A name that holds a backslash, "x", "f", "f", and one with the
        # byte that is shown as \\xff.
        with open(H13045, "rb") as stream:
            data = stream.read()
        folder = os.fsencode(self.tmp)
        for name in (b"a\\xff.xml", b"a\xff.xml"):
            with open(os.path.join(folder, name), "wb") as stream:
                stream.write(data)
        shown = [os.path.join(self.tmp, name)
                 for name in ("a\\\\xff.xml", "a\\xff.xml")]
        table = run_cli("-q", self.tmp).stdout.splitlines()[1:]
        self.assertEqual([line.split()[0] for line in table], shown)
        rows = csv.reader(io.StringIO(run_cli("--csv", self.tmp).stdout))
        self.assertEqual([row[0] for row in rows][1:], shown)
        self.assertEqual([line["file"] for line in
                          json_lines(run_cli("--json", self.tmp))], shown)

    def test_csv_cells_are_no_formulas(self):
        titles = ["=HYPERLINK(1)", "+1", "@SUM(1)", "-A1", "-", "a=b"]
        paths = [self.write("%d.xml" % i, survey_document(
            title=title, extents=depth_range("-1.5", "10")))
            for i, title in enumerate(titles)]
        paths.append(self.write("=1.xml", survey_document()))
        rows = list(csv.reader(io.StringIO(run_cli("--csv", *paths).stdout)))
        self.assertEqual([row[S57.index("OBJNAM") + 1] for row in rows[1:]],
                         ["'=HYPERLINK(1)", "'+1", "'@SUM(1)", "'-A1", "-",
                          "a=b", ""])
        # Numbers stay numbers.
        self.assertEqual(rows[1][3:5], ["-10.0", "1.5"])
        # A file's name too, as given.
        named = run_cli("--csv", "=1.xml", cwd=self.tmp).stdout
        self.assertEqual(named.splitlines()[1].split(",")[0], "'=1.xml")
        # The reader trims the white space that would start a cell.
        self.assertEqual([cli_output.csv_cell(text) for text in
                          ("\tx", "\rx", "-1e5", "-.5", "-inf", 1.5)],
                         ["'\tx", "'\rx", "-1e5", "-.5", "'-inf", 1.5])

    def test_json_forms_write_no_non_finite_number(self):
        # A Survey made in Python is not checked as the reader's are.
        inf = float("inf")
        made = survey.Survey(DRVAL1=inf, DRVAL2=float("nan"),
                             bbox=(-inf, 0.0, 1.0, 1.0))
        cells, data = cli_output.survey_rows(made)
        for form in (cli_output.JsonWriter, cli_output.GeoJsonWriter):
            out = io.StringIO()
            writer = form(out, cli_output.S57_KEYS)
            writer.write("made.xml", cells, data)
            writer.close()
            with self.subTest(form.__name__):
                text = json.loads(out.getvalue(), parse_constant=self.fail)
                self.assertNotIn("Infinity", out.getvalue())
                if form is cli_output.GeoJsonWriter:
                    self.assertIsNone(text["features"][0]["geometry"])
                else:
                    self.assertIsNone(text["DRVAL1"])

    def test_exit_status(self):
        unreadable = self.write("notes.xml", "survey notes")
        result = run_cli("--json", unreadable, H13045)
        self.assertEqual(result.returncode, 1)
        self.assertIn("notes.xml: not read: not well-formed XML",
                      result.stderr)
        empty = os.path.join(self.tmp, "empty")
        os.mkdir(empty)
        result = run_cli(empty)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("no metadata files found", result.stderr)
        for args, reason in (
                (["--strict", "--geojson", H13045], "--geojson needs the "
                 "survey reader: not with --strict"),
                (["--strict", "-j", "2", H13045], "--jobs needs the survey "
                 "reader: not with --strict"),
                (["-j", "0", H13045], "--jobs must be at least 1"),
                (["-", "-"], "standard input (-) can be read only once"),
                (["--max-size", str(10 ** 30), H13045], "--max-size must "
                 "be at most %d bytes" % bag.MAX_LIMIT),
                (["--csv", "--geojson", H13045], "argument --geojson: not "
                 "allowed with argument --csv")):
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assertEqual((result.returncode, result.stdout),
                                 (2, ""))
                self.assertTrue(result.stderr.startswith(
                    "usage: python -m bathyra "), result.stderr)
                self.assertTrue(result.stderr.endswith(
                    "\npython -m bathyra: error: %s\n" % reason),
                    result.stderr)
        result = run_cli("--version")
        self.assertEqual((result.returncode, result.stdout.strip()),
                         (0, "bathyra " + bathyra.__version__))

    def test_refusals_gaps_and_the_count(self):
        notes = self.write("notes.xml", "survey notes")
        paths = [H13045, notes, os.path.join(EXAMPLES, NAMES[2])]
        result = run_cli("--json", *paths)
        self.assertEqual(result.returncode, 1)
        # A line for every file: the one not read gives its error.
        lines = json_lines(result)
        self.assertEqual([line["file"] for line in lines], paths)
        self.assertEqual(lines[1], {"file": notes, "error": "not well-formed "
                                    "XML (syntax error at line 1, column 0)"})
        self.assertEqual(lines[2]["OBJNAM"], "W00455_recon")
        # On stderr, each file says whether it was read.
        errors = result.stderr.splitlines()
        self.assertEqual([line.split(": ")[:2] for line in errors[:3]],
                         [[H13045, "gaps"], [notes, "not read"],
                          [paths[2], "gaps"]])
        self.assertEqual(errors[1], notes + ": not read: " + lines[1]["error"])
        self.assertEqual(errors[3:], ["python -m bathyra: 3 files: 2 read "
                                      "(2 with gaps), 1 not read"])
        # -q: only the file not read, the same output.
        quiet = run_cli("--json", "-q", *paths)
        self.assertEqual((quiet.returncode, quiet.stdout, quiet.stderr),
                         (1, result.stdout, errors[1] + "\n"))
        # The other forms have rows for records only.
        rows = list(csv.reader(io.StringIO(run_cli("--csv", *paths).stdout)))
        self.assertEqual([row[0] for row in rows], ["file", H13045, paths[2]])
        # One file: its line says it all, without a count.
        single = run_cli(notes)
        self.assertEqual((single.returncode, single.stderr),
                         (1, errors[1] + "\n"))

    def test_a_row_for_every_record_of_a_catalogue_response(self):
        records = [survey_document(title) for title in ("R1", "R2", "R3")]
        response = self.write("response.xml", (
            '<csw:GetRecordsResponse xmlns:csw="http://www.opengis.net/cat/'
            'csw/2.0.2"><csw:SearchResults>%s</csw:SearchResults>'
            '</csw:GetRecordsResponse>' % "".join(records)))
        surveys = bathyra.read_surveys(response)
        self.assertEqual([s.OBJNAM for s in surveys], ["R1", "R2", "R3"])
        first = bathyra.read_survey(response)
        self.assertEqual(first.problems, surveys[0].problems + (
            ("records", "the document holds 3 metadata records; only the "
                        "first is read here"),))
        result = run_cli("--json", response, H13045)
        self.assertEqual([(line["file"], line["OBJNAM"])
                          for line in json_lines(result)],
                         [(response + "#1", "R1"), (response + "#2", "R2"),
                          (response + "#3", "R3"),
                          (H13045, "H13045_MB_1m_MLLW")])
        self.assertEqual(result.stderr.splitlines()[-1], "python -m bathyra: "
                         "2 files: 2 read (2 with gaps), 0 not read")
        # --strict reads the file as before: its first record.
        strict = run_cli("--strict", "--json", response)
        self.assertEqual([line["file"] for line in json_lines(strict)],
                         [response])

    def test_the_installed_command_names_itself(self):
        result = run_cli("-j", "0", H13045, command="bathyra")
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stderr.startswith("usage: bathyra [-h]"),
                        result.stderr)
        self.assertTrue(result.stderr.endswith(
            "\nbathyra: error: --jobs must be at least 1\n"), result.stderr)
        result = run_cli(H13045, H13045, command="bathyra")
        self.assertEqual(result.stderr.splitlines()[-1],
                         "bathyra: 2 files: 2 read (2 with gaps), 0 not read")

    def test_progress_on_a_terminal(self):
        paths = [os.path.join(EXAMPLES, name) for name in NAMES] * 8
        piped = run_cli("--csv", *paths)
        status, output, received = support.run_cli_on_terminal("--csv",
                                                               *paths)
        self.assertEqual((status, output), (0, piped.stdout))
        # The counter went by, redrawn on one line...
        self.assertIn("\r[1/24]", received)
        self.assertIn("\r[24/24]", received)
        # ...cleared before each other line: the terminal shows the lines
        # of a pipe, none with a piece of the counter before it.
        self.assertEqual(screen(received), piped.stderr.splitlines())
        status, _, received = support.run_cli_on_terminal("--csv", "-q",
                                                          *paths)
        self.assertEqual((status, received), (0, ""))

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


# A run of the command line in a child whose reader ends its own process
# on any file named poison*.xml (as a crash of the reader would), that
# counts the processes of the pool, and that writes the pid of each call of
# bag.stop_helper to the file argv[1].  argv[2] is "no-pool" when no pool
# can be started.  It prints last the pool's processes and its pid.
POISONED_RUN = """
import concurrent.futures, os, signal, sys
from bathyra import bag, cli, survey
read_surveys = survey.read_surveys
Pool = concurrent.futures.ProcessPoolExecutor
def poisoned(path, **options):
    if os.path.basename(path).startswith("poison"):
        os.kill(os.getpid(), signal.SIGKILL)
    return read_surveys(path, **options)
def stopped():
    with open(sys.argv[1], "a") as stream:
        stream.write("%d\\n" % os.getpid())
workers = []
def pool(jobs, **options):
    if sys.argv[2] == "no-pool":
        raise OSError(38, "Function not implemented")
    workers.append(jobs)
    return Pool(jobs, **options)
survey.read_surveys, bag.stop_helper = poisoned, stopped
concurrent.futures.ProcessPoolExecutor = pool
status = cli.main(sys.argv[3:])
print([workers, os.getpid()])
sys.exit(status)
"""

# The command line, whose reader takes ten minutes over files named slow*.
SLOW_RUN = """
import os, sys, time
from bathyra import cli, survey
read_surveys = survey.read_surveys
def slow(path, **options):
    if os.path.basename(path).startswith("slow"):
        time.sleep(600)
    return read_surveys(path, **options)
survey.read_surveys = slow
sys.exit(cli.main(sys.argv[1:]))
"""


class ProcessesTest(unittest.TestCase):
    """-j's processes: a worker that dies, none that can start, their
    number, Ctrl-C, the BAG helpers."""

    def setUp(self):
        self.tmp = support.temporary_directory(self)

    def poisoned_run(self, pool, *args):
        stops = os.path.join(self.tmp, "stops")
        result = support.run_child(POISONED_RUN, argv=(stops, pool) + args)
        self.assertNotIn("Traceback", result.stderr)
        *rows, workers = result.stdout.splitlines()
        workers, pid = json.loads(workers)
        with open(stops) as stream:
            stops = set(map(int, stream.read().split()))
        # This process ended its BAG helper, and so did workers.
        self.assertIn(pid, stops)
        return result, rows, workers, stops - {pid}

    @unittest.skipIf(len(os.sched_getaffinity(0)) < 2,
                     "one CPU: -j starts no processes")
    def test_a_dead_worker_costs_its_file_alone(self):
        poison = os.path.join(self.tmp, "poison.xml")
        with open(H13045, "rb") as source, open(poison, "wb") as copy:
            copy.write(source.read())
        good = [os.path.join(EXAMPLES, name) for name in NAMES] * 30
        paths = good[:50] + [poison] + good[50:]
        result, rows, workers, stops = self.poisoned_run(
            "pool", "--csv", "-q", "-j", "2", *paths)
        self.assertEqual(result.returncode, 1)
        self.assertEqual([row.split(",")[0] for row in rows[1:]], good)
        self.assertEqual(result.stderr, poison + ": not read: the reader "
                         "process stopped while reading this file (it was "
                         "ended, or the file made it fail)\n")
        # The first pool, and one after each death of a worker (the first
        # one's chunk read a file at a time).
        self.assertEqual(workers, [2, 2, 2])
        self.assertTrue(stops)
        # -j beyond the CPUs and the files: no more processes than both.
        result, rows, workers, stops = self.poisoned_run(
            "pool", "-q", "-j", "100000", *good[:3])
        self.assertEqual((result.returncode, workers),
                         (0, [min(len(os.sched_getaffinity(0)), 3)]))
        # No processes at all: the files are read here, the reason said
        # once.
        result, rows, workers, stops = self.poisoned_run(
            "no-pool", "--csv", "-j", "2", *good)
        self.assertEqual(result.returncode, 0)
        self.assertEqual([row.split(",")[0] for row in rows[1:]], good)
        reasons = [line for line in result.stderr.splitlines()
                   if "gaps: " not in line]
        self.assertEqual(reasons[0], "bathyra: cannot start the reader "
                         "processes (Function not implemented): reading "
                         "the files in this process")
        self.assertEqual(len(reasons), 2)  # and the count

    def test_ctrl_c(self):
        status, errors, left = support.interrupt_cli(
            "--json", "-j", "2", *[H13045] * 5000)
        self.assertEqual(status, 130)
        self.assertEqual(errors.splitlines()[-1],
                         "python -m bathyra: interrupted")
        self.assertNotIn("Traceback", errors)
        self.assertEqual(left, [])
        # Killed from outside, the command leaves no worker behind.
        status, _, left = support.interrupt_cli(
            "--json", "-j", "2", *[H13045] * 5000,
            signals=[signal.SIGKILL], group=False)
        self.assertEqual((status, left), (-signal.SIGKILL, []))

    def test_ctrl_c_twice_while_workers_read_slow_files(self):
        # Workers held by files that take minutes are ended after a grace,
        # or at once on a second Ctrl-C.
        slow = os.path.join(self.tmp, "slow.xml")
        shutil.copyfile(H13045, slow)
        status, errors, left = support.interrupt_cli(
            "--json", "-j", "2", H13045, *[slow] * 4, timeout=30,
            signals=[signal.SIGINT] * 2, script=SLOW_RUN)
        self.assertEqual((status, left), (130, []))
        self.assertNotIn("Traceback", errors)


class ReadmeTest(unittest.TestCase):

    def test_quick_start_shows_what_the_command_prints(self):
        command = "$ bathyra examples/\n"
        with open(os.path.join(support.REPO_DIR, "README.md"),
                  encoding="utf-8") as stream:
            readme = stream.read()
        start = readme.index("```\n" + command) + len("```\n" + command)
        sample = readme[start:readme.index("```\n", start)]
        # As a terminal shows it: stderr and stdout in the order written.
        result = run_cli("examples/", command="bathyra", cwd=support.REPO_DIR,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, sample)


@unittest.skipUnless(os.path.isdir(support.CORPUS_REAL),
                     "the shared corpus (../shared/corpus/real) is absent")
class CorpusTest(unittest.TestCase):

    def test_a_row_for_every_iso_19139_file(self):
        folders = [support.CORPUS_REAL, support.CORPUS_BAG]
        result = run_cli(*folders)
        rows = [line.split()[0] for line in result.stdout.splitlines()[1:]]
        readable, unreadable = [], []
        for folder in folders:
            for name in sorted(os.listdir(folder)):
                path = os.path.join(folder, name)
                if name.endswith(".bag") and not bag.available():
                    unreadable.append(path)
                    continue
                if name.endswith((".xml", ".bag")):
                    try:
                        bathyra.read_survey(path)
                    except bathyra.SurveyError:
                        unreadable.append(path)
                        continue
                    readable.append(path)
        self.assertEqual(rows, readable)
        # The corpus grows; these are the files it held first.
        self.assertGreaterEqual(len(readable),
                                28 + (3 if bag.available() else 0))
        errors = result.stderr.splitlines()
        refused = [line for line in errors if ": not read: " in line]
        self.assertEqual([line.split(": not read: ")[0] for line in refused],
                         unreadable)
        self.assertEqual(result.returncode, 1 if unreadable else 0)
        self.assertEqual(errors[-1], "python -m bathyra: %d files: %d read "
                         "(%d with gaps), %d not read" % (
                             len(readable) + len(unreadable), len(readable),
                             len(errors) - len(refused) - 1,
                             len(unreadable)))


if __name__ == "__main__":
    unittest.main()
