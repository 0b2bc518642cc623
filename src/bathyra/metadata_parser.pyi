"""The extension module of bathyra, written in C++ against the CPython C API.

Its one function, ``extract_metadata``, reads the chart attributes of a
survey from its ISO/TS 19139 metadata document.  The module's globals
``ET`` (the XML library) and ``XML_NS`` (the table of namespace prefixes)
are looked up at every use: rebinding them changes the next call.
"""
import xml.etree.ElementTree as _ElementTree
from typing import Dict, Protocol, TypedDict, Union

ET = _ElementTree

# The namespace prefixes of the element paths, registered with the XML
# library at every call: gmi, gmd, xsi, gml (GML 3.2), gco, xlink.
XML_NS: Dict[str, str]

__test__: Dict[str, str]


class _Raster(Protocol):
    """Anything that carries a metadata document."""

    @property
    def iso19139_xml(self) -> Union[str, bytes]: ...


class _Record(TypedDict):
    SURSTA: str
    SUREND: str
    DRVAL1: float
    DRVAL2: float
    planam: str
    OBJNAM: str


def extract_metadata(raster: _Raster) -> _Record:
    """The S-57 survey attributes read from the ISO/TS 19139 metadata
    document that `raster` carries in its attribute ``iso19139_xml``.

    `raster` is any object with that attribute (a ``bathyra.bag.BagFile``,
    or any class of one's own); its value is the whole document, as
    ``str`` or ``bytes``, passed to the XML library unchanged.  Elements
    are found anywhere below the root, the first one in document order,
    with the prefixes of ``XML_NS``:

        >>> from bathyra.metadata_parser import extract_metadata
        >>> class Survey:
        ...     iso19139_xml = '''<gmd:MD_Metadata
        ...       xmlns:gmd="http://www.isotc211.org/2005/gmd"
        ...       xmlns:gco="http://www.isotc211.org/2005/gco"
        ...       xmlns:gml="http://www.opengis.net/gml/3.2">
        ...     <gml:beginPosition>2019-03-14T00:00:00</gml:beginPosition>
        ...     <gml:endPosition>2019-03-20T00:00:00</gml:endPosition>
        ...     <gmd:minimumValue><gco:Real>-35.2</gco:Real></gmd:minimumValue>
        ...     <gmd:maximumValue><gco:Real>-1.5</gco:Real></gmd:maximumValue>
        ...     </gmd:MD_Metadata>'''
        >>> extract_metadata(Survey())
        {'SURSTA': '20190314', 'SUREND': '20190320', 'DRVAL1': 1.5,
         'DRVAL2': 35.2, 'planam': '', 'OBJNAM': 'VACIO'}

    The record is a new dict of six entries, always in this order:

    SURSTA, SUREND
        Survey start and end date, from the text of the first GML 3.2
        ``gml:beginPosition`` and ``gml:endPosition``: the eight digits of
        its calendar date when the text (white space aside) is a date
        YYYY-MM-DD alone or followed by "T" and a time, so
        2019-03-14T00:00:00Z gives 20190314.  Any other text gives itself
        less its last nine characters and every "-" (a year "2019" gives
        "").  Periods in GML 3.1 (http://www.opengis.net/gml) are not read.
    DRVAL1, DRVAL2
        The depth range, floats: the first ``gco:Real`` under a
        ``gmd:minimumValue`` and under a ``gmd:maximumValue``, each
        negated (so that elevations below the datum become depths), the
        smaller in DRVAL1 and the larger in DRVAL2; both NaN when either
        is NaN.  The texts are numbers as ``float()`` reads them.
    planam
        The platform and instrument names: the text of every
        ``gco:CharacterString`` under ``gmi:acquisitionInformation``, in
        document order, joined by ",", with the commas at both ends of the
        result removed.  Empty elements and the placeholders
        "Platform Name", "instrument unknown" and "instrument type unknown"
        are left out; "" when nothing is left.
    OBJNAM
        The dataset's name: the text of the first ``gco:CharacterString``
        under a ``gmd:CI_Citation``, with every ".csar" removed; "VACIO"
        when there is no such element or its text is empty.

    Failures raise the exception of the step that failed, unchanged (the
    XML library's own, or Python's), with one traceback entry
    ``File "bathyra/metadata_parser", line N`` whose line names the step
    (``bathyra.explain`` turns it into a sentence about the document):

        >>> import traceback
        >>> class Undated:
        ...     iso19139_xml = ('<gmd:MD_Metadata xmlns:gmd='
        ...                     '"http://www.isotc211.org/2005/gmd"/>')
        >>> try:
        ...     extract_metadata(Undated())
        ... except AttributeError as error:
        ...     print(error)
        ...     entry = traceback.extract_tb(error.__traceback__)[-1]
        ...     print(entry.filename, entry.lineno, entry.name)
        'NoneType' object has no attribute 'text'
        bathyra/metadata_parser 19 bathyra.metadata_parser.extract_metadata

    The lines, with the names of ``bathyra._traceback_lines.Line``:

    13 define_function      the call itself: not exactly one argument
                            ``raster`` (TypeError)
    14 read_document        `raster` has no ``iso19139_xml``
                            (AttributeError), or reading it raised
    15 namespace_loop       ``XML_NS`` is missing (NameError) or not a
                            table of prefix and namespace pairs
    16 register_namespace   the XML library refused a prefix of
                            ``XML_NS``
    17 parse_document       the document is not well-formed XML
                            (xml.etree.ElementTree.ParseError), or neither
                            str nor bytes (TypeError)
    19 find_begin_position  no GML 3.2 ``gml:beginPosition`` (AttributeError:
                            'NoneType' object has no attribute 'text')
    20 find_end_position    no GML 3.2 ``gml:endPosition`` (AttributeError)
    21 find_minimum_value   no ``gco:Real`` under ``gmd:minimumValue``
                            (AttributeError)
    22 find_maximum_value   no ``gco:Real`` under ``gmd:maximumValue``
                            (AttributeError)
    24 convert_minimum      the minimum is not a number (ValueError) or
                            its element is empty (TypeError)
    25 convert_maximum      the same for the maximum
    28 survey_start         ``gml:beginPosition`` is empty (TypeError:
                            'NoneType' object is unsliceable)
    29 survey_end           ``gml:endPosition`` is empty (TypeError)
    32 make_placeholders    the set of placeholders could not be made
    33 find_platforms       searching the acquisition information failed
    34 platform_loop        going through its character strings failed
    35 test_platform        a platform text cannot be compared
    36 append_platform      a platform text cannot be joined
    37 join_platforms       the joined names cannot be trimmed
    39 find_citation        searching the citation failed
    40 citation_text        the citation text cannot be read
    41 object_name          ".csar" cannot be removed from it
    44 build_record         the record could not be built
    46 make_drval1          the float of DRVAL1 could not be made
    47 make_drval2          the float of DRVAL2 could not be made

    The checks run in the order of their lines, so a document with several
    faults reports the first: a missing begin before a missing end, every
    missing element before a value that is not a number, and those before
    an empty date.  Lines 32 to 47 fail only with memory exhausted or a
    patched XML library; 1 to 5 belong to the import of the module.
    """
