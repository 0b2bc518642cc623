// The field rules of the survey reader: which element of a metadata
// document gives which field.  One row per capture, read as a path:
//
//   ident       a data or service identification (see below)
//   **          any number of elements in between
//   gmd:title   an element, by prefix and local name; a prefix stands for
//               the namespaces listed in the prefix table (gml for GML 3.1
//               and 3.2, gco for the 2005 and the ISO 19115-3 ones)
//   text        the character string of the last element: gco:CharacterString
//               or gmx:Anchor
//   a|b         either element
//
// The capture is the character data of the path's last element, or the
// attribute named in the row.  The group is the element whose values
// belong together (one time period, one vertical extent, one party): the
// reader assembles a field from the captures of one group.
#pragma once

namespace bathyra {
namespace survey {

enum class Field : unsigned char {
    metadata_date,        // a date of the metadata itself: never a survey date
    title,                // the identification's citation title
    begin_position,       // a time period's start (or a time instant)
    end_position,         // a time period's end
    begin_indeterminate,  // indeterminatePosition of a start
    end_indeterminate,    // indeterminatePosition of an end
    instant,              // a time instant: start and end at once
    instant_indeterminate,
    minimum_value,  // the vertical extent
    maximum_value,
    vertical_crs_href,   // xlink:href of the vertical extent's CRS
    vertical_crs_title,  // xlink:title of it
    vertical_crs_code,   // an inline VerticalCRS's identifier
    vertical_crs_name,   // an inline VerticalCRS's name
    axis_direction,      // its axis: "up" or "down"
    axis_unit,           // its axis unit (uom)
    datum_name,          // its vertical datum's name
    vertical_crs_id,     // ISO 19115-3: the vertical extent's CRS code
    west,                // the geographic bounding box
    east,
    south,
    north,
    party_organisation,  // a responsible party of the identification
    party_role,
    reference_code,  // a reference system of the metadata
    reference_code_href,
    reference_code_space,
    reference_title,  // the title of the reference system's authority
    platform_code,    // gmi:MI_Platform
    platform_description,
    instrument_code,  // gmi:MI_Instrument
    instrument_description,
    instrument_type,
    crs_projection,  // a reference system given by its parts (smXML)
    crs_datum,
    crs_zone,
    grid_axis_name,  // a dimension of the grid (MD_Georectified)
    grid_axis_size,
    grid_axis_resolution,
    grid_corner_points,  // its corner points, as GML gives them
    uncertainty_type,    // what a BAG's vertical uncertainty measures
};

struct Rule {
    Field field;
    const char *path;
    const char *attribute;  // null: the character data
    int group;              // index of the group element in the path
};

// The identifications whose fields are read: data identifications first;
// a service identification only when there is none.
constexpr const char *data_identifications =
    "gmd:MD_DataIdentification|bag:BAG_DataIdentification|"
    "mri:MD_DataIdentification";
constexpr const char *service_identifications = "srv:SV_ServiceIdentification";

// The metadata record: the first one in the document is read (or every
// one, one after another, when all are asked for).
constexpr const char *metadata_roots =
    "gmd:MD_Metadata|gmi:MI_Metadata|mdb:MD_Metadata";

// Elements that stand in the place of a class: a profile's subtype of an
// ISO class names the class in its gco:isoType attribute (a string such as
// "gmd:MD_Metadata", with the prefixes below); and under these properties
// an element of any name stands for the class the property holds.
constexpr const char *iso_type_attribute =
    "http://www.isotc211.org/2005/gco}isoType";

struct ClassOfProperty {
    const char *property;
    const char *element;
};

constexpr ClassOfProperty classes_of_properties[] = {
    {"gmi:platform", "gmi:MI_Platform"},
    {"gmi:instrument", "gmi:MI_Instrument"},
};

// clang-format off
constexpr Rule rules[] = {
    // ISO 19139 (gmd, gmi) ------------------------------------------------
    {Field::metadata_date, "root/gmd:dateStamp/gco:DateTime|gco:Date", nullptr, 0},
    {Field::title, "ident/gmd:citation/gmd:CI_Citation/gmd:title/text", nullptr, 0},
    {Field::title, "ident/gmd:citation/gmd:CI_Citation/gmd:title/gmx:FileName", nullptr, 0},
    // Temporal extents, GML 3.1 and 3.2: periods wherever the
    // identification holds them (in valid documents, in its temporal
    // extents), and instants that stand for a whole extent.  Both standards
    // name them the same.
    {Field::begin_position, "ident/**/gml:TimePeriod/gml:beginPosition", nullptr, 2},
    {Field::begin_indeterminate, "ident/**/gml:TimePeriod/gml:beginPosition", "indeterminatePosition", 2},
    {Field::end_position, "ident/**/gml:TimePeriod/gml:endPosition", nullptr, 2},
    {Field::end_indeterminate, "ident/**/gml:TimePeriod/gml:endPosition", "indeterminatePosition", 2},
    {Field::begin_position, "ident/**/gml:TimePeriod/gml:begin/gml:TimeInstant/gml:timePosition", nullptr, 2},
    {Field::begin_indeterminate, "ident/**/gml:TimePeriod/gml:begin/gml:TimeInstant/gml:timePosition", "indeterminatePosition", 2},
    {Field::end_position, "ident/**/gml:TimePeriod/gml:end/gml:TimeInstant/gml:timePosition", nullptr, 2},
    {Field::end_indeterminate, "ident/**/gml:TimePeriod/gml:end/gml:TimeInstant/gml:timePosition", "indeterminatePosition", 2},
    {Field::instant, "ident/**/gmd:extent|gex:extent/gml:TimeInstant/gml:timePosition", nullptr, 3},
    {Field::instant_indeterminate, "ident/**/gmd:extent|gex:extent/gml:TimeInstant/gml:timePosition", "indeterminatePosition", 3},
    // The vertical extent and its CRS (by reference or inline).
    {Field::minimum_value, "ident/**/gmd:EX_VerticalExtent/gmd:minimumValue/gco:Real", nullptr, 2},
    {Field::maximum_value, "ident/**/gmd:EX_VerticalExtent/gmd:maximumValue/gco:Real", nullptr, 2},
    {Field::vertical_crs_href, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS", "http://www.w3.org/1999/xlink}href", 2},
    {Field::vertical_crs_title, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS", "http://www.w3.org/1999/xlink}title", 2},
    {Field::vertical_crs_code, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS/gml:VerticalCRS/gml:identifier", nullptr, 2},
    {Field::vertical_crs_name, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS/gml:VerticalCRS/gml:name", nullptr, 2},
    {Field::axis_direction, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS/gml:VerticalCRS/gml:verticalCS|gml:usesVerticalCS/gml:VerticalCS/gml:axis|gml:usesAxis/gml:CoordinateSystemAxis/gml:axisDirection", nullptr, 2},
    {Field::axis_unit, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS/gml:VerticalCRS/gml:verticalCS|gml:usesVerticalCS/gml:VerticalCS/gml:axis|gml:usesAxis/gml:CoordinateSystemAxis", "uom", 2},
    {Field::axis_unit, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS/gml:VerticalCRS/gml:verticalCS|gml:usesVerticalCS/gml:VerticalCS/gml:axis|gml:usesAxis/gml:CoordinateSystemAxis", "http://www.opengis.net/gml/3.2}uom", 2},
    {Field::datum_name, "ident/**/gmd:EX_VerticalExtent/gmd:verticalCRS/gml:VerticalCRS/gml:verticalDatum|gml:usesVerticalDatum/gml:VerticalDatum/gml:name", nullptr, 2},
    // The geographic bounding box.
    {Field::west, "ident/**/gmd:EX_GeographicBoundingBox/gmd:westBoundLongitude/gco:Decimal", nullptr, 2},
    {Field::east, "ident/**/gmd:EX_GeographicBoundingBox/gmd:eastBoundLongitude/gco:Decimal", nullptr, 2},
    {Field::south, "ident/**/gmd:EX_GeographicBoundingBox/gmd:southBoundLatitude/gco:Decimal", nullptr, 2},
    {Field::north, "ident/**/gmd:EX_GeographicBoundingBox/gmd:northBoundLatitude/gco:Decimal", nullptr, 2},
    // Responsible parties: the identification's points of contact and the
    // parties of its citation.  Contacts elsewhere (platform sponsors,
    // distributors, cited documents) are not read.
    {Field::party_organisation, "ident/gmd:pointOfContact/gmd:CI_ResponsibleParty/gmd:organisationName/text", nullptr, 2},
    {Field::party_role, "ident/gmd:pointOfContact/gmd:CI_ResponsibleParty/gmd:role/gmd:CI_RoleCode", "codeListValue", 2},
    {Field::party_organisation, "ident/gmd:citation/gmd:CI_Citation/gmd:citedResponsibleParty/gmd:CI_ResponsibleParty/gmd:organisationName/text", nullptr, 4},
    {Field::party_role, "ident/gmd:citation/gmd:CI_Citation/gmd:citedResponsibleParty/gmd:CI_ResponsibleParty/gmd:role/gmd:CI_RoleCode", "codeListValue", 4},
    // Reference systems of the metadata.
    {Field::reference_code, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:referenceSystemIdentifier/gmd:RS_Identifier/gmd:code/text", nullptr, 4},
    {Field::reference_code_href, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:referenceSystemIdentifier/gmd:RS_Identifier/gmd:code/gmx:Anchor", "http://www.w3.org/1999/xlink}href", 4},
    {Field::reference_code_space, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:referenceSystemIdentifier/gmd:RS_Identifier/gmd:codeSpace/text", nullptr, 4},
    {Field::reference_title, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:referenceSystemIdentifier/gmd:RS_Identifier/gmd:authority/gmd:CI_Citation/gmd:title/text", nullptr, 4},
    // A reference system given by its parts: only smXML documents hold
    // one (their MD_CRS, see smxml_names.hpp).
    {Field::crs_projection, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:projection/gmd:RS_Identifier/gmd:code/text", nullptr, 2},
    {Field::crs_datum, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:datum/gmd:RS_Identifier/gmd:code/text", nullptr, 2},
    {Field::crs_zone, "root/gmd:referenceSystemInfo/gmd:MD_ReferenceSystem/gmd:projectionParameters/gmd:MD_ProjectionParameters/gmd:zone/gco:Integer", nullptr, 2},
    // Platforms and instruments of the acquisition information; some
    // writers put the identifier's text (or a character string) directly
    // in gmi:identifier.
    {Field::platform_code, "root/**/gmi:MI_Platform/gmi:identifier", nullptr, 2},
    {Field::platform_code, "root/**/gmi:MI_Platform/gmi:identifier/text", nullptr, 2},
    {Field::platform_code, "root/**/gmi:MI_Platform/gmi:identifier/gmd:MD_Identifier|gmd:RS_Identifier/gmd:code/text", nullptr, 2},
    {Field::platform_description, "root/**/gmi:MI_Platform/gmi:description/text", nullptr, 2},
    {Field::instrument_code, "root/**/gmi:MI_Instrument/gmi:identifier", nullptr, 2},
    {Field::instrument_code, "root/**/gmi:MI_Instrument/gmi:identifier/text", nullptr, 2},
    {Field::instrument_code, "root/**/gmi:MI_Instrument/gmi:identifier/gmd:MD_Identifier|gmd:RS_Identifier/gmd:code/text", nullptr, 2},
    {Field::instrument_description, "root/**/gmi:MI_Instrument/gmi:description/text", nullptr, 2},
    {Field::instrument_type, "root/**/gmi:MI_Instrument/gmi:type/text", nullptr, 2},
    // The georectified grid: its dimensions (each its own group) and its
    // corner points (the grid's group).  smXML holds a resolution in a
    // Measure of its own.
    {Field::grid_axis_name, "root/gmd:spatialRepresentationInfo/gmd:MD_Georectified/gmd:axisDimensionProperties/gmd:MD_Dimension/gmd:dimensionName/gmd:MD_DimensionNameTypeCode", "codeListValue", 4},
    {Field::grid_axis_name, "root/gmd:spatialRepresentationInfo/gmd:MD_Georectified/gmd:axisDimensionProperties/gmd:MD_Dimension/gmd:dimensionName/gmd:MD_DimensionNameTypeCode", nullptr, 4},
    {Field::grid_axis_size, "root/gmd:spatialRepresentationInfo/gmd:MD_Georectified/gmd:axisDimensionProperties/gmd:MD_Dimension/gmd:dimensionSize/gco:Integer", nullptr, 4},
    {Field::grid_axis_resolution, "root/gmd:spatialRepresentationInfo/gmd:MD_Georectified/gmd:axisDimensionProperties/gmd:MD_Dimension/gmd:resolution/gco:Measure|gco:Length|gco:Distance", nullptr, 4},
    {Field::grid_axis_resolution, "root/gmd:spatialRepresentationInfo/gmd:MD_Georectified/gmd:axisDimensionProperties/gmd:MD_Dimension/gmd:resolution/gmd:Measure/gmd:value", nullptr, 4},
    {Field::grid_corner_points, "root/gmd:spatialRepresentationInfo/gmd:MD_Georectified/gmd:cornerPoints/gml:Point/gml:coordinates|gml:pos", nullptr, 2},
    {Field::uncertainty_type, "ident/bag:verticalUncertaintyType/bag:BAG_VertUncertCode", "codeListValue", 0},
    {Field::uncertainty_type, "ident/bag:verticalUncertaintyType/bag:BAG_VertUncertCode", nullptr, 0},

    // ISO 19115-3 (mdb, mri, cit, gex, mrs, mcc, mac): the same fields
    // where its elements map one to one ----------------------------------
    {Field::metadata_date, "root/mdb:dateInfo/cit:CI_Date/cit:date/gco:DateTime|gco:Date", nullptr, 0},
    {Field::title, "ident/mri:citation/cit:CI_Citation/cit:title/text", nullptr, 0},
    {Field::title, "ident/mri:citation/cit:CI_Citation/cit:title/gcx:FileName", nullptr, 0},
    {Field::minimum_value, "ident/**/gex:EX_VerticalExtent/gex:minimumValue/gco:Real", nullptr, 2},
    {Field::maximum_value, "ident/**/gex:EX_VerticalExtent/gex:maximumValue/gco:Real", nullptr, 2},
    {Field::vertical_crs_href, "ident/**/gex:EX_VerticalExtent/gex:verticalCRS", "http://www.w3.org/1999/xlink}href", 2},
    {Field::vertical_crs_id, "ident/**/gex:EX_VerticalExtent/gex:verticalCRSId/mrs:MD_ReferenceSystem/mrs:referenceSystemIdentifier/mcc:MD_Identifier/mcc:code/text", nullptr, 2},
    {Field::west, "ident/**/gex:EX_GeographicBoundingBox/gex:westBoundLongitude/gco:Decimal", nullptr, 2},
    {Field::east, "ident/**/gex:EX_GeographicBoundingBox/gex:eastBoundLongitude/gco:Decimal", nullptr, 2},
    {Field::south, "ident/**/gex:EX_GeographicBoundingBox/gex:southBoundLatitude/gco:Decimal", nullptr, 2},
    {Field::north, "ident/**/gex:EX_GeographicBoundingBox/gex:northBoundLatitude/gco:Decimal", nullptr, 2},
    {Field::party_organisation, "ident/mri:pointOfContact/cit:CI_Responsibility/cit:party/cit:CI_Organisation/cit:name/text", nullptr, 2},
    {Field::party_role, "ident/mri:pointOfContact/cit:CI_Responsibility/cit:role/cit:CI_RoleCode", "codeListValue", 2},
    {Field::party_organisation, "ident/mri:citation/cit:CI_Citation/cit:citedResponsibleParty/cit:CI_Responsibility/cit:party/cit:CI_Organisation/cit:name/text", nullptr, 4},
    {Field::party_role, "ident/mri:citation/cit:CI_Citation/cit:citedResponsibleParty/cit:CI_Responsibility/cit:role/cit:CI_RoleCode", "codeListValue", 4},
    {Field::reference_code, "root/mdb:referenceSystemInfo/mrs:MD_ReferenceSystem/mrs:referenceSystemIdentifier/mcc:MD_Identifier/mcc:code/text", nullptr, 4},
    {Field::reference_code_space, "root/mdb:referenceSystemInfo/mrs:MD_ReferenceSystem/mrs:referenceSystemIdentifier/mcc:MD_Identifier/mcc:codeSpace/text", nullptr, 4},
    {Field::platform_code, "root/**/mac:MI_Platform/mac:identifier/mcc:MD_Identifier/mcc:code/text", nullptr, 2},
    {Field::platform_description, "root/**/mac:MI_Platform/mac:description/text", nullptr, 2},
    {Field::instrument_code, "root/**/mac:MI_Instrument/mac:identifier/mcc:MD_Identifier/mcc:code/text", nullptr, 2},
    {Field::instrument_description, "root/**/mac:MI_Instrument/mac:description/text", nullptr, 2},
    {Field::instrument_type, "root/**/mac:MI_Instrument/mac:type/text", nullptr, 2},
};
// clang-format on

// What the prefixes of the rules stand for: exact namespace names, or, for
// those ending in "/", every name that begins so (the ISO 19115-3
// namespaces carry their version at the end).
struct Prefix {
    const char *prefix;
    const char *namespaces[3];
};

constexpr Prefix prefixes[] = {
    {"gmd", {"http://www.isotc211.org/2005/gmd"}},
    {"gmi", {"http://www.isotc211.org/2005/gmi"}},
    {"gco",
     {"http://www.isotc211.org/2005/gco",
      "http://standards.iso.org/iso/19115/-3/gco/"}},
    {"gmx", {"http://www.isotc211.org/2005/gmx"}},
    {"srv",
     {"http://www.isotc211.org/2005/srv",
      "http://standards.iso.org/iso/19115/-3/srv/"}},
    {"bag", {"http://www.opennavsurf.org/schema/bag"}},
    {"gml", {"http://www.opengis.net/gml/3.2", "http://www.opengis.net/gml"}},
    {"gcx", {"http://standards.iso.org/iso/19115/-3/gcx/"}},
    {"mdb", {"http://standards.iso.org/iso/19115/-3/mdb/"}},
    {"mri", {"http://standards.iso.org/iso/19115/-3/mri/"}},
    {"cit", {"http://standards.iso.org/iso/19115/-3/cit/"}},
    {"gex", {"http://standards.iso.org/iso/19115/-3/gex/"}},
    {"mcc", {"http://standards.iso.org/iso/19115/-3/mcc/"}},
    {"mrs", {"http://standards.iso.org/iso/19115/-3/mrs/"}},
    {"mac", {"http://standards.iso.org/iso/19115/-3/mac/"}},
};

// "text" in a rule: the elements that hold a character string.
constexpr const char *text_elements =
    "gco:CharacterString|gmx:Anchor|gcx:Anchor";

}  // namespace survey
}  // namespace bathyra
