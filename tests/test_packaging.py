"""Packaging and documentation: the examples of the docstrings, stubs,
README and docs run as shown; one version everywhere; a wheel that
installs into a fresh virtual environment and uninstalls without a
trace."""
import ast
import base64
import contextlib
import csv
import doctest
import hashlib
import importlib
import importlib.machinery
import importlib.util
import inspect
import io
import os
import pkgutil
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import textwrap
import unittest
import warnings
import zipfile

from tests import support

import bathyra
from bathyra import bag
from bathyra._traceback_lines import Line

SOURCE_DIR = os.path.join(support.REPO_DIR, "src", "bathyra")
BACKEND_DIR = os.path.join(support.REPO_DIR, "backend")
DOCS_DIR = os.path.join(support.REPO_DIR, "docs")
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE

sys.path.insert(0, BACKEND_DIR)
import bathyra_build  # noqa: E402  (the in-tree build backend)

needs_corpus = unittest.skipUnless(
    os.path.isdir(support.CORPUS_REAL),
    "the shared corpus (../shared/corpus) is absent")


@contextlib.contextmanager
def example_folder(survey_bag):
    """A temporary working folder, as the examples expect one: examples/
    of the repository and, with `survey_bag`, survey.bag, a BAG file of the
    shared corpus (the docstrings write a survey.bag of their own)."""
    folder = tempfile.mkdtemp()
    old = os.getcwd()
    try:
        os.symlink(support.EXAMPLES_DIR, os.path.join(folder, "examples"))
        if survey_bag:
            os.symlink(os.path.join(support.CORPUS_BAG,
                                    "vr_survey_2022_gzip.bag"),
                       os.path.join(folder, "survey.bag"))
        os.chdir(folder)
        yield folder
    finally:
        os.chdir(old)
        shutil.rmtree(folder)


def run_doctests(tests, survey_bag=False):
    """Runs doctest.DocTest objects; returns the numbers of examples tried
    and failed, and the report of the failures."""
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    with example_folder(survey_bag), warnings.catch_warnings():
        # An example may leave a file to the garbage collector.
        warnings.simplefilter("ignore", ResourceWarning)
        for test in tests:
            runner.run(test, out=out.write)
    return runner.tries, runner.failures, out.getvalue()


def text_doctests(text, name):
    """The examples of a docstring or a Markdown file.  A code fence
    line ends the expected output before it, as a blank line does."""
    text = re.sub(r"(?m)^ *```.*$", "", text)
    return doctest.DocTestParser().get_doctest(text, {}, name, name, 0)


class ExamplesTest(unittest.TestCase):
    """Every example in the docstrings, stubs, README and docs runs as
    shown (output lines may be wrapped)."""

    def check(self, tests, survey_bag=False):
        tries, failures, report = run_doctests(tests, survey_bag)
        self.assertEqual(failures, 0, report)
        return tries

    def test_package_docstrings(self):
        finder = doctest.DocTestFinder()
        tried = 0
        for module in pkgutil.iter_modules(bathyra.__path__):
            if module.name == "__main__":
                continue  # importing it runs the command line
            if module.name == "bag" and not bag.available():
                continue  # its example writes a BAG file
            full = importlib.import_module("bathyra." + module.name)
            with self.subTest(module=full.__name__):
                tried += self.check(finder.find(full, full.__name__))
        tried += self.check(finder.find(bathyra, "bathyra"))
        self.assertGreater(tried, 0)

    def test_stub_docstrings(self):
        tried = 0
        for name in sorted(os.listdir(SOURCE_DIR)):
            if not name.endswith(".pyi"):
                continue
            with open(os.path.join(SOURCE_DIR, name),
                      encoding="utf-8") as stream:
                tree = ast.parse(stream.read())
            for node in [tree] + list(ast.walk(tree)):
                if isinstance(node, (ast.Module, ast.ClassDef,
                                     ast.FunctionDef)):
                    text = ast.get_docstring(node, clean=True)
                    if text:
                        label = "%s:%s" % (name, getattr(node, "name", ""))
                        with self.subTest(stub=label):
                            tried += self.check(
                                [text_doctests(text, label)])
        self.assertGreater(tried, 0)

    @needs_corpus
    def test_readme_and_docs(self):
        if not bag.available():
            self.skipTest("the README opens a BAG file: built without HDF5")
        paths = [os.path.join(support.REPO_DIR, "README.md")]
        if os.path.isdir(DOCS_DIR):
            paths += [os.path.join(DOCS_DIR, name)
                      for name in sorted(os.listdir(DOCS_DIR))
                      if name.endswith(".md")]
        for path in paths:
            with open(path, encoding="utf-8") as stream:
                text = stream.read()
            with self.subTest(file=os.path.basename(path)):
                self.check([text_doctests(text, os.path.basename(path))],
                           survey_bag=True)

    def test_stub_lists_every_traceback_line(self):
        # The table of lines in the stub's documentation of
        # extract_metadata against the module's own table.
        with open(os.path.join(SOURCE_DIR, "metadata_parser.pyi"),
                  encoding="utf-8") as stream:
            text = stream.read()
        rows = dict((name, int(number)) for number, name in re.findall(
            r"^ {4}(\d+) ([a-z_0-9]+) ", text, re.M))
        called = {line.name: line.value for line in Line
                  if line >= Line.define_function}
        self.assertEqual(rows, called)


