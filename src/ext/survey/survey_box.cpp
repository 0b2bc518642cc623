// The rules of the box and the horizontal reference: the geographic
// bounding box of the identification, and the metadata's reference
// systems, of which the first horizontal one is the survey's horizontal
// CRS; the vertical ones are kept for the depth rule.
#include <cmath>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

// Whether a reference system given in words is a vertical one: its text
// names a tidal datum, or its text or title speaks of heights, depths or
// a datum.
bool names_vertical(const std::string &text, const Text *title)
{
    if (verdat_code(text))
        return true;
    for (const std::string &words :
         {lower(text), title ? lower(*title) : std::string()})
        for (const char *word : {"height", "depth", "datum"})
            if (words.find(word) != std::string::npos)
                return true;
    return false;
}

// The bounds of a box, in its order (west, south, east, north).
struct Bound {
    Field field;
    const char *name;
    double limit;       // the largest magnitude of the bound, in degrees
    const char *range;  // the same in words
};

constexpr Bound bounds[] = {
    {Field::west, "west longitude", 180.0, "-180 and 180"},
    {Field::south, "south latitude", 90.0, "-90 and 90"},
    {Field::east, "east longitude", 180.0, "-180 and 180"},
    {Field::north, "north latitude", 90.0, "-90 and 90"},
};

// Appends the bound that `text` gives to `box`, or says why it gives none.
std::string check_bound(const Bound &bound, const std::string &text,
                        std::vector<double> &box)
{
    const std::optional<double> value = number(text);
    const std::string named = std::string("the bounding box's ") + bound.name +
                              " " + quoted(text) + " is not ";
    if (!value)
        return named + "a number";
    if (!std::isfinite(*value))
        return named + "a finite number";
    if (std::fabs(*value) > bound.limit)
        return named + "between " + bound.range + " degrees";
    box.push_back(*value + 0.0);
    return std::string();
}

// A part of a reference system given by its parts; empty when it is
// missing or left as a template's text ("Your Projection").
std::string crs_part(const Group &group, Field field)
{
    const Text *text = first_value(group, field);
    const std::string part = text ? trimmed(*text) : std::string();
    if (is_placeholder(part) || lower(part).rfind("your ", 0) == 0)
        return std::string();
    return part;
}

// The first horizontal reference system given by its parts, in words
// ("UTM zone 2, WGS84"), or nothing.
std::optional<std::string> described_crs(const Context &context)
{
    auto found = context.groups(
        {Field::crs_projection, Field::crs_datum, Field::crs_zone}, false);
    for (const auto &entry : found) {
        const std::string projection =
            crs_part(entry.second, Field::crs_projection);
        const std::string datum = crs_part(entry.second, Field::crs_datum);
        const std::string zone = crs_part(entry.second, Field::crs_zone);
        if (projection.empty() && datum.empty())
            continue;
        std::string text = projection;
        if (!projection.empty() && !zone.empty())
            text += " zone " + zone;
        if (!datum.empty())
            text += (text.empty() ? "" : ", ") + datum;
        return text;
    }
    return std::nullopt;
}

}  // namespace

