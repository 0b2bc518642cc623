"""Import of bathyra.metadata_parser: the namespace it builds, the code
object of extract_metadata, and the one-module, one-interpreter rules.
Whatever depends on process state runs in a fresh child interpreter that
reports its findings as JSON."""
import builtins
import inspect
import json
import os
import sys
import textwrap
import time
import types
import unittest
import xml.etree.ElementTree

import bathyra.metadata_parser as mp
from bathyra._traceback_lines import Line

from tests import support, twin

VARNAMES = (
    "raster", "metadata_xml", "prefix", "uri", "root", "begin_position_tag",
    "end_position_tag", "min_depth", "max_depth", "val1", "val2", "drval1",
    "drval2", "sursta", "surend", "platform_text", "platform_novalid",
    "platforms", "p", "planam", "objnam_tag", "objnam")
CALL_ENTRY = [support.MODULE_FILE, Line.define_function,
              support.CALL_FUNCTION]
GLOBALS = ["ET", "XML_NS", "extract_metadata"]
REFUSED = ("Module 'metadata_parser' has already been imported. "
           "Re-initialisation is not supported.")
OTHER_INTERPRETER = ("Interpreter change detected - this module can only be "
                     "loaded into one interpreter per process.")

# Put before every child's code: `outcome` describes how a call ended,
# with the module's traceback entries, and `report` prints the findings.
PRELUDE = textwrap.dedent("""\
    import json, sys
    from tests.support import describe, raised_by
    def outcome(call):
        return describe(raised_by(call))
    def report(**found):
        print(json.dumps(found))
    """)


class NamespaceTest(unittest.TestCase):
    def test_module_namespace(self):
        # The order is read in a fresh interpreter: other tests of this
        # process rebind the globals.
        child = support.run_child(
            "import bathyra.metadata_parser as m; print(*vars(m))")
        names = child.stdout.split()
        start = names.index("__builtins__")
        self.assertEqual(names[start:start + 5],
                         ["__builtins__"] + GLOBALS + ["__test__"])
        self.assertIs(mp.__builtins__, builtins)
        self.assertIs(mp.ET, xml.etree.ElementTree)
        self.assertIs(type(mp.XML_NS), dict)
        self.assertEqual(list(mp.XML_NS.items()), list(twin.XML_NS.items()))
        self.assertEqual({type(x) for item in mp.XML_NS.items() for x in item},
                         {str})
        self.assertIs(type(mp.__test__), dict)
        self.assertEqual(mp.__test__, {})
        self.assertIsNone(mp.__doc__)
        # Taken over from the import spec by the create step.
        self.assertEqual(mp.__file__, mp.__spec__.origin)
        self.assertIs(mp.__loader__, mp.__spec__.loader)
        self.assertEqual(mp.__package__, "bathyra")
        self.assertNotIn("__path__", vars(mp))

    def test_code_object(self):
        code = mp.extract_metadata.__code__
        self.assertEqual(code.co_varnames, VARNAMES)
        self.assertEqual((code.co_argcount, code.co_posonlyargcount,
                          code.co_kwonlyargcount, code.co_nlocals),
                         (1, 0, 0, 22))
        # 3.13 gives every code object a stack of at least one slot.
        self.assertEqual(code.co_stacksize,
                         1 if sys.version_info >= (3, 13) else 0)
        # Optimised with new locals, nothing else.
        self.assertEqual(code.co_flags,
                         inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS)
        self.assertEqual((code.co_firstlineno, code.co_filename, code.co_name),
                         (Line.define_function, support.MODULE_FILE,
                          "extract_metadata"))
        self.assertEqual((code.co_consts, code.co_names, code.co_freevars,
                          code.co_cellvars), ((), (), (), ()))
        if sys.version_info < (3, 11):
            self.assertEqual(code.co_code, b"")
        else:
            # Newer hosts crash on empty byte code: the body is a bare
            # raise, on the line of the definition.
            self.assertEqual(len(code.co_code), 4)
            self.assertEqual(list(code.co_lines()),
                             [(0, 4, Line.define_function)])
        # The code object describes; run anyway, it fails cleanly.
        with self.assertRaises((RuntimeError, SystemError)):
            types.FunctionType(code, {})(None)
        self.assertEqual(str(inspect.signature(mp.extract_metadata)),
                         "(raster)")


class VersionCheckTest(unittest.TestCase):
    """A copy of the module built to declare another host version: 3.9 on
    newer hosts, 3.10 on 3.9."""

    TREE = os.path.join(support.BUILD_DIR, "version_mismatch")
    CHILD = """
        from tests.support import module_entries
        try:
            import bathyra.metadata_parser as mp
        except BaseException as error:
            print("failed", type(error).__name__, len(module_entries(error)),
                  error, sep="|")
        else:
            print("imported", mp.extract_metadata.__name__, sep="|")
        """

    def test_other_declared_version(self):
        if not os.path.isdir(self.TREE):
            self.skipTest("the version-mismatch copy was not built")
        declared = "3.10" if sys.version_info[:2] == (3, 9) else "3.9"
        message = ("compile time Python version %s of module "
                   "'bathyra.metadata_parser' does not match runtime "
                   "version %d.%d" % ((declared,) + sys.version_info[:2]))
        child = support.run_child(self.CHILD, "-W", "always",
                                  tree=self.TREE)
        self.assertEqual(child.stdout.strip(), "imported|extract_metadata")
        self.assertIn("RuntimeWarning: " + message, child.stderr)
        child = support.run_child(self.CHILD, "-W", "error::RuntimeWarning",
                                  tree=self.TREE)
        self.assertEqual(child.stdout.strip(),
                         "failed|RuntimeWarning|0|" + message)


