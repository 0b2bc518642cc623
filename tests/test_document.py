"""Documents and metadata files: reading a file (regular files only, the
size limit, the trailing NUL bytes), the Document every reader hands on,
and the one family of exceptions under BathyraError."""
import os
import pathlib
import pickle
import unittest

import bathyra
from bathyra import bag, cli, errors
from bathyra import metadata_parser as mp
from bathyra.document import Document, read_document, unpadded

from tests import support
from tests.documents import document

needs_hdf5 = unittest.skipUnless(bag.available(),
                                 "built without the HDF5 library")


def round_trips(exc):
    """Every pickle protocol's copy of `exc`."""
    return [pickle.loads(pickle.dumps(exc, protocol))
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]


class ReadDocumentTest(support.FolderMixin, unittest.TestCase):

    def test_trailing_nul_bytes(self):
        # The rule of every reader: the NULs after a document go, as the
        # BAG reader drops them; the line ends among them stay for the
        # survey reader to pass over; UTF-16 and UTF-32 lose whole NUL
        # characters, and get back the NUL bytes of their last character
        # that a BAG reader cut off with the padding.
        xml = document().encode()
        utf16, le16, le32 = (document().encode(codec) for codec in
                             ("utf-16", "utf-16-le", "utf-32-le"))
        cases = [(xml, xml), (xml + b"\0", xml), (xml + b"\n\0", xml + b"\n"),
                 (xml + b"\n\0\n\0", xml + b"\n\0\n"), (b"\0\0", b""),
                 (utf16, utf16), (utf16 + b"\0\0", utf16),
                 (le16 + b"\0", le16), (le16[:-1], le16), (le32[:-3], le32)]
        for data, expected in cases:
            with self.subTest(data=data[-6:]):
                self.assertEqual(unpadded(data), expected)
                read = read_document(self.write("a.xml", data))
                self.assertEqual(read.iso19139_xml, expected)
        self.assertEqual(mp.extract_metadata(read_document(
            self.write("b.xml", xml + b"\0"))), mp.extract_metadata(
                Document(None, xml)))

    def test_paths_and_limit(self):
        path = self.write("survey.xml", b"<a/>\0")
        for given in (path, os.fsencode(path), pathlib.Path(path)):
            with self.subTest(path=given):
                read = read_document(given, limit=5)
                self.assertEqual(read.path, os.fspath(given))
                self.assertEqual(read.iso19139_xml, b"<a/>")
                self.assertIsNone(read.bag_version)
        with self.assertRaises(errors.FileError) as caught:
            read_document(path, limit=4)
        self.assertEqual(caught.exception.reason, "larger than the limit "
                         "of 4 bytes (see --max-size)")
        with self.assertRaises(FileNotFoundError):
            read_document(os.path.join(self.tmp, "missing.xml"))

    def test_no_regular_file(self):
        fifo = os.path.join(self.tmp, "fifo.xml")
        os.mkfifo(fifo)
        # A writer that never comes: the FIFO is refused, not waited on.
        for path in (self.tmp, fifo, os.devnull):
            with self.subTest(path=path):
                with self.assertRaises(errors.FileError) as caught:
                    read_document(path)
                self.assertEqual((caught.exception.path,
                                  caught.exception.reason),
                                 (path, "not a regular file"))
                self.assertEqual(str(caught.exception),
                                 path + ": not a regular file")


