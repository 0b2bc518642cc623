"""Binding of calls of extract_metadata: the accepted call shapes, the
TypeError texts of refused ones and the traceback entry each failure
carries.

An accepted call enters the extraction routine, whose first step reads
`raster.iso19139_xml`.  The Raster objects below raise Reached from that
attribute, which shows which object arrived as `raster`.
"""
import functools
import json
import sys
import unittest

import bathyra.metadata_parser as mp
from bathyra._traceback_lines import Line

from tests import support

_testcapi = support.testcapi()
f = mp.extract_metadata
BINDING_ENTRY = (support.MODULE_FILE, Line.define_function,
                 support.CALL_FUNCTION)
ROUTINE_ENTRY = (support.MODULE_FILE, Line.read_document,
                 support.CALL_FUNCTION)
ARITY = "extract_metadata() takes exactly 1 positional argument (%d given)"
MULTIPLE = "extract_metadata() got multiple values for keyword argument '%s'"
UNEXPECTED = "extract_metadata() got an unexpected keyword argument '%s'"
NOT_STRINGS = "extract_metadata() keywords must be strings"


class Reached(Exception):
    pass


class Raster:
    @property
    def iso19139_xml(self):
        raise Reached(self)


class Holder(Raster):
    f = f


class Name(str):
    pass


class NoHash(str):
    def __hash__(self):
        raise AssertionError("hash of a str subclass keyword name taken")


