// The table of string constants: every literal and identifier that the
// module uses after import exists once as a host str, made and hashed by
// the exec step of import and only read afterwards.
#pragma once

#include <cstring>

#include "host_compat.hpp"

namespace bathyra {

// The namespace names of XML_NS, also matched by the streaming reader.
constexpr char gmi_namespace[] = "http://www.isotc211.org/2005/gmi";
constexpr char gmd_namespace[] = "http://www.isotc211.org/2005/gmd";
constexpr char xsi_namespace[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr char gml_namespace[] = "http://www.opengis.net/gml/3.2";
constexpr char gco_namespace[] = "http://www.isotc211.org/2005/gco";
constexpr char xlink_namespace[] = "http://www.w3.org/1999/xlink";

// The placeholder texts that name no platform, also matched by the
// streaming reader.
constexpr char platform_name_placeholder[] = "Platform Name";
constexpr char instrument_placeholder[] = "instrument unknown";
constexpr char instrument_type_placeholder[] = "instrument type unknown";

// X(id, text, interned): strings with the form of an identifier or of a
// dotted module name are interned, the others are not.
// clang-format off
#define BATHYRA_STRING_TABLE(X)                                              \
    /* module globals and the import of the XML library */                  \
    X(ET, "ET", true)                                                        \
    X(XML_NS, "XML_NS", true)                                                \
    X(extract_metadata, "extract_metadata", true)                            \
    X(dunder_test, "__test__", true)                                         \
    X(xml, "xml", true)                                                      \
    X(etree, "etree", true)                                                  \
    X(ElementTree, "ElementTree", true)                                      \
    X(xml_etree_ElementTree, "xml.etree.ElementTree", true)                  \
    X(dunder_spec, "__spec__", true)                                         \
    X(_initializing, "_initializing", true)                                  \
    X(xml_etree_ElementPath, "xml.etree.ElementPath", true)                  \
    X(_namespace_map, "_namespace_map", true)                                \
    /* XML_NS keys and namespace names */                                    \
    X(gmi, "gmi", true)                                                      \
    X(gmd, "gmd", true)                                                      \
    X(xsi, "xsi", true)                                                      \
    X(gml, "gml", true)                                                      \
    X(gco, "gco", true)                                                      \
    X(xlink, "xlink", true)                                                  \
    X(ns_gmi, gmi_namespace, false)                                          \
    X(ns_gmd, gmd_namespace, false)                                          \
    X(ns_xsi, xsi_namespace, false)                                          \
    X(ns_gml, gml_namespace, false)                                          \
    X(ns_gco, gco_namespace, false)                                          \
    X(ns_xlink, xlink_namespace, false)                                      \
    /* function object and code object */                                    \
    X(module_name, "bathyra.metadata_parser", true)                          \
    X(file_name, "bathyra/metadata_parser", false)                           \
    X(raster, "raster", true)                                                \
    X(metadata_xml, "metadata_xml", true)                                    \
    X(prefix, "prefix", true)                                                \
    X(uri, "uri", true)                                                      \
    X(root, "root", true)                                                    \
    X(begin_position_tag, "begin_position_tag", true)                        \
    X(end_position_tag, "end_position_tag", true)                            \
    X(min_depth, "min_depth", true)                                          \
    X(max_depth, "max_depth", true)                                          \
    X(val1, "val1", true)                                                    \
    X(val2, "val2", true)                                                    \
    X(drval1, "drval1", true)                                                \
    X(drval2, "drval2", true)                                                \
    X(sursta, "sursta", true)                                                \
    X(surend, "surend", true)                                                \
    X(platform_text, "platform_text", true)                                  \
    X(platform_novalid, "platform_novalid", true)                            \
    X(platforms, "platforms", true)                                          \
    X(p, "p", true)                                                          \
    X(planam, "planam", true)                                                \
    X(objnam_tag, "objnam_tag", true)                                        \
    X(objnam, "objnam", true)                                                \
    /* extraction routine */                                                 \
    X(iso19139_xml, "iso19139_xml", true)                                    \
    X(items, "items", true)                                                  \
    X(register_namespace, "register_namespace", true)                        \
    X(fromstring, "fromstring", true)                                        \
    X(find, "find", true)                                                    \
    X(findall, "findall", true)                                              \
    X(text, "text", true)                                                    \
    X(replace, "replace", true)                                              \
    X(strip, "strip", true)                                                  \
    X(path_begin_position, ".//gml:beginPosition", false)                    \
    X(path_end_position, ".//gml:endPosition", false)                        \
    X(path_minimum_value, ".//gmd:minimumValue/gco:Real", false)             \
    X(path_maximum_value, ".//gmd:maximumValue/gco:Real", false)             \
    X(path_platforms,                                                        \
      ".//gmi:acquisitionInformation//gco:CharacterString", false)           \
    X(path_citation, ".//gmd:CI_Citation//gco:CharacterString", false)       \
    X(SURSTA, "SURSTA", true)                                                \
    X(SUREND, "SUREND", true)                                                \
    X(DRVAL1, "DRVAL1", true)                                                \
    X(DRVAL2, "DRVAL2", true)                                                \
    X(key_planam, "planam", true)                                            \
    X(OBJNAM, "OBJNAM", true)                                                \
    X(platform_name, platform_name_placeholder, false)                       \
    X(instrument_unknown, instrument_placeholder, false)                     \
    X(instrument_type_unknown, instrument_type_placeholder, false)           \
    X(VACIO, "VACIO", true)                                                  \
    X(comma, ",", false)                                                     \
    X(hyphen, "-", false)                                                    \
    X(csar_suffix, ".csar", false)                                           \
    X(empty, "", false)
// clang-format on

enum class Str : int {
#define BATHYRA_STRING_ENUM(id, text, interned) id,
    BATHYRA_STRING_TABLE(BATHYRA_STRING_ENUM)
#undef BATHYRA_STRING_ENUM
        count_
};

constexpr int string_count = static_cast<int>(Str::count_);

// The strs themselves are held in the module state (str() in
// module_state.hpp gives them).

// Whether two ready strs hold the same characters: length, character
// width and data.  Runs no host code.
inline bool same_characters(PyObject *a, PyObject *b)
{
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * kind) == 0;
}

// Makes every constant in table order and computes its hash; stops at the
// first failure with the host's exception pending.  Returns 0 or -1.
int make_string_constants();

}  // namespace bathyra