class ImportRulesTest(unittest.TestCase):
    def child_report(self, code, *args):
        proc = support.run_child(PRELUDE + textwrap.dedent(code), *args)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return json.loads(proc.stdout.strip().splitlines()[-1])

    def test_first_import_and_reimport(self):
        found = self.child_report("""
            import warnings
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import bathyra.metadata_parser as first
            kept = [first.XML_NS, first.__test__, first.extract_metadata]
            first.XML_NS["extra"] = "kept"
            del sys.modules["bathyra.metadata_parser"]
            import bathyra.metadata_parser as again
            report(warnings=[str(w.message) for w in caught],
                   et=first.ET is sys.modules["xml.etree.ElementTree"],
                   same=[again is first, again.XML_NS is kept[0],
                         again.__test__ is kept[1],
                         again.extract_metadata is kept[2]],
                   extra=again.XML_NS.get("extra"))
            """)
        self.assertEqual(found, {"warnings": [], "et": True,
                                 "same": [True] * 4, "extra": "kept"})
        # A host of the version the module was built for issues no version
        # warning, even with warnings as errors.
        found = self.child_report("""
            report(first=outcome(lambda: __import__("bathyra.metadata_parser")))
            """, "-W", "error")
        self.assertEqual(found["first"][0], "ok")

    def test_foreign_entry_and_reinitialisation(self):
        found = self.child_report("""
            import importlib.util
            spec = importlib.util.find_spec("bathyra.metadata_parser")
            held = importlib.util.module_from_spec(spec)
            other = importlib.util.module_from_spec(spec)
            sentinel = object()
            sys.modules["bathyra.metadata_parser"] = sentinel
            spec.loader.exec_module(held)
            kept = sys.modules.pop("bathyra.metadata_parser") is sentinel
            xml_ns = held.XML_NS
            refused = outcome(lambda: spec.loader.exec_module(other))
            spec.loader.exec_module(held)  # does nothing
            import bathyra.metadata_parser as imported
            report(kept=kept, refused=refused,
                   checks=[other is not held, "ET" not in vars(other),
                           "extract_metadata" in vars(held),
                           held.XML_NS is xml_ns, imported is held,
                           importlib.util.module_from_spec(spec) is held])
            """)
        self.assertTrue(found["kept"])
        self.assertEqual(found["refused"], ["RuntimeError", REFUSED, []])
        self.assertEqual(found["checks"], [True] * 6)

    def test_second_interpreter_refused(self):
        found = self.child_report(support.SUBINTERPRETER +
                                  textwrap.dedent("""
            import bathyra.metadata_parser as mp
            messages = {}
            for config in ("legacy", "isolated"):
                messages[config] = [run_in_subinterpreter(
                    "import bathyra.metadata_parser", config)
                    for _ in range(2)]
            del sys.modules["bathyra.metadata_parser"]
            import bathyra.metadata_parser as again
            report(messages=messages, same=again is mp)
            """))
        for message in found["messages"]["legacy"]:
            self.assertIn("ImportError", message)
            self.assertIn(OTHER_INTERPRETER, message)
        # From 3.12 the host asks modules whether they support
        # sub-interpreters; this one says no, and the host refuses an
        # isolated one itself before the module is entered.
        isolated = (
            "module bathyra.metadata_parser does not support loading in "
            "subinterpreters" if sys.version_info >= (3, 12)
            else OTHER_INTERPRETER)
        for message in found["messages"]["isolated"]:
            self.assertIn("ImportError", message)
            self.assertIn(isolated, message)
        self.assertTrue(found["same"])

    def test_xml_library_lookup(self):
        found = self.child_report("""
            sys.modules["xml.etree.ElementTree"] = None
            host = outcome(lambda: __import__("xml.etree.ElementTree"))
            failed = outcome(lambda: __import__("bathyra.metadata_parser"))
            left = "bathyra.metadata_parser" in sys.modules
            del sys.modules["xml.etree.ElementTree"]
            import bathyra.metadata_parser as mp
            import xml.etree.ElementTree as et
            report(host=host, failed=failed, left=left, et=mp.ET is et,
                   names=[n for n in vars(mp) if not n.startswith("__")],
                   call=outcome(lambda: mp.extract_metadata()))
            """)
        self.assertEqual(found["host"][0], "ModuleNotFoundError")
        self.assertEqual(found["failed"], [
            "ModuleNotFoundError", found["host"][1],
            [[support.MODULE_FILE, Line.import_xml_library,
              support.IMPORT_FUNCTION]]])
        self.assertFalse(found["left"])
        self.assertTrue(found["et"])
        self.assertEqual(found["names"], GLOBALS)
        self.assertEqual(found["call"][2], [CALL_ENTRY])
        # A complete module already in the table is taken as it is.
        found = self.child_report("""
            import types
            stand_in = types.ModuleType("xml.etree.ElementTree")
            sys.modules["xml.etree.ElementTree"] = stand_in
            import bathyra.metadata_parser as mp
            report(taken=mp.ET is stand_in)
            """)
        self.assertTrue(found["taken"])


