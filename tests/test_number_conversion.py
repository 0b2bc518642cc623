"""The conversion of depth texts to numbers, observed through whole calls
whose stand-in library hands the routine arbitrary texts."""
import math
import os
import random
import time
import unittest

from tests import support
from tests.documents import FakeLibrary, FakeRoot, Raster

from bathyra import metadata_parser as mp


def convert(value):
    """The number that the module reads from `value` (both depth texts are
    `value`, so the record holds its negation twice)."""
    saved = vars(mp)["ET"]
    mp.ET = FakeLibrary(FakeRoot(minimum=value, maximum=value))
    try:
        record = mp.extract_metadata(Raster(""))
    finally:
        mp.ET = saved
    return -record["DRVAL1"]


def host_float(value):
    try:
        return float(value)
    except Exception as error:
        return type(error)


def module_float(value):
    try:
        return convert(value)
    except Exception as error:
        entries = support.module_entries(error)
        assert entries == [(support.MODULE_FILE, 24,
                            support.CALL_FUNCTION)], entries
        return type(error)


class AgreementTest(unittest.TestCase):
    """Wherever the fast parser answers, it answers as the host would."""

    def assertAgrees(self, text):
        expected = host_float(text)
        got = module_float(text)
        if isinstance(expected, float) and math.isnan(expected):
            self.assertTrue(isinstance(got, float) and math.isnan(got),
                            (text, got))
        else:
            self.assertEqual(got, expected, text)
            if isinstance(expected, float):
                self.assertEqual(math.copysign(1, got),
                                 math.copysign(1, expected), text)

    def test_listed_texts(self):
        texts = [
            "12.5", "  12.5\n", "\t\v\f\r 1\n", "-0", "+0.0", ".5", "5.",
            "-1", "1e5", "1E-5", "-.5e+3", "1_000.5", "1_0e1_0", "0_0",
            "inf", "+INF", "-Infinity", "iNfInItY", "nan", "-NaN", "+nan",
            "infin", "nan1", "-", "+", "", "   ", "_1", "1__0", "1_.5",
            "1e_5", "1_", "1._5", "abc", "1.5x", "1 5", "\x1c1", "1\x1f",
            "0x10", "1e400", "-1e400", "4.9e-324", "2.2250738585072014e-308",
            "123456789012345678901234567890", "1" * 400, "1_" * 39 + "1",
            "1_" * 40 + "1", "9" * 39 + "_9", "\u00a012.5\u3000",
            "\u0661\u0662", "1\u00a0", "\u00a0inf", "\u00a01_000",
            "\u00a01__0", "\u2007-3.25\u2009", "\u00a0" + "1_" * 45 + "1",
            "\u00a0nan", "\u00a0\u00a0", "1\x00", "١.٥",
        ]
        for text in texts:
            for form in (text, text.encode("utf-8", "surrogatepass"),
                         bytearray(text.encode("utf-8"))):
                with self.subTest(form=form):
                    self.assertAgrees(form)

    def test_random_texts(self):
        # Seeded; BATHYRA_FUZZ_SECONDS runs it for that long instead of a
        # fixed number of texts.
        rng = random.Random(1234)
        alphabet = "0123456789_.eE+- \tinfaINFA\u00a0x"
        seconds = float(os.environ.get("BATHYRA_FUZZ_SECONDS", "0"))
        deadline = time.monotonic() + seconds
        count = 0
        while count < 3000 or time.monotonic() < deadline:
            count += 1
            text = "".join(rng.choice(alphabet)
                           for _ in range(rng.randint(0, 12)))
            if ("_e" in text or "_E" in text or "e_" in text or
                    "E_" in text or "+_" in text or "-_" in text):
                continue  # the documented leniency below
            with self.subTest(text=text):
                self.assertAgrees(text)
                self.assertAgrees(text.encode("utf-8"))


class DeliberateDifferenceTest(unittest.TestCase):
    """Texts that the module reads where the host's float() refuses them."""

    def test_underscore_after_exponent_sign(self):
        self.assertEqual(convert("1_2e+_3"), 12e3)
        self.assertEqual(convert("1_2e-_3"), 12e-3)
        self.assertEqual(convert(b"1_2e+_3"), 12e3)

    def test_lone_dot_fails_in_the_host_reader(self):
        for text in (".", "-.", b"+."):
            with self.subTest(text=text):
                with self.assertRaises(ValueError):
                    convert(text)

    def test_negative_one_is_a_value(self):
        self.assertEqual(convert("-1"), -1.0)
        self.assertEqual(convert(-1), -1.0)
        self.assertEqual(convert(-1.0), -1.0)


if __name__ == "__main__":
    unittest.main()


class AllocationFailureTest(unittest.TestCase):
    """Long texts with underscores need a buffer from the host allocator;
    when it cannot be had the host's own conversion takes over, so each
    failed allocation gives the right value or a MemoryError, never a
    wrong value or another error."""

    def test_sweep(self):
        try:
            import _testcapi
        except ImportError:
            self.skipTest("_testcapi is not available")
        texts = ["1_" * 40 + "1", b"2_" * 40 + b"2",
                 "\u00a0" + "3_" * 45 + "3"]
        for text in texts:
            expected = convert(text)
            with self.subTest(text=text[:10]):
                for n in range(5000):
                    _testcapi.set_nomemory(n, n + 1)
                    try:
                        try:
                            value = convert(text)
                        except MemoryError as error:
                            value = error
                        # Reaches the failing allocation if the call did
                        # not: the sweep is over.
                        probe = [object() for _ in range(64)]  # noqa
                    except MemoryError:
                        break
                    finally:
                        _testcapi.remove_mem_hooks()
                    if isinstance(value, MemoryError):
                        self.assertLessEqual(
                            len(support.module_entries(value)), 1)
                    else:
                        self.assertEqual(value, expected)
                else:
                    self.fail("the sweep did not end")
