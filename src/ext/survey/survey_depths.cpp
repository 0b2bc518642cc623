// The rules of depths and their vertical reference: DRVAL1 and DRVAL2 from
// the first vertical extent that gives a range, made depths (positive
// down, in metres) by the extent's vertical CRS, or else by the one the
// reference systems name; the vertical CRS, its datum and VERDAT (read
// by survey_verdat.cpp).
#include <algorithm>
#include <cmath>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

// What is known of the vertical axis so far.
struct Axis {
    AxisDirection direction = AxisDirection::unknown;
    double to_metres = 1.0;
    std::string unresolved;  // why a vertical CRS code told nothing
};

double unit_factor(const std::string &unit)
{
    const std::string folded = lower(unit);
    if (folded == "ft" || folded == "foot" || folded == "feet" ||
        folded.find("epsg::9002") != std::string::npos)
        return 0.3048;
    if (folded == "ftus" || folded == "us-ft" || folded == "us survey foot" ||
        folded.find("epsg::9003") != std::string::npos)
        return 1200.0 / 3937.0;
    if (folded == "fathom" || folded == "fm")
        return 1.8288;
    return 1.0;
}

// The vertical CRS authority:code, resolved with PROJ: its name, datum and
// (when not known yet) axis.
void apply_code(Context &context, const std::string &authority,
                const std::string &code, Axis &axis)
{
    Fields &fields = context.fields;
    const std::string name = authority + ":" + code;
    // A code longer than any of the register's names nothing, with PROJ
    // or without.
    if (!proj_available() && is_crs_code(code)) {
        fields.vertical_crs = name;
        axis.unresolved =
            "PROJ is not available to resolve the vertical CRS " + name;
        context.problem(Key::vertical_crs, axis.unresolved);
        return;
    }
    VerticalCrsFacts facts = vertical_crs(authority, code);
    if (!facts.found) {
        axis.unresolved = "the vertical CRS reference " + shortened(name) +
                          " names no vertical CRS";
        context.problem(Key::vertical_crs, axis.unresolved);
        return;
    }
    fields.vertical_crs = name;
    if (!facts.datum_name.empty())
        fields.vertical_datum = facts.datum_name;
    if (axis.direction == AxisDirection::unknown) {
        axis.direction = facts.direction;
        axis.to_metres = facts.to_metres;
    }
}

// The vertical CRS of the chosen extent: an inline one (its axis, unit,
// datum, code or name), or one by reference (its code or title).
void read_extent_crs(Context &context, const Group &group, Axis &axis)
{
    Fields &fields = context.fields;
    if (const Text *text = first_value(group, Field::axis_direction)) {
        const std::string folded = lower(trimmed(*text));
        if (folded == "up")
            axis.direction = AxisDirection::up;
        else if (folded == "down")
            axis.direction = AxisDirection::down;
    }
    if (const Text *unit = first_value(group, Field::axis_unit))
        axis.to_metres = unit_factor(trimmed(*unit));
    const Text *datum = first_value(group, Field::datum_name);
    if (datum && !trimmed(*datum).empty())
        fields.vertical_datum = trimmed(*datum);
    for (Field field : {Field::vertical_crs_code, Field::vertical_crs_id,
                        Field::vertical_crs_href}) {
        const Text *text = first_value(group, field);
        // A link may give a bare code, of the EPSG.
        const CrsReference named =
            text ? read_crs_reference(
                       trimmed(*text),
                       field == Field::vertical_crs_href ? "EPSG" : "")
                 : CrsReference();
        if (named.kind != CrsReference::Kind::none) {
            apply_code(context, named.authority, named.code, axis);
            return;
        }
    }
    for (Field field : {Field::vertical_crs_name, Field::vertical_crs_title}) {
        const Text *text = first_value(group, field);
        if (text && !trimmed(*text).empty()) {
            fields.vertical_crs = trimmed(*text);
            return;
        }
    }
}

// The vertical reference that the reference systems give, for depths
// whose extent gives neither a CRS nor an axis.
void read_reference_crs(Context &context, Axis &axis)
{
    Fields &fields = context.fields;
    const ReferenceVertical &reference = context.reference;
    for (const std::string &code : reference.codes) {
        apply_code(context, "EPSG", code, axis);
        if (axis.direction != AxisDirection::unknown)
            break;
    }
    if (!fields.vertical_crs && !reference.name.empty())
        fields.vertical_crs = reference.name;
    if (!fields.vertical_datum && !reference.datum.empty())
        fields.vertical_datum = reference.datum;
    if (!fields.vertical_crs && reference.wkt.found) {
        fields.vertical_crs = reference.wkt.name;
        const std::string datum = trimmed(reference.wkt.datum_name);
        if (!fields.vertical_datum && !datum.empty())
            fields.vertical_datum = datum;
        if (axis.direction == AxisDirection::unknown) {
            axis.direction = reference.wkt.direction;
            axis.to_metres = reference.wkt.to_metres;
        }
    }
}

