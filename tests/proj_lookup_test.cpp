// Checks of the PROJ look-ups and of the reading of CRS texts (references
// and WKT).
// Exits 0 when every check passes, 1 on a failure, and 77 (skipped) when
// built without PROJ, after the checks that need no PROJ.
#include "proj_lookup.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void check(bool condition, const std::string &what)
{
    if (!condition) {
        ++failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

const char *direction_name(bathyra::AxisDirection direction)
{
    switch (direction) {
    case bathyra::AxisDirection::up:
        return "up";
    case bathyra::AxisDirection::down:
        return "down";
    default:
        return "unknown";
    }
}

void check_parse(const std::string &text, const char *default_authority,
                 const char *authority, const char *code)
{
    std::string got_authority = "unset";
    std::string got_code = "unset";
    bool ok = default_authority == nullptr
                  ? bathyra::parse_crs_reference(text, got_authority, got_code)
                  : bathyra::parse_crs_reference(text, default_authority,
                                                 got_authority, got_code);
    if (authority == nullptr) {
        check(!ok && got_authority == "unset" && got_code == "unset",
              "'" + text + "' is refused, outputs untouched");
    } else {
        check(ok && got_authority == authority && got_code == code,
              "'" + text + "' reads as " + authority + ":" + code + " (got " +
                  (ok ? got_authority + ":" + got_code
                      : std::string("refused")) +
                  ")");
    }
}

void parse_checks()
{
    check_parse("EPSG:5715", nullptr, "EPSG", "5715");
    check_parse("EPSG::5715", nullptr, "EPSG", "5715");
    check_parse("  epsg:5715\n", nullptr, "EPSG", "5715");
    check_parse("urn:ogc:def:crs:EPSG::5866", nullptr, "EPSG", "5866");
    check_parse("urn:ogc:def:crs:EPSG:6.6:4326", nullptr, "EPSG", "4326");
    check_parse("URN:OGC:DEF:CRS:epsg::4326", nullptr, "EPSG", "4326");
    check_parse("urn:x-ogc:def:crs:EPSG:6.18:4326", nullptr, "EPSG", "4326");
    check_parse("http://www.opengis.net/def/crs/EPSG/0/5715", nullptr, "EPSG",
                "5715");
    check_parse("https://www.opengis.net/def/crs/EPSG/0/5715", nullptr, "EPSG",
                "5715");
    check_parse("http://www.opengis.net/gml/srs/epsg.xml#4326", nullptr,
                "EPSG", "4326");
    check_parse("EPSG:05715", nullptr, "EPSG", "5715");
    check_parse("5715", nullptr, nullptr, nullptr);
    check_parse("5715", "EPSG", "EPSG", "5715");
    check_parse(" 5715 ", "epsg", "EPSG", "5715");
    check_parse("EPSG:5715", "EPSG", "EPSG", "5715");

    const char *junk[] = {"",
                          "   ",
                          "EPSG:",
                          "EPSG::",
                          "EPSG:0",
                          "EPSG:57 15",
                          "EPSG:5715x",
                          "EPSG:-5715",
                          "EPSG:::5715",
                          "foo:123",
                          "urn:ogc:def:crs:EPSG::abc",
                          "urn:ogc:def:crs:EPSG:5715",
                          "urn:ogc:def:crs:OGC:1.3:CRS84",
                          "http://www.opengis.net/def/crs/EPSG/0/",
                          "http://www.opengis.net/def/crs/EPSG/0/5715/x",
                          "http://example.org/def/crs/EPSG/0/5715",
                          "http://www.opengis.net/gml/srs/epsg.xml#"};
    for (const char *text : junk) {
        check_parse(text, nullptr, nullptr, nullptr);
        check_parse(text, "EPSG", nullptr, nullptr);
    }
}

using Kind = bathyra::CrsReference::Kind;

const char *kind_name(Kind kind)
{
    switch (kind) {
    case Kind::crs:
        return "crs";
    case Kind::datum:
        return "datum";
    default:
        return "none";
    }
}

void check_reference(const std::string &text, const char *default_authority,
                     const std::string &link, Kind kind, const char *code)
{
    // Twice: the second answer comes from the cache of texts.
    for (int round = 0; round < 2; ++round) {
        bathyra::CrsReference got =
            bathyra::read_crs_reference(text, default_authority, link);
        const bool ok = got.kind == kind &&
                        (kind == Kind::none ||
                         (got.authority == "EPSG" && got.code == code));
        check(ok, "'" + text + "' (link '" + link + "') reads as " +
                      kind_name(kind) + " " + (code ? code : "") + " (got " +
                      kind_name(got.kind) + " " + got.authority + ":" +
                      got.code + ")");
    }
}

// `vertical` null: no vertical CRS.
void check_wkt(const std::string &text, const char *horizontal,
               const char *vertical, const char *datum,
               bathyra::AxisDirection direction, double to_metres)
{
    const std::string label = "WKT '" + text.substr(0, 40) + "...'";
    for (int round = 0; round < 2; ++round) {
        bathyra::WktFacts got = bathyra::read_wkt(text);
        check(got.found == (horizontal != nullptr || vertical != nullptr),
              label + " is read");
        check(got.horizontal == (horizontal ? horizontal : ""),
              label + " has the horizontal CRS '" +
                  (horizontal ? horizontal : "") + "' (got '" +
                  got.horizontal + "')");
        check(got.vertical.found == (vertical != nullptr),
              label + (vertical ? " has" : " has no") + " vertical CRS");
        if (!vertical || !got.vertical.found)
            continue;
        check(got.vertical.name == vertical, label + " vertical CRS is '" +
                                                 vertical + "' (got '" +
                                                 got.vertical.name + "')");
        check(got.vertical.datum_name == datum,
              label + " datum is '" + datum + "' (got '" +
                  got.vertical.datum_name + "')");
        check(got.vertical.direction == direction,
              label + " points " + direction_name(direction) + " (got " +
                  direction_name(got.vertical.direction) + ")");
        check(std::fabs(got.vertical.to_metres - to_metres) < 1e-12,
              label + " unit is " + std::to_string(to_metres) + " m (got " +
                  std::to_string(got.vertical.to_metres) + ")");
    }
}

// The forms read by hand, with PROJ (which refuses them) or without it.
void hand_reading_checks()
{
    using bathyra::AxisDirection;
    check_reference("EPSG::5715", "", "", Kind::crs, "5715");
    check_reference(" 5715 ", "EPSG", "", Kind::crs, "5715");
    check_reference("5715", "", "", Kind::none, nullptr);
    check_reference("http://www.epsg-registry.org/export.htm?gml=urn:ogc:"
                    "def:crs:EPSG::4326",
                    "", "", Kind::crs, "4326");
    check_reference("http://www.epsg-registry.org/export.htm?gml=urn:ogc:"
                    "def:datum:EPSG::5103",
                    "", "", Kind::datum, "5103");
    // A text that names nothing, and the link of its anchor.
    check_reference("NAVD88", "", "urn:ogc:def:datum:EPSG::5103", Kind::datum,
                    "5103");
    check_reference("NAVD88", "", "", Kind::none, nullptr);
    check_reference("", "EPSG", "", Kind::none, nullptr);
    // A WKT 1 VERT_CS without UNIT, which PROJ refuses.
    check_wkt("VERT_CS[\"MLLW\", VERT_DATUM[\"MLLW\", 2000]]", nullptr, "MLLW",
              "MLLW", AxisDirection::up, 1.0);
    check_wkt("VERT_CS[\"Alicante height\",\n    VERT_DATUM[\" Alicante "
              "\",2000]]",
              nullptr, "Alicante height", "Alicante", AxisDirection::up, 1.0);
    // ESRI's WKT: the names as written (PROJ would give its own).
    check_wkt("VERTCS[\"NAVD_1988\",VDATUM[\"North_American_Vertical_Datum_"
              "1988\"],PARAMETER[\"Vertical_Shift\",0.0],PARAMETER["
              "\"Direction\",1.0],UNIT[\"Meter\",1.0]]",
              nullptr, "NAVD_1988", "North_American_Vertical_Datum_1988",
              AxisDirection::up, 1.0);
    check_wkt("PROJCS[\"WGS_1984_UTM_Zone_10N\",GEOGCS[\"GCS_WGS_1984\","
              "DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,"
              "298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\","
              "0.0174532925199433]],PROJECTION[\"Transverse_Mercator\"],"
              "PARAMETER[\"False_Easting\",500000.0],PARAMETER[\"False_"
              "Northing\",0.0],PARAMETER[\"Central_Meridian\",-123.0],"
              "PARAMETER[\"Scale_Factor\",0.9996],PARAMETER[\"Latitude_Of_"
              "Origin\",0.0],UNIT[\"Meter\",1.0]]",
              "WGS_1984_UTM_Zone_10N", nullptr, "", AxisDirection::unknown,
              1.0);
    check_wkt("not WKT", nullptr, nullptr, "", AxisDirection::unknown, 1.0);
    check_wkt("MHHW", nullptr, nullptr, "", AxisDirection::unknown, 1.0);
}

const char compound_wkt[] =
    "COMPD_CS[\"NAD83 + MLLW\",PROJCS[\"NAD83 / UTM zone 10N\",GEOGCS["
    "\"NAD83\",DATUM[\"North_American_Datum_1983\",SPHEROID[\"GRS 1980\","
    "6378137,298.257222101]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\","
    "0.0174532925199433]],PROJECTION[\"Transverse_Mercator\"],PARAMETER["
    "\"latitude_of_origin\",0],PARAMETER[\"central_meridian\",-123],"
    "PARAMETER[\"scale_factor\",0.9996],PARAMETER[\"false_easting\","
    "500000],PARAMETER[\"false_northing\",0],UNIT[\"metre\",1]],VERT_CS["
    "\"MLLW depth\",VERT_DATUM[\"Mean Lower Low Water\",2005],UNIT["
    "\"metre\",1],AXIS[\"Depth\",DOWN]]]";

// What PROJ's parser reads.
void proj_parsing_checks()
{
    using bathyra::AxisDirection;
    check_reference("EPSG:5715", "", "", Kind::crs, "5715");
    check_reference("epsg:05715", "", "", Kind::crs, "5715");
    check_reference("urn:ogc:def:crs:EPSG::5715", "", "", Kind::crs, "5715");
    check_reference("urn:ogc:def:crs:EPSG:6.6:5715", "", "", Kind::crs,
                    "5715");
    check_reference("http://www.opengis.net/def/crs/EPSG/0/5715", "", "",
                    Kind::crs, "5715");
    check_reference("urn:ogc:def:datum:EPSG::5103", "", "", Kind::datum,
                    "5103");
    check_reference("urn:ogc:def:crs:EPSG::9705", "", "", Kind::crs, "9705");
    // Not EPSG's: no reference here.
    check_reference("ESRI:102100", "", "", Kind::none, nullptr);
    check_reference("urn:ogc:def:crs:OGC:1.3:CRS84", "", "", Kind::none,
                    nullptr);
    // PROJ finds names in its database; a name is no reference.
    check_reference("WGS 84", "", "", Kind::none, nullptr);
    check_reference("MHHW", "", "", Kind::none, nullptr);
    // A compound of two codes is no one object: read by hand, its first
    // code.
    check_reference("EPSG:4326+5773", "", "", Kind::crs, "4326");
    // A CRS written out is no reference, whatever its identifier.
    check_reference("GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID["
                    "\"WGS 84\",6378137,298.257223563]],PRIMEM[\"Greenwich\""
                    ",0],UNIT[\"degree\",0.0174532925199433],AUTHORITY["
                    "\"EPSG\",\"4326\"]]",
                    "", "", Kind::none, nullptr);

    check_wkt("VERT_CS[\"MSL depth\",VERT_DATUM[\"Mean Sea Level\",2005],"
              "UNIT[\"metre\",1],AXIS[\"Depth\",DOWN]]",
              nullptr, "MSL depth", "Mean Sea Level", AxisDirection::down,
              1.0);
    // WKT 2, the unit inside the axis.
    check_wkt("VERTCRS[\"MSL depth\",VDATUM[\"Mean Sea Level\"],CS["
              "vertical,1],AXIS[\"depth (D)\",down,LENGTHUNIT[\"metre\","
              "1]],ID[\"EPSG\",5715]]",
              nullptr, "MSL depth", "Mean Sea Level", AxisDirection::down,
              1.0);
    check_wkt("VERT_CS[\"NAVD88 height (ft)\",VERT_DATUM[\"North American "
              "Vertical Datum 1988\",2005],UNIT[\"foot\",0.3048],AXIS["
              "\"Gravity-related height\",UP]]",
              nullptr, "NAVD88 height (ft)",
              "North American Vertical Datum 1988", AxisDirection::up, 0.3048);
    check_wkt(compound_wkt, "NAD83 / UTM zone 10N", "MLLW depth",
              "Mean Lower Low Water", AxisDirection::down, 1.0);
    // WKT 1 with TOWGS84 is a bound CRS: read as its source.
    check_wkt("GEOGCS[\"NAD83\",DATUM[\"North_American_Datum_1983\","
              "SPHEROID[\"GRS 1980\",6378137,298.257222101],TOWGS84[0,0,0,0,"
              "0,0,0]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\","
              "0.0174532925199433]]",
              "NAD83", nullptr, "", AxisDirection::unknown, 1.0);
    check_wkt("BOUNDCRS[SOURCECRS[VERTCRS[\"MLLW\",VDATUM[\"MLLW\"],CS["
              "vertical,1],AXIS[\"depth (D)\",down],LENGTHUNIT[\"metre\",1]"
              "]],TARGETCRS[VERTCRS[\"MSL\",VDATUM[\"MSL\"],CS[vertical,1],"
              "AXIS[\"depth (D)\",down],LENGTHUNIT[\"metre\",1]]],"
              "ABRIDGEDTRANSFORMATION[\"x\",METHOD[\"Vertical Offset\","
              "ID[\"EPSG\",9616]],PARAMETER[\"Vertical Offset\",1,"
              "LENGTHUNIT[\"metre\",1]]]]",
              nullptr, "MLLW", "MLLW", AxisDirection::down, 1.0);
    // A quote doubled inside a name.
    check_wkt("VERTCRS[\"My \"\"quoted\"\" CRS\",VDATUM[\"MLLW\"],CS["
              "vertical,1],AXIS[\"depth (D)\",down,LENGTHUNIT[\"metre\","
              "1]]]",
              nullptr, "My \"quoted\" CRS", "MLLW", AxisDirection::down, 1.0);
}

// Four threads read the same new texts at once, each on its own PROJ
// context, all on the one cache of texts.
void concurrent_text_checks()
{
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int round = 0; round < 20; ++round) {
                const std::string code = std::to_string(5700 + round % 20);
                bathyra::CrsReference got = bathyra::read_crs_reference(
                    "urn:ogc:def:crs:EPSG::" + code, "", "");
                bathyra::WktFacts wkt = bathyra::read_wkt(compound_wkt);
                if (got.code != code ||
                    wkt.vertical.direction != bathyra::AxisDirection::down)
                    ++mismatches[t];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t)
        check(mismatches[t] == 0, "texts, thread " + std::to_string(t) + ": " +
                                      std::to_string(mismatches[t]) +
                                      " wrong answers");
}

struct Expected {
    const char *code;
    const char *name;
    bathyra::AxisDirection direction;
};

const Expected vertical_codes[] = {
    {"5715", "MSL depth", bathyra::AxisDirection::down},
    {"5714", "MSL height", bathyra::AxisDirection::up},
    {"5866", "MLLW depth", bathyra::AxisDirection::down},
    {"5703", "NAVD88 height", bathyra::AxisDirection::up},
    {"6360", "NAVD88 height (ftUS)", bathyra::AxisDirection::up},
    {"3855", "EGM2008 height", bathyra::AxisDirection::up},
    {"9705", "MSL height", bathyra::AxisDirection::up},
};

// Four threads look the same codes up, in different orders, while none is
// known yet: each thread on its own PROJ context, all on the one cache.
void concurrent_checks()
{
    constexpr int thread_count = 4;
    constexpr int rounds = 20;
    constexpr int code_count =
        sizeof(vertical_codes) / sizeof(vertical_codes[0]);
    std::vector<int> mismatches(thread_count, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int round = 0; round < rounds; ++round) {
                for (int i = 0; i < code_count; ++i) {
                    const Expected &want =
                        vertical_codes[(i + t * 2) % code_count];
                    bathyra::VerticalCrsFacts got =
                        bathyra::vertical_crs("EPSG", want.code);
                    if (!got.found || got.name != want.name ||
                        got.direction != want.direction)
                        ++mismatches[t];
                    if (bathyra::horizontal_crs("EPSG", want.code).found !=
                        (std::string(want.code) == "9705"))
                        ++mismatches[t];
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < thread_count; ++t)
        check(mismatches[t] == 0, "thread " + std::to_string(t) + ": " +
                                      std::to_string(mismatches[t]) +
                                      " wrong answers");
}

void check_vertical(const char *code, const char *name,
                    bathyra::AxisDirection direction, double to_metres,
                    const char *unit_name, const char *datum_part)
{
    bathyra::VerticalCrsFacts got = bathyra::vertical_crs("EPSG", code);
    std::string label = std::string("EPSG:") + code;
    check(got.found, label + " is found");
    check(got.name == name,
          label + " is named '" + name + "' (got '" + got.name + "')");
    check(got.direction == direction,
          label + " points " + direction_name(direction) + " (got " +
              direction_name(got.direction) + ")");
    check(std::fabs(got.to_metres - to_metres) < 1e-12,
          label + " unit is " + std::to_string(to_metres) + " m (got " +
              std::to_string(got.to_metres) + ")");
    check(got.unit_name == unit_name, label + " unit is '" + unit_name +
                                          "' (got '" + got.unit_name + "')");
    check(got.datum_name.find(datum_part) != std::string::npos,
          label + " datum contains '" + datum_part + "' (got '" +
              got.datum_name + "')");
}

void check_horizontal(const char *code, const char *name)
{
    bathyra::HorizontalCrsFacts got = bathyra::horizontal_crs("EPSG", code);
    std::string label = std::string("EPSG:") + code;
    check(got.found && got.name == name,
          label + " is named '" + name + "' (got '" + got.name + "')");
}

void lookup_checks()
{
    using bathyra::AxisDirection;
    check_vertical("5715", "MSL depth", AxisDirection::down, 1.0, "metre",
                   "Mean Sea Level");
    check(bathyra::vertical_crs("EPSG", "5715").datum_name == "Mean Sea Level",
          "EPSG:5715 datum is exactly 'Mean Sea Level'");
    check_vertical("5714", "MSL height", AxisDirection::up, 1.0, "metre",
                   "Mean Sea Level");
    check_vertical("5866", "MLLW depth", AxisDirection::down, 1.0, "metre",
                   "Mean Lower Low Water");
    check_vertical("6360", "NAVD88 height (ftUS)", AxisDirection::up,
                   0.3048006096012192, "US survey foot",
                   "North American Vertical Datum 1988");
    // A compound CRS: the vertical and the horizontal component.
    check_vertical("9705", "MSL height", AxisDirection::up, 1.0, "metre",
                   "Mean Sea Level");
    check_horizontal("9705", "WGS 84");
    // The authority in any case.
    check(bathyra::vertical_crs("epsg", "5715").name == "MSL depth",
          "authority 'epsg' is EPSG");

    check_horizontal("4326", "WGS 84");
    check_horizontal("32618", "WGS 84 / UTM zone 18N");

    // A CRS of the other kind is not found.
    check(!bathyra::vertical_crs("EPSG", "4326").found,
          "EPSG:4326 is not vertical");
    check(!bathyra::horizontal_crs("EPSG", "5715").found,
          "EPSG:5715 is not horizontal");
    // Neither is a code that is no CRS (twice: the second from the cache),
    // nor an authority PROJ does not know.
    for (int i = 0; i < 2; ++i) {
        check(!bathyra::vertical_crs("EPSG", "999999").found,
              "EPSG:999999 is not found");
        check(!bathyra::horizontal_crs("EPSG", "999999").found,
              "EPSG:999999 is not found");
    }
    check(!bathyra::vertical_crs("EPSG", "5100").found,
          "EPSG:5100 (a datum, no CRS) is not found");
    check(!bathyra::vertical_crs("NOSUCH", "5715").found,
          "NOSUCH:5715 is not found");
    check(!bathyra::vertical_crs("", "5715").found, "no authority");
    check(!bathyra::vertical_crs("EPSG", "").found, "no code");
    check(!bathyra::vertical_crs("EPSG", std::string("5715\0x", 6)).found,
          "a code with a NUL character is not found");
}

// Codes longer than any of the register's are refused before PROJ sees
// them and never kept; distinct codes and texts fill the caches up to
// their bounds and no further.
void cache_bound_checks()
{
    using bathyra::cache_byte_limit;
    using bathyra::cache_entry_limit;
    for (const char *code : {"5715", "1", "1234567890"})
        check(bathyra::is_crs_code(code), std::string(code) + " is a code");
    for (const char *code : {"", "12345678901", "57a5", "-5715", "5715 "})
        check(!bathyra::is_crs_code(code),
              "'" + std::string(code) + "' is no code");
    const bathyra::CacheUsage codes = bathyra::code_cache_usage();
    const std::string absurd(300000, '7');
    check(!bathyra::vertical_crs("EPSG", absurd).found &&
              !bathyra::horizontal_crs("EPSG", absurd).found &&
              bathyra::vertical_datum("EPSG", absurd).empty(),
          "a code of 300000 digits is not found");
    check(!bathyra::vertical_crs(std::string(1000, 'E'), "5715").found,
          "an authority of 1000 letters is not found");
    check(bathyra::code_cache_usage().entries == codes.entries &&
              bathyra::code_cache_usage().bytes == codes.bytes,
          "refused codes are not kept");
    // Such a reference is read by hand; its code is the look-ups' to
    // refuse.
    const bathyra::CrsReference long_reference =
        bathyra::read_crs_reference("EPSG:" + absurd, "", "");
    check(long_reference.kind == Kind::crs && long_reference.code == absurd,
          "EPSG:<300000 digits> is read by hand");

    for (int i = 0; i < 6000; ++i)
        bathyra::vertical_crs("EPSG", std::to_string(900000000 + i));
    const bathyra::CacheUsage full = bathyra::code_cache_usage();
    check(full.entries == cache_entry_limit && full.bytes <= cache_byte_limit,
          "the cache of codes holds " + std::to_string(full.entries) +
              " entries, " + std::to_string(full.bytes) + " bytes");
    check(bathyra::vertical_crs("EPSG", "5703").name == "NAVD88 height",
          "a code is still looked up when the cache is full");

    const bathyra::CacheUsage texts = bathyra::text_cache_usage();
    bathyra::read_wkt(std::string(100000, 'w'));
    check(bathyra::text_cache_usage().entries == texts.entries,
          "a text of 100000 bytes is not kept");
    for (int i = 0; i < 200; ++i)
        bathyra::read_wkt(std::to_string(i) + std::string(60000, 'w'));
    check(bathyra::text_cache_usage().bytes <= cache_byte_limit,
          "texts of 60000 bytes are kept up to the bound in bytes (" +
              std::to_string(bathyra::text_cache_usage().bytes) + ")");
    for (int i = 0; i < 6000; ++i)
        bathyra::read_wkt("w" + std::to_string(i));
    check(bathyra::text_cache_usage().entries <= cache_entry_limit,
          "texts are kept up to the bound in entries (" +
              std::to_string(bathyra::text_cache_usage().entries) + ")");
    check(bathyra::read_crs_reference("urn:ogc:def:crs:EPSG::5866", "", "")
                  .code == "5866",
          "a text is still read when the cache is full");
}

}  // namespace

int main()
{
    parse_checks();
    hand_reading_checks();
    if (!bathyra::proj_available()) {
        check(!bathyra::vertical_crs("EPSG", "5715").found &&
                  !bathyra::horizontal_crs("EPSG", "4326").found,
              "without PROJ nothing is found");
        if (failures != 0)
            return 1;
        std::printf("built without PROJ: look-ups not tested\n");
        return 77;
    }
    concurrent_checks();
    lookup_checks();
    proj_parsing_checks();
    concurrent_text_checks();
    cache_bound_checks();
    if (failures != 0) {
        std::printf("%d checks failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