def stub_parameters(node):
    """(name, kind, has a default) of each parameter of a stub's def."""
    kinds = inspect.Parameter
    arguments = node.args
    positional = [(a, kinds.POSITIONAL_ONLY) for a in arguments.posonlyargs]
    positional += [(a, kinds.POSITIONAL_OR_KEYWORD) for a in arguments.args]
    first_default = len(positional) - len(arguments.defaults)
    found = [(a.arg, kind, i >= first_default)
             for i, (a, kind) in enumerate(positional)]
    if arguments.vararg:
        found.append((arguments.vararg.arg, kinds.VAR_POSITIONAL, False))
    found += [(a.arg, kinds.KEYWORD_ONLY, default is not None)
              for a, default in zip(arguments.kwonlyargs,
                                    arguments.kw_defaults)]
    if arguments.kwarg:
        found.append((arguments.kwarg.arg, kinds.VAR_KEYWORD, False))
    return found


def runtime_parameters(function):
    return [(p.name, p.kind, p.default is not p.empty)
            for p in inspect.signature(function).parameters.values()]


def annotated_functions(module):
    """(label, function) of every public function of a Python module: its
    __all__ names, and of its classes __init__ and the public methods."""
    for name in module.__all__:
        value = getattr(module, name)
        if inspect.isfunction(value):
            yield "%s.%s" % (module.__name__, name), value
        elif inspect.isclass(value) and value.__module__ == module.__name__:
            for attribute, member in vars(value).items():
                if inspect.isfunction(member) and (
                        attribute == "__init__"
                        or not attribute.startswith("_")):
                    yield ("%s.%s.%s" % (module.__name__, name, attribute),
                           member)


class SignatureTest(unittest.TestCase):
    """What users read of a function's signature cannot drift from what
    it takes: a compiled module has a stub whose defs match the module's
    functions; a Python module has no stub and annotates its own."""

    def test_stubs_only_for_compiled_modules(self):
        suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
        stubs = [name[:-4] for name in os.listdir(SOURCE_DIR)
                 if name.endswith(".pyi")]
        self.assertIn("metadata_parser", stubs)
        for stem in stubs:
            with self.subTest(stub=stem):
                self.assertFalse(os.path.exists(
                    os.path.join(SOURCE_DIR, stem + ".py")))
                spec = importlib.util.find_spec("bathyra." + stem)
                self.assertTrue(spec.origin.endswith(suffixes), spec.origin)

    def test_compiled_functions_match_their_stubs(self):
        for name in sorted(os.listdir(SOURCE_DIR)):
            if not name.endswith(".pyi"):
                continue
            module = importlib.import_module("bathyra." + name[:-4])
            with open(os.path.join(SOURCE_DIR, name),
                      encoding="utf-8") as stream:
                tree = ast.parse(stream.read())
            defs = {node.name: node for node in tree.body
                    if isinstance(node, ast.FunctionDef)
                    and not node.name.startswith("_")}
            public = {attribute for attribute, value in vars(module).items()
                      if callable(value) and not attribute.startswith("_")
                      and not inspect.ismodule(value)}
            self.assertEqual(set(defs), public, name)
            for function, node in defs.items():
                with self.subTest(function=function):
                    self.assertEqual(
                        runtime_parameters(getattr(module, function)),
                        stub_parameters(node))

    def test_python_functions_are_annotated(self):
        import typing
        checked = 0
        for name in ("bathyra", "bathyra.bag", "bathyra.document",
                     "bathyra.errors", "bathyra.explain", "bathyra.survey",
                     "bathyra.survey_catalog"):
            module = importlib.import_module(name)
            for label, function in annotated_functions(module):
                with self.subTest(function=label):
                    signature = inspect.signature(function)
                    for parameter in signature.parameters.values():
                        if parameter.name in ("self", "cls"):
                            continue
                        self.assertIsNot(parameter.annotation,
                                         parameter.empty, parameter.name)
                    self.assertIsNot(signature.return_annotation,
                                     signature.empty)
                    # Every annotation names something that exists.
                    typing.get_type_hints(function)
                    checked += 1
        self.assertGreater(checked, 15)


