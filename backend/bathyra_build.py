"""The build backend of bathyra (PEP 517), kept in the source tree.

It needs nothing beyond the interpreter that runs it, CMake and a C++
compiler: it builds the project with CMake for that interpreter in a
temporary folder and writes the wheel itself (a zip of the package with
METADATA, WHEEL, entry_points.txt and RECORD), so ``pip install .`` and
``pip wheel .`` work offline, under build isolation, with
``requires = []``.  The metadata comes from the ``[project]`` table of
pyproject.toml and the version from the package's version file, so the
usual CMake backend can take its place where a package index is reachable
(docs/packaging.md says how).

Options (``pip ... --config-settings key=value``, or ``config_settings``):

    build-dir   a folder to build in and keep, so that a second build is
                incremental (default: a temporary folder, removed after)
    cmake-args  more arguments for the CMake configure step, split like a
                shell command line (for instance "-DBATHYRA_WITH_BAG=OFF")
"""
import base64
import csv
import gzip
import hashlib
import io
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

BACKEND_NAME = "bathyra_build"
ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)

# The one variable that makes the package folder install below the prefix
# given to `cmake --install` instead of into the interpreter's own
# site-packages.
INSTALL_PYDIR_VARIABLE = "BATHYRA_INSTALL_PYDIR"


# ---------------------------------------------------------------------------
# PEP 517 hooks

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory,
                                     config_settings=None):
    project = Project(os.getcwd())
    dist_info = os.path.join(metadata_directory, project.dist_info)
    os.makedirs(dist_info, exist_ok=True)
    for name, data in project.dist_info_files(wheel_tag()):
        with open(os.path.join(dist_info, name), "wb") as stream:
            stream.write(data)
    return project.dist_info


def build_wheel(wheel_directory, config_settings=None,
                metadata_directory=None):
    project = Project(os.getcwd())
    settings = Settings(config_settings)
    tag = wheel_tag()
    with tempfile.TemporaryDirectory(prefix="bathyra-wheel-") as scratch:
        build_dir = settings.build_dir or os.path.join(scratch, "build")
        cmake_build(project.root, build_dir, settings.cmake_args)
        stage = os.path.join(scratch, "stage")
        stage_package(project, build_dir, stage)
        name = "%s-%s.whl" % (project.distribution, tag)
        os.makedirs(wheel_directory, exist_ok=True)
        write_wheel(os.path.join(wheel_directory, name), stage,
                    project.dist_info, project.dist_info_files(tag))
    return name


def build_sdist(sdist_directory, config_settings=None):
    project = Project(os.getcwd())
    name = project.distribution + ".tar.gz"
    os.makedirs(sdist_directory, exist_ok=True)
    write_sdist(os.path.join(sdist_directory, name), project)
    return name


# ---------------------------------------------------------------------------
# The project: metadata from pyproject.toml and the version file

