"""Chart attributes from the ISO 19139 metadata of survey rasters.

A survey raster (a BAG file, for instance) carries its metadata as an
ISO/TS 19139 XML document.  bathyra reads the few elements of it that a
nautical chart needs and returns them as S-57 attributes:

    >>> import bathyra
    >>> from bathyra.metadata_parser import extract_metadata
    >>> xml = b'''<?xml version="1.0" encoding="UTF-8"?>
    ... <gmi:MI_Metadata xmlns:gmi="http://www.isotc211.org/2005/gmi"
    ...     xmlns:gmd="http://www.isotc211.org/2005/gmd"
    ...     xmlns:gco="http://www.isotc211.org/2005/gco"
    ...     xmlns:gml="http://www.opengis.net/gml/3.2">
    ...   <gmd:identificationInfo><gmd:MD_DataIdentification>
    ...     <gmd:citation><gmd:CI_Citation><gmd:title>
    ...       <gco:CharacterString>H13045_MB_1m_MLLW.csar</gco:CharacterString>
    ...     </gmd:title></gmd:CI_Citation></gmd:citation>
    ...     <gmd:extent><gmd:EX_Extent>
    ...       <gmd:temporalElement><gmd:EX_TemporalExtent><gmd:extent>
    ...         <gml:TimePeriod gml:id="survey">
    ...           <gml:beginPosition>2019-03-14T00:00:00</gml:beginPosition>
    ...           <gml:endPosition>2019-03-20T00:00:00</gml:endPosition>
    ...         </gml:TimePeriod>
    ...       </gmd:extent></gmd:EX_TemporalExtent></gmd:temporalElement>
    ...       <gmd:verticalElement><gmd:EX_VerticalExtent>
    ...         <gmd:minimumValue><gco:Real>-35.2</gco:Real></gmd:minimumValue>
    ...         <gmd:maximumValue><gco:Real>-1.5</gco:Real></gmd:maximumValue>
    ...       </gmd:EX_VerticalExtent></gmd:verticalElement>
    ...     </gmd:EX_Extent></gmd:extent>
    ...   </gmd:MD_DataIdentification></gmd:identificationInfo>
    ...   <gmi:acquisitionInformation><gmi:MI_AcquisitionInformation>
    ...     <gmi:platform><gmi:MI_Platform><gmi:identifier><gmd:MD_Identifier>
    ...       <gmd:code>
    ...         <gco:CharacterString>Survey Vessel One</gco:CharacterString>
    ...       </gmd:code>
    ...     </gmd:MD_Identifier></gmi:identifier>
    ...     </gmi:MI_Platform></gmi:platform>
    ...   </gmi:MI_AcquisitionInformation></gmi:acquisitionInformation>
    ... </gmi:MI_Metadata>'''
    >>> extract_metadata(bathyra.Document("survey.xml", xml))
    {'SURSTA': '20190314', 'SUREND': '20190320', 'DRVAL1': 1.5,
     'DRVAL2': 35.2, 'planam': 'Survey Vessel One',
     'OBJNAM': 'H13045_MB_1m_MLLW'}

The record, always these six keys in this order:

    SURSTA, SUREND  survey start and end date: the date digits of the first
                    GML 3.2 gml:beginPosition and gml:endPosition
    DRVAL1, DRVAL2  the depth range: the first gco:Real under
                    gmd:minimumValue and under gmd:maximumValue of the
                    vertical extent, negated (elevations become depths),
                    the smaller first; both NaN when either value is NaN
    planam          the platform and instrument names: every
                    gco:CharacterString under gmi:acquisitionInformation,
                    joined by ","; empty ones and the placeholders
                    "Platform Name", "instrument unknown" and
                    "instrument type unknown" are left out
    OBJNAM          the dataset's name: the first gco:CharacterString under
                    a gmd:CI_Citation, without ".csar"; "VACIO" when there
                    is none or it is empty

A document that lacks one of the four extent elements, or holds a value
that cannot be read, raises the exception of the failing step (for a
missing element, AttributeError), with one traceback entry
``File "bathyra/metadata_parser", line N`` that names the step.  The type
stubs of ``bathyra.metadata_parser`` document every step and its line.

The parts of the package:

``bathyra.read_survey(path)``, ``bathyra.parse_survey(document)``
    The survey reader (``bathyra.survey``): every survey attribute that a
    metadata file, a BAG file or a document states, as a ``Survey``
    (immutable, picklable), with the problems that kept the others out;
    ``SurveyError`` for a file that cannot be read at all.
    ``read_surveys(path)`` and ``parse_surveys(document)`` give a list, a
    Survey per metadata record (a catalogue's response holds several).
    Loaded on first use.
``bathyra.metadata_parser``
    The extension module, written in C++: ``extract_metadata(raster)``
    reads the document from the attribute ``iso19139_xml`` (``str`` or
    ``bytes``) of any object.  Importing ``bathyra`` does not load it.
``bathyra.Document(path, iso19139_xml, bag_version=None)``
    One document and the file it came from, as ``extract_metadata`` and
    ``parse_survey`` take it; ``bathyra.document.read_document(path)``
    reads a metadata file into one.
``bathyra.bag``
    BAG files: ``bag.open(path)`` gives the Document of a BAG file; needs
    the HDF5 library (``bag.available()``).
``bathyra.BathyraError``
    The root of every exception raised for a file or document that
    bathyra refuses or cannot read: ``SurveyError``, ``BagError`` (with
    ``path`` and ``reason``), ``BagSupportMissing`` (``bathyra.errors``).
``bathyra.explain(exc, document=None)``
    What a failure of ``extract_metadata`` means for the document, in one
    line: no temporal extent at all, a GML 3.1 one, a document of another
    standard, a depth that is not a number...
``python -m bathyra PATH...`` (or the ``bathyra`` command)
    The command line: the survey attributes of every ``.xml`` or ``.bag``
    file, as a table, JSON lines, CSV or GeoJSON; ``--strict`` prints the
    record of ``extract_metadata`` instead.
``bathyra.catalog(paths, to)``, ``bathyra.query_catalog(catalogue)``
    The survey catalogue (``bathyra.survey_catalog``): the surveys of many
    files in a GeoPackage (or any OGR destination), brought up to date
    run after run, and queried by box, date, depth and authority;
    ``bathyra.export_stac(folder, catalogue)`` writes its STAC folder and
    ``bathyra.export_exchange(paths, "NAME.000")`` an S-57 exchange file
    of meta-objects.  Needs GDAL; loaded on first use.
``bathyra.__version__``
    The version of this package.
"""
from bathyra._version import __version__
from bathyra.document import Document
from bathyra.errors import (BagError, BagSupportMissing, BathyraError,
                            SurveyError)
from bathyra.explain import explain

__all__ = ["__version__", "explain", "read_survey", "read_surveys",
           "parse_survey", "parse_surveys", "Survey", "SurveyError", "BathyraError", "BagError", "BagSupportMissing",
           "Document", "catalog", "query_catalog", "export_stac",
           "export_exchange"]

# The survey reader is imported when first asked for: it loads the
# extension modules, and importing the package stays cheap and works from
# the sources alone.
_SURVEY_NAMES = ("read_survey", "read_surveys", "parse_survey",
                 "parse_surveys", "Survey")


# So is the survey catalogue, which loads GDAL.
_CATALOG_NAMES = ("catalog", "query_catalog", "export_stac",
                  "export_exchange")


def __getattr__(name):
    if name in _SURVEY_NAMES:
        from bathyra import survey
        return getattr(survey, name)
    if name in _CATALOG_NAMES:
        from bathyra import survey_catalog
        return getattr(survey_catalog, name)
    raise AttributeError("module 'bathyra' has no attribute %r" % name)


def __dir__():
    return sorted(set(globals()) | set(_SURVEY_NAMES) | set(_CATALOG_NAMES))