class SourceTreeTest(unittest.TestCase):
    """The package imports from the sources alone, with no build: the
    compiled parts, and what the build writes, load on first use."""

    def test_import_without_a_build(self):
        child = support.run_child("""
            import sys
            import bathyra
            from bathyra import errors
            print(bathyra.__file__)
            print(sorted(name for name, module in sys.modules.items()
                         if name.startswith("bathyra")
                         and not getattr(module, "__file__", "")
                         .endswith(".py")))
            print(bathyra.explain(ValueError("x")) ==
                  bathyra.explain.__globals__["NOT_FROM_EXTRACTION"])
            print(issubclass(bathyra.BagError, bathyra.BathyraError),
                  bathyra.Document(None, b"<a/>").bag_version)
            """, tree=os.path.dirname(SOURCE_DIR))
        self.assertEqual(child.returncode, 0, child.stderr)
        lines = child.stdout.splitlines()
        self.assertEqual(lines[0], os.path.join(SOURCE_DIR, "__init__.py"))
        self.assertEqual(lines[1:], ["[]", "True", "True None"])


class VersionTest(unittest.TestCase):
    """One version: the package, the backend's metadata, the changelog,
    the command line."""

    def test_package_and_metadata_agree(self):
        project = bathyra_build.Project(support.REPO_DIR)
        self.assertEqual(project.version, bathyra.__version__)
        self.assertIn("\nVersion: %s\n" % bathyra.__version__,
                      project.metadata())

    def test_changelog_starts_with_this_version(self):
        with open(os.path.join(support.REPO_DIR, "CHANGELOG.md"),
                  encoding="utf-8") as stream:
            first = re.search(r"^## (\S+)", stream.read(), re.M)
        self.assertEqual(first.group(1), bathyra.__version__)

    def test_command_line_version(self):
        result = support.run_child(
            "import sys; from bathyra import cli; sys.argv[0] = 'bathyra';"
            " cli.main(['--version'])")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(bathyra.__version__, result.stdout + result.stderr)


class TomlReaderTest(unittest.TestCase):

    def test_reads_pyproject_as_the_standard_reader_does(self):
        try:
            import tomllib
        except ImportError:
            self.skipTest("no tomllib on this host to compare with")
        with open(os.path.join(support.REPO_DIR, "pyproject.toml"),
                  encoding="utf-8") as stream:
            texts = [stream.read()]
        texts.append(textwrap.dedent('''\
            top = 1  # comment
            [a."b.c"]
            s = "tab\\t \\u00e9 \\"q\\""
            l = 'C:\\path'
            list = [ 1, 2,
              3, ]  # trailing comma
            inline = { x = "1", y.z = true }
            [[arr]]
            n = "first"
            [[arr]]
            n = "second"
            '''))
        for text in texts:
            self.assertEqual(bathyra_build.TomlReader(text).document(),
                             tomllib.loads(text))


PIP_OWN = {"pip", "setuptools", "pkg_resources", "_distutils_hack"}


def venv_python(venv):
    return os.path.join(venv, "bin", "python")


