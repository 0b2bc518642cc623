// Checks of the PROJ look-ups and of the reading of CRS references.
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

}  // namespace

int main()
{
    parse_checks();
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
    if (failures != 0) {
        std::printf("%d checks failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