class DocumentTest(unittest.TestCase):

    def test_what_readers_take(self):
        xml = document(platforms=["Vessel A"])
        held = bathyra.Document("survey.xml", xml)
        self.assertEqual((held.path, held.iso19139_xml, held.bag_version),
                         ("survey.xml", xml, None))
        self.assertEqual(mp.extract_metadata(held)["planam"], "Vessel A")
        self.assertEqual(bathyra.parse_survey(held).path, "survey.xml")
        self.assertEqual(repr(held), "<Document 'survey.xml', %d characters "
                         "of metadata>" % len(xml))
        self.assertIsInstance(bag.BagFile("s.bag", b"<a/>", "2.0"),
                              bathyra.Document)
        self.assertEqual(repr(bag.BagFile("s.bag", b"<a/>", "2.0")),
                         "<BagFile 's.bag' version 2.0, 4 bytes of metadata>")
        with bag.BagFile("s.bag", b"<a/>") as opened:
            self.assertIsNone(opened.bag_version)

    def test_pickles(self):
        for held in (Document("a.xml", b"<a/>"), Document(None, "<a/>"),
                     bag.BagFile(b"s.bag", b"<a/>", "1.6.2")):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                with self.subTest(held=held, protocol=protocol):
                    copy = pickle.loads(pickle.dumps(held, protocol))
                    self.assertIs(type(copy), type(held))
                    self.assertEqual(
                        (copy.path, copy.iso19139_xml, copy.bag_version),
                        (held.path, held.iso19139_xml, held.bag_version))


class ErrorFamilyTest(unittest.TestCase):

    def test_one_root(self):
        from bathyra import _survey
        for kind in (bathyra.SurveyError, errors.FileError, bathyra.BagError,
                     bathyra.BagSupportMissing, _survey.DocumentError,
                     cli.ExtractionFailed):
            with self.subTest(kind=kind.__name__):
                self.assertTrue(issubclass(kind, bathyra.BathyraError))
        self.assertTrue(issubclass(bathyra.BagSupportMissing, ImportError))
        self.assertIs(bag.BagError, bathyra.BagError)
        self.assertIs(bathyra.survey.SurveyError, bathyra.SurveyError)
        if bag.available():
            self.assertIs(bag._bag.BagError, bathyra.BagError)

    def test_attributes_text_and_pickles(self):
        cases = [
            (bathyra.SurveyError("not well-formed XML", "x.xml"),
             ("message", "path"), "x.xml: not well-formed XML"),
            (bathyra.SurveyError("the document is empty"),
             ("message", "path"), "the document is empty"),
            (errors.FileError(b"f.xml", "not a regular file"),
             ("path", "reason"), "f.xml: not a regular file"),
            (bathyra.BagError(pathlib.Path("s.bag"), "not an HDF5 file"),
             ("path", "reason"), "s.bag: not an HDF5 file"),
            (bathyra.BagSupportMissing(bag.HOW_TO_ENABLE), (),
             bag.HOW_TO_ENABLE),
        ]
        for exc, names, text in cases:
            with self.subTest(exc=exc):
                self.assertEqual(str(exc), text)
                for copy in round_trips(exc):
                    self.assertIs(type(copy), type(exc))
                    self.assertEqual(str(copy), text)
                    for name in names:
                        self.assertEqual(getattr(copy, name),
                                         getattr(exc, name))
        self.assertEqual(cases[2][0].path, "f.xml")
        failed = cli.ExtractionFailed(ValueError("x"), Document("a.xml", ""))
        copy, = round_trips(failed)[-1:]
        self.assertEqual((type(copy.error), copy.raster.path),
                         (ValueError, "a.xml"))


@needs_hdf5
class BagErrorTest(unittest.TestCase):

    def test_both_readers_raise_the_one_bag_error(self):
        tmp = support.temporary_directory(self)
        path = os.path.join(tmp, "notes.bag")
        with open(path, "w") as stream:
            stream.write("survey notes")
        for isolated in (True, False):
            with self.subTest(isolated=isolated):
                with self.assertRaises(bathyra.BagError) as caught:
                    bag.open(path, isolated=isolated)
                self.assertIs(type(caught.exception), bathyra.BagError)
                self.assertEqual((caught.exception.path,
                                  caught.exception.reason),
                                 (path, "not an HDF5 file"))
        # The writer's failures too (a deflate level beyond 9).
        out = os.path.join(tmp, "out.bag")
        with self.assertRaises(bathyra.BagError) as caught:
            bag.write(os.fsencode(out), b"<a/>", chunk=16, compress=10)
        self.assertEqual((caught.exception.path, caught.exception.reason),
                         (out, "cannot set the compression"))


if __name__ == "__main__":
    unittest.main()