class WheelTest(unittest.TestCase):
    """The wheel that pip builds through the in-tree backend, installed
    into a fresh virtual environment of this interpreter."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="bathyra-wheel-test-")
        cls.venv = os.path.join(cls.tmp, "venv")
        try:
            import ensurepip  # noqa: F401
            import venv  # noqa: F401
        except ImportError as error:
            raise unittest.SkipTest("no venv with pip here (%s)" % error)
        made = subprocess.run([sys.executable, "-m", "venv", cls.venv],
                              capture_output=True, text=True, timeout=300)
        if made.returncode != 0:
            raise unittest.SkipTest(
                "this interpreter cannot make a virtual environment with "
                "pip (on Debian: apt-get install python3-venv): "
                + made.stderr.strip()[-300:])
        cls.env = dict(os.environ, PIP_NO_INDEX="1",
                       PIP_DISABLE_PIP_VERSION_CHECK="1",
                       PIP_NO_CACHE_DIR="1")
        # Neither the build tree nor a sanitizer runtime of the test run:
        # the wheel is built and used as a user builds and uses it.
        for name in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC"):
            cls.env.pop(name, None)
        cls.dist = os.path.join(cls.tmp, "dist")
        built = cls.pip("wheel", "--no-deps", "-w", cls.dist,
                        support.REPO_DIR)
        if built.returncode != 0:
            raise AssertionError("pip wheel failed:\n" + built.stdout
                                 + built.stderr)
        cls.wheel = os.path.join(cls.dist, os.listdir(cls.dist)[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def pip(cls, *args):
        return subprocess.run([venv_python(cls.venv), "-m", "pip", *args],
                              cwd=cls.tmp, env=cls.env, capture_output=True,
                              text=True, timeout=600)

    def run_in_venv(self, *command):
        return subprocess.run(command, cwd=self.tmp, env=self.env,
                              capture_output=True, text=True, timeout=120)

    def test_wheel_contents(self):
        tag = bathyra_build.wheel_tag()
        self.assertEqual(os.path.basename(self.wheel),
                         "bathyra-%s-%s.whl" % (bathyra.__version__, tag))
        dist_info = "bathyra-%s.dist-info/" % bathyra.__version__
        with zipfile.ZipFile(self.wheel) as archive:
            names = archive.namelist()
            record = archive.read(dist_info + "RECORD").decode()
            metadata = archive.read(dist_info + "METADATA").decode()
            entry_points = archive.read(dist_info + "entry_points.txt")
            rows = list(csv.reader(io.StringIO(record)))
            for name, digest, size in rows:
                if name == dist_info + "RECORD":
                    continue
                data = archive.read(name)
                expected = base64.urlsafe_b64encode(
                    hashlib.sha256(data).digest()).rstrip(b"=").decode()
                self.assertEqual((digest, int(size)),
                                 ("sha256=" + expected, len(data)), name)
        self.assertEqual(sorted(row[0] for row in rows), sorted(names))
        suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
        wanted = ["bathyra/__init__.py", "bathyra/_version.py",
                  "bathyra/explain.py", "bathyra/_traceback_lines.py",
                  "bathyra/cli.py", "bathyra/py.typed",
                  "bathyra/metadata_parser.pyi",
                  "bathyra/metadata_parser" + suffix]
        if bag.available():
            wanted.append("bathyra/_bag" + suffix)
        for name in wanted:
            self.assertIn(name, names)
        for name in names:
            self.assertTrue(name.startswith(("bathyra/", dist_info)), name)
            self.assertNotIn("__pycache__", name)
        for field in ("Name: bathyra", "Version: " + bathyra.__version__,
                      "License: BSD-3-Clause", "Summary: "):
            self.assertIn("\n" + field, "\n" + metadata)
        self.assertIn(b"bathyra = bathyra.cli:main", entry_points)

    def test_install_run_uninstall(self):
        before = self.venv_files()
        installed = self.pip("install", "--no-deps", self.wheel)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        try:
            example = os.path.join(support.EXAMPLES_DIR,
                                   "survey_h13045_multibeam.xml")
            command = os.path.join(self.venv, "bin", "bathyra")
            result = self.run_in_venv(command, example)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("H13045_MB_1m_MLLW", result.stdout)
            result = self.run_in_venv(
                venv_python(self.venv), "-c",
                "import bathyra, pydoc, sys; "
                "print(bathyra.__version__, bathyra.__file__); "
                "print('metadata_parser' in str(sys.modules)); "
                "print(pydoc.render_doc(bathyra))")
            self.assertEqual(result.returncode, 0, result.stderr)
            version, path = result.stdout.split("\n")[0].split(" ", 1)
            self.assertEqual(version, bathyra.__version__)
            self.assertTrue(path.startswith(self.venv), path)
            self.assertEqual(result.stdout.split("\n")[1], "False")
            self.assertIn("explain(exc", result.stdout)
        finally:
            removed = self.pip("uninstall", "-y", "bathyra")
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertEqual(self.venv_files() - before, set())

    def venv_files(self):
        """Every path in the virtual environment, less pip's own (pip
        compiles its modules as it first runs them)."""
        found = set()
        for folder, dirs, names in os.walk(self.venv):
            dirs[:] = [name for name in dirs if name not in PIP_OWN]
            for name in dirs + names:
                found.add(os.path.join(folder, name))
        return found


class SourceArchiveTest(unittest.TestCase):

    def test_sdist_holds_what_a_build_needs(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        old = os.getcwd()
        os.chdir(support.REPO_DIR)
        try:
            name = bathyra_build.build_sdist(folder)
        finally:
            os.chdir(old)
        base = "bathyra-%s/" % bathyra.__version__
        with tarfile.open(os.path.join(folder, name)) as archive:
            names = archive.getnames()
        for path in ("PKG-INFO", "pyproject.toml", "CMakeLists.txt",
                     "LICENSE", "backend/bathyra_build.py",
                     "src/bathyra/explain.py", "src/bathyra/_version.py",
                     "src/bathyra/metadata_parser.pyi",
                     "src/ext/metadata_parser/traceback_lines.hpp",
                     "src/ext/common/owned_ref.hpp"):
            self.assertIn(base + path, names)
        for path in names:
            self.assertTrue(path.startswith(base), path)
            self.assertNotRegex(path[len(base):], r"^build|__pycache__")

    def test_hostile_trees(self):
        # A FIFO would block a reader; links lead out of the tree.
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        for name in ("pyproject.toml", "LICENSE", "README.md",
                     os.path.join("src", "bathyra", "_version.py")):
            os.makedirs(os.path.dirname(os.path.join(root, name)),
                        exist_ok=True)
            shutil.copy(os.path.join(support.REPO_DIR, name),
                        os.path.join(root, name))
        tests = os.path.join(root, "tests")
        os.mkdir(tests)
        os.mkfifo(os.path.join(tests, "fifo"))
        os.symlink("/etc/hostname", os.path.join(tests, "outside"))
        os.symlink("/etc", os.path.join(tests, "outside_folder"))
        os.symlink(os.path.join(root, "LICENSE"),
                   os.path.join(tests, "licence_link"))
        odd = ['a,b.py', 'quote".py', 'new\nline.py']
        for name in odd:
            with open(os.path.join(tests, name), "w") as stream:
                stream.write("# %r\n" % name)
        code = ("import sys; sys.path.insert(0, %r); import bathyra_build; "
                "print(bathyra_build.build_sdist(%r))"
                % (os.path.join(support.REPO_DIR, "backend"), root))
        made = subprocess.run([sys.executable, "-c", code], cwd=root,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(made.returncode, 0, made.stderr)
        with tarfile.open(os.path.join(root, made.stdout.strip())) as tar:
            names = {name.split("/", 1)[1] for name in tar.getnames()}
        self.assertLessEqual({"tests/licence_link"}
                             | {"tests/" + name for name in odd}, names)
        for name in ("fifo", "outside", "outside_folder"):
            self.assertFalse(any(n.startswith("tests/" + name)
                                 for n in names), name)
        # The wheel's RECORD stays CSV that names each file once.
        stage = os.path.join(root, "stage", "pkg")
        os.makedirs(stage)
        for name in odd:
            with open(os.path.join(stage, name), "w") as stream:
                stream.write("x")
        wheel = os.path.join(root, "x.whl")
        bathyra_build.write_wheel(wheel, os.path.dirname(stage),
                                  "pkg-0.dist-info", [])
        with zipfile.ZipFile(wheel) as archive:
            rows = list(csv.reader(io.StringIO(
                archive.read("pkg-0.dist-info/RECORD").decode())))
            self.assertEqual(sorted(row[0] for row in rows),
                             sorted(archive.namelist()))


if __name__ == "__main__":
    unittest.main()
