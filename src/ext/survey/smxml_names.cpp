// The mapping of smXML element names onto the ISO 19139 names of the
// field rules (see smxml_names.hpp).
#include "smxml_names.hpp"

namespace bathyra {
namespace survey {
namespace smxml {

namespace {

// The smXML elements whose ISO 19139 element has another name, or another
// namespace than gmd.
struct Renamed {
    std::string_view smxml;
    const char *iso;
};

constexpr Renamed renamed[] = {
    {"BAG_DataIdentification", "bag:BAG_DataIdentification"},
    // A reference system described by its parts (projection, zone, datum:
    // the horizontal reference); its vertical datum is read as a
    // reference system of its own (a datum named in words, as ISO 19139
    // documents name one).
    {"MD_CRS", "gmd:MD_ReferenceSystem"},
    {"verticalDatum", "gmd:referenceSystemIdentifier"},
    {"verticalUncertaintyType", "bag:verticalUncertaintyType"},
};

// The properties that hold a value as their text, and the ISO 19139
// element that holds it there.
struct Valued {
    std::string_view smxml;
    const char *value;
};

constexpr const char *character_string = "gco:CharacterString";

constexpr Valued valued[] = {
    {"title", character_string},
    {"organisationName", character_string},
    {"code", character_string},
    {"codeSpace", character_string},
    {"role", "gmd:CI_RoleCode"},
    {"zone", "gco:Integer"},
    {"dateStamp", "gco:Date"},
    {"westBoundLongitude", "gco:Decimal"},
    {"eastBoundLongitude", "gco:Decimal"},
    {"southBoundLatitude", "gco:Decimal"},
    {"northBoundLatitude", "gco:Decimal"},
    {"minimumValue", "gco:Real"},
    {"maximumValue", "gco:Real"},
    {"dimensionName", "gmd:MD_DimensionNameTypeCode"},
    {"dimensionSize", "gco:Integer"},
    {"verticalUncertaintyType", "bag:BAG_VertUncertCode"},
};

std::string_view local_name(std::string_view name)
{
    const size_t separator = name.rfind('}');
    return separator == std::string_view::npos ? name
                                               : name.substr(separator + 1);
}

}  // namespace

bool is_smxml_element(std::string_view name)
{
    const size_t separator = name.rfind('}');
    return separator == std::string_view::npos ||
           name.substr(0, separator) == namespace_name;
}

IsoNames iso_names(std::string_view name)
{
    const std::string_view local = local_name(name);
    IsoNames names{std::string(), ""};
    for (const Renamed &entry : renamed)
        if (entry.smxml == local)
            names.element = entry.iso;
    if (names.element.empty()) {
        names.element = "gmd:";
        names.element.append(local.data(), local.size());
    }
    for (const Valued &entry : valued)
        if (entry.smxml == local)
            names.value = entry.value;
    return names;
}

}  // namespace smxml
}  // namespace survey
}  // namespace bathyra