class Project:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        with open(os.path.join(self.root, "pyproject.toml"), "rb") as stream:
            document = load_toml(stream.read().decode("utf-8"))
        self.table = document["project"]
        self.options = document.get("tool", {}).get("bathyra-build", {})
        self.name = self.table["name"]
        self.package = self.options.get("package", self.name)
        self.version = self._version()
        normal = re.sub(r"[-_.]+", "_", self.name).lower()
        self.distribution = "%s-%s" % (normal, self.version)
        self.dist_info = self.distribution + ".dist-info"

    def _version(self):
        if "version" in self.table:
            return self.table["version"]
        path = os.path.join(self.root, self.options["version-file"])
        with open(path, encoding="utf-8") as stream:
            match = re.search(
                r"""^__version__\s*=\s*["']([^"']+)["']""", stream.read(),
                re.M)
        if not match:
            raise BackendError("no __version__ = \"...\" line in " + path)
        return match.group(1)

    def metadata(self):
        """The METADATA file (core metadata 2.1) as text."""
        table = self.table
        lines = ["Metadata-Version: 2.1", "Name: " + self.name,
                 "Version: " + self.version]
        if "description" in table:
            lines.append("Summary: " + table["description"])
        authors = [author["name"] for author in table.get("authors", ())
                   if "name" in author]
        if authors:
            lines.append("Author: " + ", ".join(authors))
        license = table.get("license")
        if isinstance(license, dict) and "text" in license:
            lines.append("License: " + license["text"])
        elif isinstance(license, str):
            lines.append("License: " + license)
        for path in self.options.get("license-files", ()):
            lines.append("License-File: " + os.path.basename(path))
        if table.get("keywords"):
            lines.append("Keywords: " + ",".join(table["keywords"]))
        for classifier in table.get("classifiers", ()):
            lines.append("Classifier: " + classifier)
        for label, url in table.get("urls", {}).items():
            lines.append("Project-URL: %s, %s" % (label, url))
        if "requires-python" in table:
            lines.append("Requires-Python: " + table["requires-python"])
        for requirement in table.get("dependencies", ()):
            lines.append("Requires-Dist: " + requirement)
        description = ""
        readme = table.get("readme")
        if readme:
            path = readme if isinstance(readme, str) else readme["file"]
            with open(os.path.join(self.root, path),
                      encoding="utf-8") as stream:
                description = stream.read()
            kind = ("text/markdown" if path.lower().endswith(".md")
                    else "text/plain")
            lines.append("Description-Content-Type: " + kind)
        return "\n".join(lines) + "\n\n" + description

    def entry_points(self):
        sections = [("console_scripts", self.table.get("scripts", {})),
                    ("gui_scripts", self.table.get("gui-scripts", {}))]
        sections += sorted(self.table.get("entry-points", {}).items())
        text = ""
        for section, entries in sections:
            if entries:
                text += "[%s]\n" % section
                text += "".join("%s = %s\n" % item
                                for item in sorted(entries.items()))
                text += "\n"
        return text

    def dist_info_files(self, tag):
        """(name, bytes) of every file of the .dist-info folder but
        RECORD."""
        files = [("METADATA", self.metadata().encode("utf-8")),
                 ("WHEEL", ("Wheel-Version: 1.0\nGenerator: %s %s\n"
                            "Root-Is-Purelib: false\nTag: %s\n"
                            % (BACKEND_NAME, self.version, tag)).encode())]
        entry_points = self.entry_points()
        if entry_points:
            files.append(("entry_points.txt", entry_points.encode("utf-8")))
        files.append(("top_level.txt", (self.package + "\n").encode()))
        for path in self.options.get("license-files", ()):
            with open(os.path.join(self.root, path), "rb") as stream:
                files.append((os.path.basename(path), stream.read()))
        return files


class Settings:
    def __init__(self, config_settings):
        config = config_settings or {}
        build_dir = config.get("build-dir")
        self.build_dir = os.path.abspath(build_dir) if build_dir else None
        args = config.get("cmake-args", [])
        if isinstance(args, str):
            args = [args]
        self.cmake_args = [arg for text in args for arg in shlex.split(text)]


class BackendError(Exception):
    pass


# ---------------------------------------------------------------------------
# The build

def wheel_tag():
    """The tag of wheels for this interpreter: cp39-cp39-linux_x86_64."""
    if sys.implementation.name != "cpython":
        raise BackendError("bathyra builds for CPython only, not for "
                           + sys.implementation.name)
    version = "cp%d%d" % sys.version_info[:2]
    abi = version + (getattr(sys, "abiflags", "") or "")
    platform = re.sub(r"[-. ]", "_", sysconfig.get_platform())
    return "%s-%s-%s" % (version, abi, platform)


def cmake_build(root, build_dir, extra_args):
    """Configures and builds the project in `build_dir` for this
    interpreter."""
    cmake = os.environ.get("CMAKE") or shutil.which("cmake")
    if not cmake:
        raise BackendError(
            "building bathyra needs CMake 3.21 or newer and a C++17 "
            "compiler on PATH (on Debian: apt-get install cmake g++ "
            "python3-dev)")
    configure = [
        cmake, "-S", root, "-B", build_dir,
        "-DPYTHON=" + sys.executable,
        "-DCMAKE_BUILD_TYPE=Release",
        "-DBATHYRA_VERSION_MISMATCH_COPY=OFF",
        # Typed, so that a PATH declaration does not make "." absolute.
        "-D%s:STRING=." % INSTALL_PYDIR_VARIABLE,
    ] + list(extra_args)
    run(configure)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(
        os.cpu_count() or 1)
    run([cmake, "--build", build_dir, "--parallel", jobs])


def run(command):
    print("bathyra_build: " + " ".join(shlex.quote(part) for part in command),
          flush=True)
    result = subprocess.run(command)
    if result.returncode != 0:
        raise BackendError("command failed with status %d: %s"
                           % (result.returncode, " ".join(command)))


