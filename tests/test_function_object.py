"""What host code sees of the function object extract_metadata besides
calling it: introspection attributes and their setters, pickling, weak
references and garbage collection.  Every change is undone after use."""
import gc
import pickle
import unittest
import warnings
import weakref

import bathyra.metadata_parser as mp
from bathyra._traceback_lines import Line

from tests import support

f = mp.extract_metadata
ARITY = "extract_metadata() takes exactly 1 positional argument (0 given)"
NOT_STR = "%s must be set to a string object"
NOT_DICT = "setting function's dictionary to a non-dict"


class FunctionObjectTest(unittest.TestCase):
    def restore_later(self, *names):
        for name in names:
            def restore(name=name, saved=getattr(f, name)):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    setattr(f, name, saved)
            self.addCleanup(restore)

    def assert_arity_error(self):
        exc = support.raised_by(f)
        self.assertIsInstance(exc, TypeError)
        self.assertEqual(str(exc), ARITY)
        self.assertEqual(support.module_entries(exc), [
            (support.MODULE_FILE, Line.define_function,
             support.CALL_FUNCTION)])

    def test_initial_attributes(self):
        expected = {
            "__name__": "extract_metadata", "func_name": "extract_metadata",
            "__qualname__": "extract_metadata",
            "__module__": "bathyra.metadata_parser",
            "__doc__": None, "func_doc": None, "__closure__": None,
            "func_closure": None, "__defaults__": None,
            "func_defaults": None, "__kwdefaults__": None,
            "_is_coroutine": False, "__annotations__": {},
        }
        for name, value in expected.items():
            with self.subTest(name):
                self.assertEqual(getattr(f, name), value)
                self.assertIs(type(getattr(f, name)), type(value))
        self.assertIs(f.__globals__, vars(mp))
        self.assertIs(f.func_globals, vars(mp))
        self.assertIs(f.func_code, f.__code__)
        self.assertEqual(f.__code__.co_name, "extract_metadata")
        self.assertIs(f.__annotations__, f.__annotations__)
        self.assertIs(f.func_dict, f.__dict__)
        self.assertIn("extract_metadata", repr(f))

    def test_refused_changes(self):
        self.restore_later("__dict__", "__annotations__")
        refused = [
            ("__name__", 5, NOT_STR % "__name__"),
            ("func_name", b"x", NOT_STR % "__name__"),
            ("__qualname__", 5, NOT_STR % "__qualname__"),
            ("__dict__", 5, NOT_DICT), ("func_dict", [], NOT_DICT),
            ("__defaults__", 5, "__defaults__ must be set to a tuple object"),
            ("func_defaults", [1],
             "__defaults__ must be set to a tuple object"),
            ("__kwdefaults__", 5,
             "__kwdefaults__ must be set to a dict object"),
            ("__annotations__", 5,
             "__annotations__ must be set to a dict object"),
        ]
        for name, value, message in refused:
            with self.subTest(name):
                before = getattr(f, name)
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    with self.assertRaises(TypeError) as raised:
                        setattr(f, name, value)
                self.assertEqual(str(raised.exception), message)
                self.assertEqual(caught, [])
                self.assertIs(getattr(f, name), before)
        deleted = [("__name__", NOT_STR % "__name__"),
                   ("__qualname__", NOT_STR % "__qualname__"),
                   ("__dict__", "function's dictionary may not be deleted"),
                   ("func_dict", "function's dictionary may not be deleted")]
        for name, message in deleted:
            with self.subTest("del " + name):
                before = getattr(f, name)
                with self.assertRaises(TypeError) as raised:
                    delattr(f, name)
                self.assertEqual(str(raised.exception), message)
                self.assertIs(getattr(f, name), before)
        for name in ("__globals__", "func_globals", "__code__", "func_code",
                     "__closure__", "func_closure", "_is_coroutine"):
            with self.subTest(name):
                before = getattr(f, name)
                with self.assertRaises(AttributeError):
                    setattr(f, name, before)
                with self.assertRaises(AttributeError):
                    delattr(f, name)
                self.assertIs(getattr(f, name), before)

    def test_writable_attributes(self):
        self.restore_later("__name__", "__qualname__", "__module__",
                           "__doc__", "__dict__", "__annotations__")
        for name, value in (("__name__", "other"), ("func_name", "x"),
                            ("__qualname__", "C.other"), ("__module__", 5),
                            ("__doc__", "text"), ("func_doc", 7)):
            with self.subTest(name):
                setattr(f, name, value)
                self.assertIs(getattr(f, name), value)
        for name in ("__doc__", "func_doc"):
            delattr(f, name)
            self.assertIsNone(f.__doc__)
        # The instance dictionary: kept once made, open to any name.
        table = f.__dict__
        self.addCleanup(table.pop, "marker", None)
        f.marker = 1
        self.assertEqual(table, {"marker": 1})
        replacement = {"other": 2}
        f.__dict__ = replacement
        self.assertIs(f.func_dict, replacement)
        self.assertEqual((f.other, hasattr(f, "marker")), (2, False))
        # None or deletion empties the annotations: a new dictionary.
        annotations = {"raster": int}
        for reset in (lambda: setattr(f, "__annotations__", None),
                      lambda: delattr(f, "__annotations__")):
            f.__annotations__ = annotations
            self.assertIs(f.__annotations__, annotations)
            reset()
            self.assertEqual(f.__annotations__, {})
            self.assertIsNot(f.__annotations__, annotations)
            self.assertIs(f.__annotations__, f.__annotations__)
        self.assert_arity_error()

    def test_defaults_warn_and_have_no_effect(self):
        self.restore_later("__defaults__", "__kwdefaults__")
        for attribute, name, value in (
                ("__defaults__", "__defaults__", (1,)),
                ("func_defaults", "__defaults__", ()),
                ("__kwdefaults__", "__kwdefaults__", {"raster": 1})):
            with self.subTest(attribute):
                for reset in (lambda: setattr(f, attribute, None),
                              lambda: delattr(f, attribute)):
                    with warnings.catch_warnings(record=True) as caught:
                        warnings.simplefilter("always")
                        setattr(f, attribute, value)
                        self.assertIs(getattr(f, name), value)
                        self.assert_arity_error()
                        reset()
                    self.assertEqual([w.category for w in caught],
                                     [RuntimeWarning] * 2)
                    self.assertIsNone(getattr(f, name))
                # With the warning turned into an error nothing is stored.
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    with self.assertRaises(RuntimeWarning):
                        setattr(f, attribute, value)
                self.assertIsNone(getattr(f, name))

    def test_pickling_weakref_and_gc(self):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with self.subTest(protocol=protocol):
                self.assertIs(pickle.loads(pickle.dumps(f, protocol)), f)
        ref = weakref.ref(f)
        self.assertIs(ref(), f)
        self.assertIn(ref, weakref.getweakrefs(f))
        self.assertTrue(gc.is_tracked(f))
        referents = gc.get_referents(f)
        for held in (vars(mp), f.__code__, f.__dict__, f.__annotations__):
            self.assertTrue(any(r is held for r in referents))


if __name__ == "__main__":
    unittest.main()
