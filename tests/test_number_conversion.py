"""The conversion of depth texts and other objects to numbers, observed
through whole calls whose stand-in library hands the routine arbitrary
values, against the host's float() and the plain-Python twin."""
import os
import random
import time
import unittest

from bathyra import metadata_parser as mp
from bathyra._traceback_lines import Line

from tests import support, twin
from tests.documents import FakeLibrary, FakeRoot, Raster

CONVERSION_ENTRY = (support.MODULE_FILE, Line.convert_minimum,
                    support.CALL_FUNCTION)


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


def reading(function, value):
    try:
        return function(value)
    except Exception as error:
        return error


class ReadingCase(unittest.TestCase):

    def assertReads(self, value, host=True):
        """The module reads `value` as the twin does (the same number, or
        an exception of the same type and text) and, unless `host` is
        false, as float() does (the same number or exception type)."""
        got = reading(convert, value)
        if isinstance(got, Exception):
            self.assertEqual(support.module_entries(got), [CONVERSION_ENTRY])
        for function in (twin.to_number, float)[:2 if host else 1]:
            expected = reading(function, value)
            where = (value, function.__name__)
            if isinstance(expected, Exception):
                self.assertIs(type(got), type(expected), where)
                if function is twin.to_number:
                    self.assertEqual(str(got), str(expected), where)
            else:
                self.assertTrue(support.same_number(got, expected),
                                (got, where))


class TextTest(ReadingCase):
    """Wherever the fast parser answers, it answers as the host would."""

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
                    self.assertReads(form)

    def test_random_texts(self):
        # Seeded; BATHYRA_FUZZ_SECONDS runs it for that long instead of a
        # fixed number of texts.  Texts with an underscore next to an
        # exponent letter or sign may meet the leniency below, where only
        # the twin reads as the module does.
        rng = random.Random(1234)
        alphabet = "0123456789_.eE+- \tinfaINFA\u00a0x"
        seconds = float(os.environ.get("BATHYRA_FUZZ_SECONDS", "0"))
        deadline = time.monotonic() + seconds
        count = 0
        while count < 3000 or time.monotonic() < deadline:
            count += 1
            text = "".join(rng.choice(alphabet)
                           for _ in range(rng.randint(0, 12)))
            host = not any(pair in text for pair in
                           ("_e", "_E", "e_", "E_", "+_", "-_"))
            with self.subTest(text=text):
                self.assertReads(text, host)
                self.assertReads(text.encode("utf-8"), host)


class DeliberateDifferenceTest(ReadingCase):
    """Texts that the module reads where the host's float() refuses them."""

    def test_underscore_after_exponent_sign(self):
        for text, value in (("1_2e+_3", 12e3), ("1_2e-_3", 12e-3),
                            (b"1_2e+_3", 12e3)):
            with self.subTest(text=text):
                self.assertEqual(convert(text), value)
                self.assertReads(text, host=False)

    def test_lone_dot_fails_in_the_host_reader(self):
        for text in (".", "-.", b"+."):
            with self.subTest(text=text):
                with self.assertRaises(ValueError):
                    convert(text)
                self.assertReads(text)

    def test_negative_one_is_a_value(self):
        for value in ("-1", -1, -1.0):
            self.assertEqual(convert(value), -1.0)


class ObjectTest(ReadingCase):
    """Values that no parser produces."""

    def test_numbers_and_number_like_objects(self):
        class FloatSub(float):
            pass

        class Floaty:
            def __float__(self):
                return FloatSub(2.5)

        class Indexy:
            def __index__(self):
                return 7
        cases = [(3.5, 3.5), (7, 7.0), (True, 1.0), (FloatSub(1.25), 1.25),
                 (Floaty(), 2.5), (b" 12.5\n", 12.5),
                 (bytearray(b"-4_0"), -40.0), (2 ** 80, float(2 ** 80)),
                 (Indexy(), 7.0), ("\u00a012.5\u3000", 12.5),
                 ("\u0661\u0662", 12.0)]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(convert(value), expected)
                self.assertReads(value, host=False)

    def test_conversion_failures(self):
        class Bad:
            def __float__(self):
                return 1

        class Raising:
            def __float__(self):
                raise ZeroDivisionError("inner")
        cases = [
            (Bad(), TypeError, "__float__ returned non-float (type int)"),
            (Raising(), ZeroDivisionError, "inner"),
            (2 ** 2000, OverflowError, None),
            (bytearray(), ValueError, None),
            (object(), TypeError, None),
            (None, TypeError, None),
        ]
        for value, exc_type, message in cases:
            with self.subTest(value=value):
                error = support.raised_by(convert, value)
                self.assertIsInstance(error, exc_type)
                if message is not None:
                    self.assertEqual(str(error), message)
                self.assertReads(value, host=False)


class AllocationFailureTest(unittest.TestCase):
    """Long texts with underscores need a buffer from the host allocator;
    when it cannot be had the host's own conversion takes over, so each
    failed allocation gives the right value or a MemoryError, never a
    wrong value or another error."""

    def test_sweep(self):
        support.testcapi()
        texts = ["1_" * 40 + "1", b"2_" * 40 + b"2",
                 "\u00a0" + "3_" * 45 + "3"]
        for text in texts:
            expected = convert(text)
            with self.subTest(text=text[:10]):
                for n, value in support.allocation_sweep(convert, text):
                    if isinstance(value, MemoryError):
                        self.assertLessEqual(
                            len(support.module_entries(value)), 1)
                    else:
                        self.assertEqual(value, expected)


if __name__ == "__main__":
    unittest.main()