def stage_package(project, build_dir, stage):
    """Puts the package folder of the build into `stage`, as
    <stage>/<package>/...: `cmake --install --prefix <stage>`, with the
    package folder configured to install at the prefix itself."""
    cmake = os.environ.get("CMAKE") or shutil.which("cmake")
    run([cmake, "--install", build_dir, "--prefix", stage])
    strays = [name for name in os.listdir(stage) if name != project.package]
    if strays:
        raise BackendError("cmake --install put files outside the package "
                           "folder: %s" % ", ".join(sorted(strays)))
    if not os.path.isfile(os.path.join(stage, project.package,
                                       "__init__.py")):
        raise BackendError("the build put no %s/__init__.py into %s"
                           % (project.package, stage))


# ---------------------------------------------------------------------------
# Archives

def write_wheel(path, stage, dist_info, dist_info_files):
    """Writes the wheel at `path`: every file below `stage`, then the
    .dist-info files, then RECORD with each file's sha256 and size."""
    record = []
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        def add(name, data, mode):
            info = zipfile.ZipInfo(name, date_time=ZIP_EPOCH)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
            digest = base64.urlsafe_b64encode(
                hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append((name, "sha256=" + digest, str(len(data))))

        for folder, dirs, names in os.walk(stage):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(names):
                if name.endswith(".pyc"):
                    continue
                full = os.path.join(folder, name)
                with open(full, "rb") as stream:
                    data = stream.read()
                mode = 0o755 if os.access(full, os.X_OK) else 0o644
                add(os.path.relpath(full, stage).replace(os.sep, "/"), data,
                    mode)
        for name, data in dist_info_files:
            add(dist_info + "/" + name, data, 0o644)
        record.append((dist_info + "/RECORD", "", ""))
        # RECORD is CSV: a file name with a comma, a quote or a newline is
        # quoted as the csv module does.
        text = io.StringIO()
        csv.writer(text, lineterminator="\n").writerows(record)
        info = zipfile.ZipInfo(dist_info + "/RECORD", date_time=ZIP_EPOCH)
        info.external_attr = (0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, text.getvalue())


def write_sdist(path, project):
    """Writes the source archive: the paths that [tool.bathyra-build]
    lists under `sdist`, below a folder <name>-<version>/, and PKG-INFO.
    Only regular files of the tree go in: a symbolic link is taken only
    when it leads to a regular file inside the tree, and FIFOs, devices
    and sockets are passed over, so that nothing from outside the tree is
    packed and nothing blocks the build."""
    base = project.distribution
    entries = []
    for top in project.options.get("sdist", ()):
        full = os.path.join(project.root, top)
        if not inside(project.root, full):
            continue
        if os.path.isfile(full):
            entries.append(top)
        # os.walk lists a linked folder but does not descend into it.
        for folder, dirs, names in os.walk(full):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(names):
                if not name.endswith(".pyc"):
                    entries.append(os.path.relpath(
                        os.path.join(folder, name), project.root))
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        def add(name, data, mode):
            info = tarfile.TarInfo(base + "/" + name.replace(os.sep, "/"))
            info.size = len(data)
            info.mode = mode
            info.mtime = 0
            tar.addfile(info, io.BytesIO(data))

        add("PKG-INFO", project.metadata().encode("utf-8"), 0o644)
        for entry in entries:
            full = os.path.join(project.root, entry)
            if not inside(project.root, full):
                continue
            data = read_regular(full)
            if data is not None:
                add(entry, data,
                    0o755 if os.access(full, os.X_OK) else 0o644)
    with open(path, "wb") as stream:
        with gzip.GzipFile(fileobj=stream, mode="wb", mtime=0) as packed:
            packed.write(raw.getvalue())


def inside(root, path):
    """Whether `path`, its links resolved, lies in the folder `root`."""
    root = os.path.realpath(root)
    return os.path.commonpath([root, os.path.realpath(path)]) == root


def read_regular(path):
    """The bytes of the regular file at `path`, or None for anything else
    (a FIFO, a device, a socket, a file that went away).  Opened without
    blocking, so that a FIFO cannot stop the build, and checked again once
    open."""
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(
        os, "O_BINARY", 0)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        fd = os.open(path, flags)
    except OSError:
        return None
    with open(fd, "rb") as stream:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        return stream.read()


# ---------------------------------------------------------------------------
# TOML

def load_toml(text):
    """pyproject.toml as a dict: the standard library's reader where the
    interpreter has one (3.11 on), else the reader below."""
    try:
        import tomllib
    except ImportError:
        return TomlReader(text).document()
    return tomllib.loads(text)


class TomlReader:
    """Reads the part of TOML that a pyproject.toml uses: tables and
    arrays of tables, dotted and quoted keys, basic and literal strings
    (not multi-line), integers, booleans, arrays and inline tables.
    Anything else is refused with its line."""

    ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r",
               '"': '"', "\\": "\\"}

    def __init__(self, text):
        self.text = text
        self.at = 0

    def document(self):
        root = {}
        table = root
        while True:
            self.skip_blank(newlines=True)
            if self.at >= len(self.text):
                return root
            if self.text.startswith("[[", self.at):
                self.at += 2
                keys = self.keys("]]")
                parent = self.descend(root, keys[:-1])
                table = {}
                parent.setdefault(keys[-1], []).append(table)
            elif self.text[self.at] == "[":
                self.at += 1
                keys = self.keys("]")
                table = self.descend(root, keys)
            else:
                keys = self.keys("=")
                self.skip_blank()
                parent = self.descend(table, keys[:-1])
                if keys[-1] in parent:
                    self.fail("key %r given twice" % keys[-1])
                parent[keys[-1]] = self.value()
            self.end_of_line()

    def descend(self, table, keys):
        for key in keys:
            table = table.setdefault(key, {})
            if isinstance(table, list):
                table = table[-1]
            if not isinstance(table, dict):
                self.fail("%r is not a table" % key)
        return table

    def keys(self, end):
        keys = []
        while True:
            self.skip_blank()
            char = self.peek()
            if char in "\"'":
                keys.append(self.string())
            else:
                match = re.compile(r"[A-Za-z0-9_-]+").match(self.text,
                                                            self.at)
                if not match:
                    self.fail("a key was expected")
                keys.append(match.group())
                self.at = match.end()
            self.skip_blank()
            if self.text.startswith(end, self.at):
                self.at += len(end)
                return keys
            if self.peek() != ".":
                self.fail("%r was expected" % end)
            self.at += 1

    def value(self):
        char = self.peek()
        if char in "\"'":
            return self.string()
        if char == "[":
            self.at += 1
            items = []
            while True:
                self.skip_blank(newlines=True)
                if self.peek() == "]":
                    self.at += 1
                    return items
                items.append(self.value())
                self.skip_blank(newlines=True)
                if self.peek() == ",":
                    self.at += 1
                elif self.peek() != "]":
                    self.fail("',' or ']' was expected")
        if char == "{":
            self.at += 1
            table = {}
            self.skip_blank()
            if self.peek() == "}":
                self.at += 1
                return table
            while True:
                keys = self.keys("=")
                self.skip_blank()
                self.descend(table, keys[:-1])[keys[-1]] = self.value()
                self.skip_blank()
                if self.peek() == "}":
                    self.at += 1
                    return table
                if self.peek() != ",":
                    self.fail("',' or '}' was expected")
                self.at += 1
        match = re.compile(r"true|false|[+-]?[0-9][0-9_]*(?![.eE:-])").match(
            self.text, self.at)
        if not match:
            self.fail("a value this reader knows was expected")
        self.at = match.end()
        word = match.group()
        if word in ("true", "false"):
            return word == "true"
        return int(word.replace("_", ""))

    def string(self):
        quote = self.text[self.at]
        if self.text.startswith(quote * 3, self.at):
            self.fail("multi-line strings are not read")
        self.at += 1
        out = []
        while True:
            char = self.peek()
            if char in ("", "\n"):
                self.fail("the string does not end on its line")
            self.at += 1
            if char == quote:
                return "".join(out)
            if char == "\\" and quote == '"':
                code = self.peek()
                self.at += 1
                if code in self.ESCAPES:
                    out.append(self.ESCAPES[code])
                elif code in "uU":
                    width = 4 if code == "u" else 8
                    out.append(chr(int(self.text[self.at:self.at + width],
                                       16)))
                    self.at += width
                else:
                    self.fail("unknown escape \\" + code)
            else:
                out.append(char)

    def peek(self):
        return self.text[self.at:self.at + 1]

    def skip_blank(self, newlines=False):
        blank = " \t\r\n" if newlines else " \t"
        while self.at < len(self.text):
            char = self.text[self.at]
            if char == "#":
                end = self.text.find("\n", self.at)
                self.at = len(self.text) if end < 0 else end
            elif char in blank:
                self.at += 1
            else:
                return

    def end_of_line(self):
        self.skip_blank()
        if self.at < len(self.text) and self.text[self.at] not in "\r\n":
            self.fail("the line goes on after its value")

    def fail(self, message):
        line = self.text.count("\n", 0, self.at) + 1
        raise BackendError("pyproject.toml, line %d: %s" % (line, message))