class ImportMemoryTest(unittest.TestCase):
    """Fails the n-th allocation of a first import, each n in its own child,
    until the import no longer reaches it; then imports again.

    The module is found before the failures start, and created and run by
    the host's extension loader directly, as the import system does after
    finding it: the failures then fall on the module's own steps, not on
    the import system's Python code (whose own faults under failed
    allocations crash some hosts)."""

    TIME_BUDGET = 30.0
    CHILD = PRELUDE + textwrap.dedent("""
        import _imp, importlib.util
        import bathyra, xml.etree.ElementTree
        from tests.support import fail_allocation
        spec = importlib.util.find_spec("bathyra.metadata_parser")

        def load():
            module = _imp.create_dynamic(spec)
            sys.modules[spec.name] = module
            _imp.exec_dynamic(module)
        exc, spent = fail_allocation(int(sys.argv[1]), load)
        first = describe(exc)
        sys.modules.pop("bathyra.metadata_parser", None)
        import bathyra.metadata_parser as mp
        report(first=first, spent=spent,
               names=[n for n in vars(mp) if not n.startswith("__")],
               call=outcome(lambda: mp.extract_metadata()))
        """)

    def start(self, n):
        return support.start_python("-S", "-c", self.CHILD, str(n))

    # Creates classes under the same failures, with no module of ours: on
    # a host that crashes doing that by itself, a crash of a child cannot
    # be put down to this module.
    CONTROL = """
        from tests.support import fail_allocation
        namespace = {"a%d" % i: i for i in range(30)}

        def attempt():
            base = type("X", (), dict(namespace))
            type("Y", (base,), {"__slots__": ("p", "q"),
                                "__eq__": lambda self, other: True})
        for shift in range(4):
            for n in range(400):
                fail_allocation(n, attempt)
            # Shifts the host's allocations for the next round.
            ballast = [object() for _ in range(shift * 7 + 1)]
        """
    host_crashes_alone = None

    def host_is_fragile(self):
        if ImportMemoryTest.host_crashes_alone is None:
            control = support.run_child(self.CONTROL, "-S")
            ImportMemoryTest.host_crashes_alone = control.returncode < 0
        return ImportMemoryTest.host_crashes_alone

    def check(self, n, returncode, out, err):
        if returncode < 0 and self.host_is_fragile():
            self.host_crashes.append(n)
            return False
        self.assertEqual(returncode, 0, "n=%d: %s" % (n, err))
        found = json.loads(out.strip().splitlines()[-1])
        where = "n=%d: %r" % (n, found)
        kind, message, entries = found["first"]
        # The import machinery turns some memory failures into errors of
        # its own (a lock it cannot allocate, a module it cannot find, a
        # frame it cannot push).
        if ((kind, message) != ("RuntimeError", "can't allocate lock") and
                not support.is_host_frame_failure(kind, message)):
            self.assertIn(kind, ("ok", "MemoryError", "ImportError",
                                 "ModuleNotFoundError"), where)
        self.assertLessEqual(len(entries), 1, where)
        for file_name, line, function in entries:
            self.assertEqual((file_name, function),
                             (support.MODULE_FILE, support.IMPORT_FUNCTION))
            self.assertIn(line, (Line.import_setup, Line.import_xml_library,
                                 Line.store_xml_ns, Line.build_xml_ns,
                                 Line.define_function), where)
        # Whatever failed, the next import starts over and succeeds.
        self.assertEqual(found["names"], GLOBALS, where)
        self.assertEqual(found["call"][2], [CALL_ENTRY], where)
        return kind == "ok" and found["spent"]

    def test_import_under_allocation_failure(self):
        support.testcapi()
        self.host_crashes = []
        width = max(2, os.cpu_count() or 2)
        deadline = time.monotonic() + self.TIME_BUDGET
        n, done = 0, False
        while not done:
            if time.monotonic() > deadline:
                self.skipTest("sweep stopped at n=%d (time budget)" % n)
            batch = [(k, self.start(k)) for k in range(n, n + width)]
            # Every child is waited for before any of them is judged.
            results = [(k, proc, *proc.communicate(timeout=60))
                       for k, proc in batch]
            for k, proc, out, err in results:
                done = self.check(k, proc.returncode, out, err) or done
            n += width
        if self.host_crashes:
            # Reported, not failed: this host crashes under failed
            # allocations without the module (3.12.1 and 3.13.0 do).
            print("\nallocations whose failure crashed this host: %s"
                  % self.host_crashes, file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