void read_reference_systems(Context &context)
{
    Fields &fields = context.fields;
    ReferenceVertical &reference = context.reference;
    std::string no_crs;  // the first reference system in words that is none
    auto found =
        context.groups({Field::reference_code, Field::reference_code_href,
                        Field::reference_code_space, Field::reference_title},
                       false);
    for (const auto &entry : found) {
        const auto &group = entry.second;
        const Text *code = first_value(group, Field::reference_code);
        const Text *href = first_value(group, Field::reference_code_href);
        const Text *space = first_value(group, Field::reference_code_space);
        const std::string text = code ? trimmed(*code) : std::string();
        // A bare code is one of the EPSG's when the code space says so.
        const std::string default_authority =
            space && lower(trimmed(*space)).find("epsg") != std::string::npos
                ? "EPSG"
                : "";
        CrsReference named =
            read_crs_reference(text, default_authority,
                               href ? std::string(*href) : std::string());
        const Text *title = first_value(group, Field::reference_title);
        if (named.kind == CrsReference::Kind::datum) {
            // A vertical datum names the vertical reference's datum.
            std::string datum = vertical_datum(named.authority, named.code);
            if (!datum.empty()) {
                if (reference.datum.empty())
                    reference.datum = datum;
                continue;
            }
            // A datum's reference that carries the code of a vertical CRS
            // ("urn:ogc:def:datum:EPSG::5868", MHW height) stands for the
            // CRS; one that names neither leaves the reference's title.
            if (vertical_crs(named.authority, named.code).found) {
                named.kind = CrsReference::Kind::crs;
            } else {
                if (title && !is_placeholder(trimmed(*title)) &&
                    reference.name.empty())
                    reference.name = trimmed(*title);
                continue;
            }
        }
        if (named.kind == CrsReference::Kind::crs) {
            if (vertical_crs(named.authority, named.code).found)
                reference.codes.push_back(named.code);
            if (!fields.horizontal_crs &&
                (horizontal_crs(named.authority, named.code).found ||
                 (!proj_available() && is_crs_code(named.code)))) {
                fields.horizontal_crs = named.authority + ":" + named.code;
                if (lower(named.authority) == "epsg")
                    fields.grid_crs = "EPSG:" + named.code;
            }
            continue;
        }
        if (is_placeholder(text))
            continue;
        const WktFacts wkt = read_wkt(text);
        const std::string &name =
            wkt.horizontal.empty() ? wkt.vertical.name : wkt.horizontal;
        if (wkt.found && is_placeholder(name))
            continue;  // a WKT for an unknown CRS
        if (!wkt.found && names_vertical(text, title)) {
            // A vertical reference named in words ("MHHW", "Local Lake
            // datum"), or titled so ("Mean Higher High Water height").
            if (reference.name.empty())
                reference.name = text;
            continue;
        }
        // The first vertical CRS given as WKT is the vertical reference;
        // any other CRS may be the horizontal one.
        const bool vertical_taken = wkt.vertical.found && !reference.wkt.found;
        if (vertical_taken)
            reference.wkt = wkt.vertical;
        if (fields.horizontal_crs ||
            !(!wkt.horizontal.empty() || !wkt.found || !vertical_taken))
            continue;
        // A text in words is kept when it names a CRS (without PROJ, that
        // cannot be told, and it is kept); "CARTESIAN" or a template's
        // text is none.
        if (wkt.found || !proj_available() || names_crs(text)) {
            fields.horizontal_crs = wkt.found ? name : text;
            if (wkt.found)
                fields.grid_crs = text;
        } else if (no_crs.empty())
            no_crs = text;
    }
    if (!fields.horizontal_crs)
        fields.horizontal_crs = described_crs(context);
    if (!fields.horizontal_crs)
        context.problem(Key::horizontal_crs,
                        no_crs.empty() ? "no horizontal reference system"
                                       : "the reference system " +
                                             quoted(no_crs) + " names no CRS");
}

void read_box(Context &context)
{
    auto found = context.groups(
        {Field::west, Field::east, Field::south, Field::north}, true);
    // Why the first box given in full was refused, when none is taken.
    std::string refused;
    for (const auto &entry : found) {
        std::vector<double> box;
        std::string why;
        for (const Bound &bound : bounds) {
            const Text *text = first_value(entry.second, bound.field);
            if (!text || trimmed(*text).empty())
                break;
            why = check_bound(bound, trimmed(*text), box);
            if (!why.empty())
                break;
        }
        if (why.empty() && box.size() == 4 && box[1] > box[3])
            why = "the bounding box's south latitude " +
                  quoted(trimmed(*first_value(entry.second, Field::south))) +
                  " is north of its north latitude " +
                  quoted(trimmed(*first_value(entry.second, Field::north)));
        if (!why.empty()) {
            if (refused.empty())
                refused = why;
            continue;
        }
        if (box.size() != 4)
            continue;
        if (box[0] == 0 && box[1] == 0 && box[2] == 0 && box[3] == 0) {
            context.problem(Key::bbox,
                            "the bounding box is all zeros (a placeholder)");
            return;
        }
        // West beyond east is a box across the antimeridian.
        context.fields.bbox = box;
        return;
    }
    context.problem(Key::bbox,
                    refused.empty()
                        ? "no geographic bounding box in the identification"
                        : refused);
}

}  // namespace survey
}  // namespace bathyra
