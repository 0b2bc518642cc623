// The rules of the box and the horizontal reference: the geographic
// bounding box of the identification, and the metadata's reference
// systems, of which the first horizontal one is the survey's horizontal
// CRS; the vertical ones are kept for the depth rule.
#include <cctype>
#include <cmath>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

// Whether a reference system given in words is a vertical one: its text
// names a tidal datum, or its text or title speaks of heights, depths or
// a datum.
bool names_vertical(const std::string &text, const std::string *title)
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

// The first quoted text after `keyword` (lower case) in a WKT text.
std::string quoted_after(const std::string &text, const std::string &keyword)
{
    size_t at = lower(text).find(keyword);
    if (at == std::string::npos)
        return "";
    size_t open = text.find('"', at);
    size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos)
        return "";
    return trimmed(text.substr(open + 1, close - open - 1));
}

// The name of a WKT CRS (the first quoted text) and whether it is a
// vertical one; empty when `text` is no WKT.
std::string wkt_name(const std::string &text, std::string &kind)
{
    size_t bracket = text.find('[');
    if (bracket == std::string::npos || bracket == 0 || bracket > 20)
        return "";
    std::string keyword = lower(text.substr(0, bracket));
    for (char c : keyword)
        if (!std::isalpha(static_cast<unsigned char>(c)) && c != '_')
            return "";
    size_t open = text.find('"', bracket);
    size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos)
        return "";
    kind =
        keyword.find("vert") != std::string::npos ? "vertical" : "horizontal";
    if (keyword.find("compd") != std::string::npos ||
        keyword.find("compound") != std::string::npos) {
        // The horizontal part is the first CRS inside.
        size_t inner = text.find('[', close);
        size_t inner_open =
            inner == std::string::npos ? inner : text.find('"', inner);
        size_t inner_close = inner_open == std::string::npos
                                 ? inner_open
                                 : text.find('"', inner_open + 1);
        if (inner_close != std::string::npos)
            return text.substr(inner_open + 1, inner_close - inner_open - 1);
    }
    return text.substr(open + 1, close - open - 1);
}

}  // namespace

void read_reference_systems(Context &context)
{
    Fields &fields = context.fields;
    ReferenceVertical &reference = context.reference;
    auto found =
        context.groups({Field::reference_code, Field::reference_code_href,
                        Field::reference_code_space, Field::reference_title},
                       false);
    for (const auto &entry : found) {
        const auto &group = entry.second;
        const std::string *code = first_value(group, Field::reference_code);
        const std::string *href =
            first_value(group, Field::reference_code_href);
        const std::string *space =
            first_value(group, Field::reference_code_space);
        std::string text = code ? trimmed(*code) : std::string();
        std::string authority, number;
        const std::string default_authority =
            space && lower(trimmed(*space)).find("epsg") != std::string::npos
                ? "EPSG"
                : "";
        bool coded =
            parse_crs_reference(text, default_authority, authority, number) ||
            find_crs_reference(text, authority, number) ||
            (href && find_crs_reference(*href, authority, number));
        if (coded &&
            lower(text + (href ? *href : std::string())).find("def:datum") !=
                std::string::npos) {
            // A datum, not a CRS: a vertical one names the datum.
            std::string datum = vertical_datum(authority, number);
            if (!datum.empty() && reference.datum.empty())
                reference.datum = datum;
            continue;
        }
        if (coded) {
            VerticalCrsFacts vertical = vertical_crs(authority, number);
            if (vertical.found)
                reference.codes.push_back(number);
            HorizontalCrsFacts horizontal = horizontal_crs(authority, number);
            if (!fields.horizontal_crs &&
                (horizontal.found || !proj_available()))
                fields.horizontal_crs = authority + ":" + number;
            continue;
        }
        if (is_placeholder(text))
            continue;
        std::string kind;
        std::string name = wkt_name(text, kind);
        if (!name.empty() && is_placeholder(name))
            continue;  // a WKT for an unknown CRS
        const std::string *title = first_value(group, Field::reference_title);
        if (name.empty() && names_vertical(text, title)) {
            // A vertical reference named in words ("MHHW", "Local Lake
            // datum"), or titled so ("Mean Higher High Water height").
            if (reference.name.empty())
                reference.name = text;
            continue;
        }
        if (!name.empty()) {
            if (kind == "vertical" && reference.wkt_name.empty()) {
                reference.wkt_name = name;
                reference.wkt_datum = quoted_after(text, "vert_datum[");
                if (reference.wkt_datum.empty())
                    reference.wkt_datum = quoted_after(text, "vdatum[");
                // WKT 1 gives a vertical CRS without an axis the axis of
                // heights.
                const std::string folded = lower(text);
                reference.wkt_axis =
                    folded.find(",down]") != std::string::npos ||
                            folded.find(", down]") != std::string::npos
                        ? AxisDirection::down
                        : AxisDirection::up;
            } else if (!fields.horizontal_crs)
                fields.horizontal_crs = name;
        } else if (!fields.horizontal_crs) {
            fields.horizontal_crs = text;
        }
    }
    if (!fields.horizontal_crs)
        context.problem("horizontal_crs", "no horizontal reference system");
}

void read_box(Context &context)
{
    auto found = context.groups(
        {Field::west, Field::east, Field::south, Field::north}, true);
    for (const auto &entry : found) {
        std::vector<double> box;
        for (Field field :
             {Field::west, Field::south, Field::east, Field::north}) {
            const std::string *text = first_value(entry.second, field);
            std::optional<double> value = text ? number(*text) : std::nullopt;
            if (!value || std::isnan(*value))
                break;
            box.push_back(*value + 0.0);
        }
        if (box.size() != 4)
            continue;
        if (box[0] == 0 && box[1] == 0 && box[2] == 0 && box[3] == 0) {
            context.problem("bbox",
                            "the bounding box is all zeros (a placeholder)");
            return;
        }
        context.fields.bbox = box;
        return;
    }
    context.problem("bbox",
                    "no geographic bounding box in the identification");
}

}  // namespace survey
}  // namespace bathyra
