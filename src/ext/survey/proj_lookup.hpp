// Facts about coordinate reference systems from PROJ's database, for the
// vertical and horizontal reference systems that a survey names by code.
//
// Plain C++ with no interpreter in it: the caller converts the results.
// Each thread that looks a code up gets its own PROJ context (created on
// its first look-up, destroyed when the thread ends), with network access
// off and PROJ's logging silenced; the answers, misses included, are kept
// for the life of the process, so that a code costs one database query.
// Nothing here throws: any failure gives "not found".
//
// Built without PROJ (BATHYRA_HAVE_PROJ undefined), every look-up gives
// "not found" and proj_available() is false; the parsing of references
// needs no PROJ and works the same.
#pragma once

#include <string>

namespace bathyra {

enum class AxisDirection { unknown, up, down };

struct VerticalCrsFacts {
    // The code names a vertical CRS, or a compound CRS with a vertical
    // component, which the other fields then describe.
    bool found = false;
    std::string name;  // "MSL depth"
    // Of the one axis: up for heights, down for depths.
    AxisDirection direction = AxisDirection::unknown;
    double to_metres = 1.0;  // factor of the axis unit: 0.3048 for a foot
    std::string unit_name;   // "metre"
    std::string datum_name;  // "Mean Sea Level"
};

struct HorizontalCrsFacts {
    // The code names a geographic (2D or 3D) or projected CRS, or a
    // compound CRS with such a component, whose name is then given.
    bool found = false;
    std::string name;  // "WGS 84"
};

// False when built without PROJ.
bool proj_available();

// The facts about authority:code (such as "EPSG", "5715").  The authority
// is matched without regard to case.
VerticalCrsFacts vertical_crs(const std::string &authority,
                              const std::string &code);
HorizontalCrsFacts horizontal_crs(const std::string &authority,
                                  const std::string &code);
// The name of the vertical datum authority:code ("Mean Sea Level" for
// EPSG 5100), or empty when the code names none.
std::string vertical_datum(const std::string &authority,
                           const std::string &code);

// Reads a reference to a CRS, surrounding white space ignored:
//   EPSG:5715  EPSG::5715
//   urn:ogc:def:crs:EPSG::5715  urn:ogc:def:crs:EPSG:6.6:5715 (the version
//   is ignored; also urn:x-ogc:...)
//   http://www.opengis.net/def/crs/EPSG/0/5715 (or https)
//   http://www.opengis.net/gml/srs/epsg.xml#5715
// The authority is EPSG, in any case; the code is decimal digits.  On
// success sets `authority` to "EPSG" and `code` to the digits without
// leading zeros, and returns true; otherwise leaves both alone.
bool parse_crs_reference(const std::string &text, std::string &authority,
                         std::string &code);
// The same, and a bare code ("5715") is also read, as one of
// `default_authority` (upper-cased); an empty default accepts none.
bool parse_crs_reference(const std::string &text,
                         const std::string &default_authority,
                         std::string &authority, std::string &code);

// Finds an EPSG reference inside a longer text: a register's address that
// holds a URN ("...?gml=urn:ogc:def:crs:EPSG::5715"), "EPSG:6.6:4326",
// ".../EPSG/0/5715", "epsg.xml#4326".  The code is the last number of the
// run of separators, versions and digits after "EPSG".  Sets `authority`
// and `code` as parse_crs_reference does.
bool find_crs_reference(const std::string &text, std::string &authority,
                        std::string &code);

}  // namespace bathyra
