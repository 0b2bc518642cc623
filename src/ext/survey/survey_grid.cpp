// The rule of the grid's placement: the size, resolution and corner
// points of the metadata's georectified grid, checked against each other,
// and the horizontal CRS in a form the footprint's tracing takes (an EPSG
// code or WKT; a UTM zone given by its parts becomes its EPSG code).
#include <cmath>
#include <cstdio>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

// One dimension of the grid, as its group states it.
struct Axis {
    std::string name;  // "row" or "column", in lower case
    std::optional<double> size, resolution;
};

Axis read_axis(const Group &group)
{
    Axis axis;
    if (const Text *name = first_value(group, Field::grid_axis_name))
        axis.name = lower(trimmed(*name));
    if (const Text *size = first_value(group, Field::grid_axis_size))
        axis.size = number(*size);
    if (const Text *resolution =
            first_value(group, Field::grid_axis_resolution))
        axis.resolution = number(*resolution);
    return axis;
}

// The numbers of a GML coordinate text ("x1,y1 x2,y2" or "x y"), or
// nothing when a part is no finite number.
std::optional<std::vector<double>> coordinates(std::string_view text)
{
    std::vector<double> values;
    size_t i = 0;
    while (i < text.size()) {
        const size_t end = text.find_first_of(", \t\r\n", i);
        const std::string_view part =
            text.substr(i, end == std::string_view::npos ? end : end - i);
        if (!part.empty()) {
            const std::optional<double> value = number(part);
            if (!value || !std::isfinite(*value))
                return std::nullopt;
            values.push_back(*value);
        }
        if (end == std::string_view::npos)
            break;
        i = end + 1;
    }
    return values;
}

// A coordinate in words, to the centimetre.
std::string number_text(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

bool is_count(const std::optional<double> &value)
{
    return value && *value >= 1 && *value <= 4294967296.0 &&
           std::floor(*value) == *value;
}

// "EPSG:326zz" / "EPSG:327zz" for a UTM zone on WGS 84 given by its parts,
// the hemisphere from the box; empty otherwise.
std::string utm_code(const Context &context)
{
    auto found = context.groups(
        {Field::crs_projection, Field::crs_datum, Field::crs_zone}, false);
    for (const auto &entry : found) {
        const Text *projection =
            first_value(entry.second, Field::crs_projection);
        const Text *datum = first_value(entry.second, Field::crs_datum);
        const Text *zone = first_value(entry.second, Field::crs_zone);
        if (!projection || !datum || !zone)
            continue;
        const std::string datum_name = lower(trimmed(*datum));
        const std::optional<double> number_of_zone = number(*zone);
        if (lower(trimmed(*projection)) != "utm" ||
            (datum_name != "wgs84" && datum_name != "wgs 84") ||
            !number_of_zone || *number_of_zone < 1 || *number_of_zone > 60 ||
            std::floor(*number_of_zone) != *number_of_zone ||
            !context.fields.bbox)
            return std::string();
        const bool south = (*context.fields.bbox)[3] < 0;
        const int code = (south ? 32700 : 32600) + int(*number_of_zone);
        return "EPSG:" + std::to_string(code);
    }
    return std::string();
}

}  // namespace

void read_grid_placement(Context &context)
{
    Fields &fields = context.fields;
    auto corners = context.groups({Field::grid_corner_points}, false);
    auto axes = context.groups({Field::grid_axis_name, Field::grid_axis_size,
                                Field::grid_axis_resolution},
                               false);
    if (corners.empty() && axes.empty())
        return;  // no georectified grid: nothing to place
    GridPlacement placement;
    std::optional<double> rows, cols, dx, dy;
    for (const auto &entry : axes) {
        const Axis axis = read_axis(entry.second);
        if (axis.name == "row") {
            rows = axis.size;
            dy = axis.resolution;
        } else if (axis.name == "column") {
            cols = axis.size;
            dx = axis.resolution;
        }
    }
    auto refuse = [&fields](std::string why) {
        fields.placement_problem = std::move(why);
    };
    if (!is_count(rows) || !is_count(cols))
        return refuse("the metadata gives no number of rows and columns of "
                      "the grid");
    if (!dx || !dy || !std::isfinite(*dx) || !std::isfinite(*dy) ||
        !(*dx > 0) || !(*dy > 0))
        return refuse("the metadata gives no positive resolution of the "
                      "grid's rows and columns");
    std::vector<double> points;
    if (!corners.empty()) {
        for (const Capture *capture : corners.begin()->second) {
            const auto values = coordinates(capture->value);
            if (!values)
                return refuse("the grid's corner points " +
                              quoted(trimmed(capture->value)) +
                              " are not numbers");
            points.insert(points.end(), values->begin(), values->end());
        }
    }
    if (points.size() != 4)
        return refuse("the metadata gives no two corner points of the grid "
                      "(south-west and north-east)");
    if (!(points[2] > points[0]) || !(points[3] > points[1]))
        return refuse("the grid's north-east corner point is not north-east "
                      "of its south-west corner point");
    placement.rows = static_cast<uint64_t>(*rows);
    placement.cols = static_cast<uint64_t>(*cols);
    placement.west = points[0];
    placement.south = points[1];
    placement.east = points[2];
    placement.north = points[3];
    placement.dx = *dx;
    placement.dy = *dy;
    // GDAL's reading: the south-west corner and the resolution place the
    // grid; a north-east corner more than half a node away from where they
    // put the last node is said.
    const double east = points[0] + (*cols - 1) * *dx;
    const double north = points[1] + (*rows - 1) * *dy;
    if (std::fabs(east - points[2]) > *dx / 2 ||
        std::fabs(north - points[3]) > *dy / 2)
        placement.note =
            "the grid's north-east corner point (" + number_text(points[2]) +
            ", " + number_text(points[3]) +
            ") is not where its size and resolution put the last node (" +
            number_text(east) + ", " + number_text(north) +
            "): the grid is placed from its south-west corner point and "
            "its resolution";
    placement.crs =
        fields.grid_crs.empty() ? utm_code(context) : fields.grid_crs;
    if (placement.crs.empty())
        return refuse(fields.horizontal_crs
                          ? "the horizontal reference system " +
                                quoted(*fields.horizontal_crs) +
                                " is given neither as WKT nor as an EPSG "
                                "code"
                          : "no horizontal reference system");
    fields.placement = std::move(placement);
}

void read_uncertainty_type(Context &context)
{
    for (const auto &entry :
         context.groups({Field::uncertainty_type}, false)) {
        for (const Capture *capture : entry.second) {
            const auto text = trimmed(capture->value);
            if (!text.empty()) {
                context.fields.uncertainty_type = std::string(text);
                return;
            }
        }
    }
}

}  // namespace survey
}  // namespace bathyra