// The vertical CRS, its datum and VERDAT; the axis of the depths of
// `group` (the chosen vertical extent, or null).
Axis read_vertical_reference(Context &context, const Group *group)
{
    Axis axis;
    if (group)
        read_extent_crs(context, *group, axis);
    if (axis.direction == AxisDirection::unknown &&
        !context.fields.vertical_crs)
        read_reference_crs(context, axis);
    if (!context.fields.vertical_crs &&
        !context.has_problem(Key::vertical_crs))
        context.problem(Key::vertical_crs,
                        context.fields.vertical_datum
                            ? "the vertical datum " +
                                  quoted(*context.fields.vertical_datum) +
                                  " is named, but no vertical CRS"
                            : std::string("no vertical CRS"));
    read_verdat(context);
    if (group && axis.direction == AxisDirection::unknown && !context.is_bag) {
        // BAG files store elevations (positive up); other documents say
        // nothing, and heights are assumed.
        const std::string message =
            (axis.unresolved.empty() ? "vertical CRS unknown"
                                     : axis.unresolved) +
            ": depths taken from heights";
        context.problem(Key::DRVAL1, message);
        context.problem(Key::DRVAL2, message);
    }
    return axis;
}

void drop_depth_problems(Fields &fields)
{
    fields.problems.erase(
        std::remove_if(fields.problems.begin(), fields.problems.end(),
                       [](const auto &entry) {
                           return entry.first == Key::DRVAL1 ||
                                  entry.first == Key::DRVAL2;
                       }),
        fields.problems.end());
}

}  // namespace

void read_depths(Context &context)
{
    auto found = context.groups(
        {Field::minimum_value, Field::maximum_value, Field::vertical_crs_href,
         Field::vertical_crs_title, Field::vertical_crs_code,
         Field::vertical_crs_name, Field::axis_direction, Field::axis_unit,
         Field::datum_name, Field::vertical_crs_id},
        true);
    const Group *chosen = nullptr;
    std::string bad;
    for (const auto &entry : found) {
        const Text *low = first_value(entry.second, Field::minimum_value);
        const Text *high = first_value(entry.second, Field::maximum_value);
        if (!low || !high || trimmed(*low).empty() || trimmed(*high).empty())
            continue;
        if (!number(*low) || !number(*high)) {
            if (bad.empty())
                bad = "the depth range is not a number (minimum " +
                      quoted(trimmed(*low)) + ", maximum " +
                      quoted(trimmed(*high)) + ")";
            continue;
        }
        chosen = &entry.second;
        break;
    }
    if (!chosen) {
        const std::string message =
            bad.empty() ? "no depth range in the identification" : bad;
        context.problem(Key::DRVAL1, message);
        context.problem(Key::DRVAL2, message);
        read_vertical_reference(context, nullptr);
        return;
    }
    const Text &low_text = *first_value(*chosen, Field::minimum_value);
    const Text &high_text = *first_value(*chosen, Field::maximum_value);
    double low = *number(low_text);
    double high = *number(high_text);
    const Axis axis = read_vertical_reference(context, chosen);
    if (!std::isfinite(low) || !std::isfinite(high)) {
        // NaN, INF or beyond a double: whatever the direction, no depth is
        // given, and that is the one problem of the depths.
        drop_depth_problems(context.fields);
        const std::string message = "the depth range is not finite (minimum " +
                                    quoted(trimmed(low_text)) + ", maximum " +
                                    quoted(trimmed(high_text)) + ")";
        context.problem(Key::DRVAL1, message);
        context.problem(Key::DRVAL2, message);
        return;
    }
    low *= axis.to_metres;
    high *= axis.to_metres;
    if (axis.direction != AxisDirection::down) {
        low = -low;
        high = -high;
    }
    // +0.0: no negative zero in a record.
    context.fields.DRVAL1 = std::min(low, high) + 0.0;
    context.fields.DRVAL2 = std::max(low, high) + 0.0;
}

}  // namespace survey
}  // namespace bathyra