class EqualsAll(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class CompareError(Exception):
    pass


class BadEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise CompareError(str(self))


class Reentrant(str):
    """Calls extract_metadata again from inside the name matching."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        for call in (lambda: f(1, 2), lambda: f(raster=Raster())):
            try:
                call()
            except (TypeError, Reached):
                pass
        return str.__eq__(self, other)


def vc(args, kwnames):
    return _testcapi.pyobject_vectorcall(f, args, kwnames)


class CallBindingTest(unittest.TestCase):
    def assert_entries(self, exc, entries):
        self.assertEqual(support.module_entries(exc), entries)
        # The frames of the entries have the module's namespace as globals.
        for tb in support.module_tracebacks(exc):
            self.assertIs(tb.tb_frame.f_globals, vars(mp))

    def assert_fails(self, call, exc_type, message, entries):
        exc = support.raised_by(call)
        self.assertIs(type(exc), exc_type, repr(exc))
        self.assertEqual(str(exc), message)
        self.assert_entries(exc, entries)

    def assert_refused(self, call, message):
        self.assert_fails(call, TypeError, message, [BINDING_ENTRY])

    def assert_reached(self, call, raster):
        exc = support.raised_by(call)
        self.assertIs(type(exc), Reached, repr(exc))
        self.assertIs(exc.args[0], raster)
        self.assert_entries(exc, [ROUTINE_ENTRY])

    def test_accepted_shapes(self):
        obj = Raster()
        holder = Holder()
        built = "".join(["ras", "ter"])  # equal to 'raster', not interned
        shapes = {
            "positional": lambda: f(obj),
            "keyword": lambda: f(raster=obj),
            "unpacked dict": lambda: f(**{"raster": obj}),
            "unpacked built name": lambda: f(**{built: obj}),
            "unpacked tuple": lambda: f(*(obj,)),
            "partial, positional": functools.partial(f, obj),
            "partial, keyword": functools.partial(f, raster=obj),
            "fastcalldict": lambda: _testcapi.pyobject_fastcalldict(
                f, (obj,), None),
            "fastcalldict, keyword": lambda: _testcapi.pyobject_fastcalldict(
                f, (), {"raster": obj}),
            "vectorcall, empty names": lambda: vc((obj,), ()),
            "vectorcall, keyword": lambda: vc((obj,), ("raster",)),
            "vectorcall, built name": lambda: vc((obj,), (built,)),
            "str subclass name": lambda: vc((obj,), (Name("raster"),)),
            "subclass hash unused": lambda: vc((obj,), (NoHash("raster"),)),
            "subclass equality decides": lambda: vc((obj,),
                                                    (EqualsAll("zzz"),)),
            "raster named twice, last wins": lambda: vc(
                (1, obj), ("raster", "raster")),
            "nested call while matching": lambda: vc(
                (obj,), (Reentrant("raster"),)),
            "PyObject_Call": lambda: _testcapi.pyvectorcall_call(f, (obj,)),
            "PyObject_Call, keyword": lambda: _testcapi.pyvectorcall_call(
                f, (), {"raster": obj}),
            "call slot": lambda: f.__call__(obj),
            "call slot, keyword": lambda: f.__call__(raster=obj),
            "call slot, subclass name": lambda: type(f).__call__(
                f, **{Name("raster"): obj}),
        }
        if hasattr(_testcapi, "pyobject_fastcall"):  # gone in 3.13
            shapes["fastcall"] = lambda: _testcapi.pyobject_fastcall(
                f, (obj,))
        for label, call in shapes.items():
            with self.subTest(label):
                self.assert_reached(call, obj)
        # Looked up through an instance, the instance is the raster.
        self.assertIs(Holder.f, f)
        self.assertIs(holder.f.__func__, f)
        with self.subTest("through an instance"):
            self.assert_reached(lambda: holder.f(), holder)
            self.assert_reached(holder.f, holder)

    def test_refused_shapes(self):
        ascii_name, wide_name = "other", "r\u00e4ster\u4e00"
        shapes = [
            (lambda: f(), ARITY % 0),
            (lambda: f(1, 2), ARITY % 2),
            (lambda: f(1, 2, 3), ARITY % 3),
            (lambda: f(1, raster=2), MULTIPLE % "raster"),
            (lambda: f(other=1), UNEXPECTED % ascii_name),
            (lambda: f(1, other=2), UNEXPECTED % ascii_name),
            (lambda: f(1, 2, raster=3), ARITY % 2),
            (lambda: f(other=1, raster=2), UNEXPECTED % ascii_name),
            (lambda: f(raster=1, other=2), UNEXPECTED % ascii_name),
            (lambda: f(**{wide_name: 1}), UNEXPECTED % wide_name),
            (lambda: vc((), ()), ARITY % 0),
            (lambda: vc((1, 2), ()), ARITY % 2),
            (lambda: vc((1,), (1,)), NOT_STRINGS),
            (lambda: vc((1,), (b"raster",)), NOT_STRINGS),
            (lambda: vc((1, 2), (None,)), NOT_STRINGS),
            (lambda: vc((1, 2, 3), (1,)), ARITY % 2),
            (lambda: vc((1, 2), ("o", 1)), UNEXPECTED % "o"),
            (lambda: vc((1, 2), (1, "o")), NOT_STRINGS),
            (lambda: vc((1, 2), (Name("raster"),)), MULTIPLE % "raster"),
            (lambda: vc((1,), (Name("other"),)), UNEXPECTED % "other"),
            (lambda: vc((1, 2), (EqualsAll("zzz"),)), MULTIPLE % "zzz"),
            (lambda: _testcapi.pyobject_fastcalldict(f, (1,), {"raster": 2}),
             MULTIPLE % "raster"),
            (lambda: _testcapi.pyvectorcall_call(f, (1, 2)), ARITY % 2),
            (lambda: f.__call__(), ARITY % 0),
            (lambda: f.__call__(1, 2), ARITY % 2),
            (lambda: f.__call__(1, raster=2), MULTIPLE % "raster"),
            (lambda: f.__call__(other=1), UNEXPECTED % "other"),
            (lambda: functools.partial(f, 1)(2), ARITY % 2),
            (lambda: Holder().f(1), ARITY % 2),
            (lambda: Holder().f(raster=1), MULTIPLE % "raster"),
        ]
        for index, (call, message) in enumerate(shapes):
            with self.subTest(index, message=message):
                self.assert_refused(call, message)
        # Keyword dictionaries with a key that is not a string are refused
        # before the binding runs: the host's message, no module entry.
        host_refused = [
            lambda: f(**{1: 2}), lambda: f(**{"raster": 1, 2: 3}),
            lambda: _testcapi.pyobject_fastcalldict(f, (), {1: 2}),
            lambda: _testcapi.pyvectorcall_call(f, (), {1: 2}),
            lambda: f.__call__(**{1: 2}),
            lambda: type(f).__call__(f, **{"raster": 1, 2: 3}),
        ]
        for index, call in enumerate(host_refused):
            with self.subTest("host", index=index):
                self.assert_fails(call, TypeError, "keywords must be strings",
                                  [])
        # An exception from comparing a keyword name propagates.
        for call in (lambda: vc((1,), (BadEq("x"),)),
                     lambda: vc((1, 2), (BadEq("x"),)),
                     lambda: f.__call__(**{BadEq("x"): 1})):
            with self.subTest("comparison error"):
                self.assert_fails(call, CompareError, "x", [BINDING_ENTRY])

    def test_argument_not_retained(self):
        obj, name = Raster(), "".join(["oth", "er"])
        calls = [
            lambda: f(**{name: obj}), lambda: f.__call__(**{name: obj}),
            lambda: vc((obj, obj), (name,)),
            lambda: f(obj), lambda: f(raster=obj), lambda: f(obj, obj),
            lambda: f(obj, raster=obj), lambda: f(other=obj),
            lambda: f(raster=obj, other=obj), lambda: f.__call__(raster=obj),
            lambda: f.__call__(obj, other=obj), lambda: vc((obj, obj), (1,)),
            lambda: vc((obj,), (BadEq("x"),)),
            lambda: vc((obj, obj), ("raster", "raster")),
            lambda: _testcapi.pyvectorcall_call(f, (), {"raster": obj}),
            lambda: Holder.f.__get__(obj)(), lambda: Holder.f.__get__(obj)(1),
        ]
        before = sys.getrefcount(obj), sys.getrefcount(name)
        for index, call in enumerate(calls):
            with self.subTest(index):
                support.raised_by(call)
                self.assertEqual(
                    (sys.getrefcount(obj), sys.getrefcount(name)), before)

    def test_renaming_keeps_messages_and_entries(self):
        self.addCleanup(setattr, f, "__name__", f.__name__)
        self.addCleanup(setattr, f, "__qualname__", f.__qualname__)
        f.__name__ = "renamed"
        f.__qualname__ = "Renamed.qualname"
        self.assert_refused(lambda: f(), ARITY % 0)
        self.assert_refused(lambda: f(1, raster=2), MULTIPLE % "raster")
        self.assert_refused(lambda: f(other=1), UNEXPECTED % "other")
        obj = Raster()
        self.assert_reached(lambda: f(obj), obj)


OBJ = Raster()
ALLOCATION_CASES = [  # call, its ordinary exception, message, entry
    (lambda: f(1, 2), "TypeError", ARITY % 2, BINDING_ENTRY),
    (lambda: f(raster=OBJ), "Reached", None, ROUTINE_ENTRY),
    (lambda: f.__call__(raster=OBJ), "Reached", None, ROUTINE_ENTRY),
    (lambda: f.__call__(1, raster=2), "TypeError", MULTIPLE % "raster",
     BINDING_ENTRY),
]


class AllocationFailureTest(unittest.TestCase):
    """Fails one allocation at a time until a call no longer reaches it:
    the outcome is the call's ordinary failure or a MemoryError, never
    another error and never a crash."""

    LIMIT = 400

    def check(self, where, got, kind, message, entry):
        name, text, entries = got
        if support.is_host_frame_failure(name, text):
            self.assertIn(entries, ([], [list(entry)]), where)
            return
        if name == "MemoryError" and sys.version_info >= (3, 12):
            # When even a MemoryError cannot be made, these hosts raise one
            # shared instance, whose traceback keeps the entries of every
            # earlier raise: only their form can be checked.
            for file_name, line, function in entries:
                self.assertEqual((file_name, function),
                                 (support.MODULE_FILE, support.CALL_FUNCTION))
                self.assertIn(line, (Line.define_function,
                                     Line.read_document), where)
            return
        self.assertIn(name, (kind, "MemoryError"), where)
        # The host's formatting of a message may fail and leave the
        # exception without its text; an entry that cannot be made is left
        # out; none is ever doubled.
        if name != "MemoryError" and message is not None:
            self.assertIn(text, (message, ""), where)
        self.assertIn(entries, ([], [list(entry)]), where)

    def test_calls_in_process(self):
        for index, (call, *expected) in enumerate(ALLOCATION_CASES):
            for n, exc in support.allocation_sweep(call, limit=self.LIMIT):
                self.check("case %d, n=%d" % (index, n),
                           support.describe(exc), *expected)

    def test_first_entries_in_fresh_process(self):
        # The first failure at a line makes the code object of its entry
        # and caches it; only a fresh process takes that path.
        code = """
            import json, sys
            from tests.support import describe, fail_allocation, raised_by
            from tests.test_call_binding import ALLOCATION_CASES as cases
            n = int(sys.argv[1])
            first = [fail_allocation(n, cases[0][0]),
                     fail_allocation(n, cases[1][0])]
            again = [describe(raised_by(cases[i][0])) for i in (0, 1)]
            print(json.dumps([[describe(e), s] for e, s in first] + again))
            """
        for n in range(self.LIMIT):
            proc = support.run_child(code, argv=[str(n)])
            self.assertEqual(proc.returncode, 0, "n=%d: %s" % (n, proc.stderr))
            found = json.loads(proc.stdout.strip().splitlines()[-1])
            for (got, _), again, (_, kind, message, entry) in zip(
                    found[:2], found[2:], ALLOCATION_CASES):
                self.check("n=%d: %r" % (n, got), got, kind, message, entry)
                # Later failures at the same line carry their entries.
                self.assertEqual(again[2], [list(entry)], "n=%d" % n)
            if all(spent and got[0] != "MemoryError"
                   for got, spent in found[:2]):
                break
        else:
            self.fail("the calls still fail at n=%d" % n)


if __name__ == "__main__":
    unittest.main()
