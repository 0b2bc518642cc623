// Facts about coordinate reference systems, for the vertical and
// horizontal reference systems that a survey names: look-ups by code in
// PROJ's database (proj_lookup.cpp), and the reading of the texts that
// name them, references and WKT (crs_text.cpp).
//
// Plain C++ with no interpreter in it: the caller converts the results.
// Each thread that calls PROJ gets its own PROJ context (created on its
// first call, destroyed when the thread ends), with network access off and
// PROJ's logging silenced; the answers, misses included, are kept for the
// life of the process (up to the bounds below), so that a code or a text
// costs PROJ's work once.
// Any failure gives "not found", but for want of memory: std::bad_alloc
// reaches the caller, who must not take it for an answer.
//
// Built without PROJ (BATHYRA_HAVE_PROJ undefined), every look-up gives
// "not found" and proj_available() is false; texts are then read by hand,
// as they are with PROJ for the forms its parser refuses.
#pragma once

#include <cstddef>
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

// Whether `code` can be a code of the register: 1 to 10 decimal digits
// (the EPSG's have at most six).  The look-ups refuse any other code, and
// any authority but a short word, before PROJ sees them: "not found", as
// for an unknown code.
bool is_crs_code(const std::string &code);

// The bounds of each cache of answers (by code, by text), in entries and
// in bytes (of the texts and answers kept, and of their bookkeeping):
// past either, new answers are no longer kept, and a stream of distinct
// codes or texts costs PROJ's work each time, never memory for good.
constexpr std::size_t cache_entry_limit = 4096;
constexpr std::size_t cache_byte_limit = std::size_t(4) << 20;

// What a cache holds now, for tests.
struct CacheUsage {
    std::size_t entries = 0;
    std::size_t bytes = 0;
};
CacheUsage code_cache_usage();
CacheUsage text_cache_usage();

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

// Whether `text` (white space around it ignored) is the name of a CRS in
// PROJ's database, in any case ("WGS 84"); false without PROJ.
bool names_crs(const std::string &text);

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

// What a reference names, as read_crs_reference reads it.
struct CrsReference {
    enum class Kind { none, crs, datum };
    Kind kind = Kind::none;
    std::string authority;  // "EPSG"
    std::string code;       // decimal digits without leading zeros
};

// Reads `text` (white space around it ignored) as a reference to an EPSG
// CRS or datum.  With PROJ, its parser reads the forms it knows (EPSG:5715,
// urn:ogc:def:crs:EPSG::5715 and urn:ogc:def:crs:EPSG:6.6:5715, datum
// URNs, http://www.opengis.net/def/crs/EPSG/0/5715) when they name an
// object of its database; the other forms are read by hand:
// parse_crs_reference with `default_authority`, then find_crs_reference
// within the text.  `link` is an address that goes with the text (the
// xlink:href of an anchor), read the same way when the text names
// nothing.  A reference read by hand names a datum when the text or the
// link holds "def:datum".
CrsReference read_crs_reference(const std::string &text,
                                const std::string &default_authority,
                                const std::string &link = std::string());

// A vertical CRS as a WKT text gives it.
struct WktVertical {
    bool found = false;
    std::string name;        // "MLLW depth"
    std::string datum_name;  // "Mean Lower Low Water"
    // Up when the text gives no axis.
    AxisDirection direction = AxisDirection::unknown;
    double to_metres = 1.0;  // factor of the axis unit
};

// What a WKT text (WKT 1 or 2) says of its CRS.
struct WktFacts {
    bool found = false;  // the text is a WKT CRS with a name
    // The name of a horizontal CRS (geographic, projected, or any other
    // that is not vertical), or of the first component of a compound CRS;
    // empty for a vertical CRS.
    std::string horizontal;
    // A vertical CRS, or the vertical component of a compound one.
    WktVertical vertical;
};

// Reads `text` as WKT: with PROJ's parser; by hand without PROJ, for the
// texts it refuses (a WKT 1 VERT_CS without UNIT) and for those of the
// ESRI dialect, whose names PROJ replaces by its database's.  Read by
// hand, the name is the first quoted text (of a compound CRS, the first
// quoted text inside it, and its vertical component is not read), a
// vertical CRS is one whose keyword holds "VERT", its datum the name of
// VERT_DATUM or VDATUM, its axis down when the text holds ",down]" or ",
// down]", and its unit the metre.
WktFacts read_wkt(const std::string &text);

// Finds an EPSG reference inside a longer text: a register's address that
// holds a URN ("...?gml=urn:ogc:def:crs:EPSG::5715"), "EPSG:6.6:4326",
// ".../EPSG/0/5715", "epsg.xml#4326", "[EPSG: 6341]" (white space after a
// colon is passed over).  The code is the last number of the
// run of separators, versions and digits after "EPSG".  Sets `authority`
// and `code` as parse_crs_reference does.
bool find_crs_reference(const std::string &text, std::string &authority,
                        std::string &code);

// Transforms `count` points (x, y pairs in `xy`, in place) from `crs` (an
// EPSG code "EPSG:32619" or WKT) to longitude and latitude in degrees on
// WGS 84.  False, with `xy` unspecified, when PROJ is absent, does not
// know the CRS or cannot transform a point.
bool to_longitude_latitude(const std::string &crs, double *xy,
                           std::size_t count);

}  // namespace bathyra
