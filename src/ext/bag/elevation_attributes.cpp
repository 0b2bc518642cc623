// The minimum and maximum attributes of a BAG file's elevation, and the
// encoding of what the elevation says for the caller.
#include <cstdio>
#include <cstring>

#include "grid_blocks.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;
using namespace grid_blocks;

std::string number_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// Reads a scalar number attribute of the elevation `object`; false when
// absent, throws when it is present and unusable.
bool number_attribute(hid_t object, const char *name, double &value)
{
    // Opened at once: whether it exists is asked only when that fails.
    Handle attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    if (!attribute.valid() && H5Aexists(object, name) <= 0)
        return false;
    const std::string what =
        std::string("the elevation attribute \"") + name + "\"";
    if (!attribute.valid())
        throw GridFault{what + " cannot be read"};
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    Handle space(H5Aget_space(attribute.get()), H5Sclose);
    if (!type.valid() || !space.valid())
        throw GridFault{what + " cannot be read"};
    const H5T_class_t kind = H5Tget_class(type.get());
    if ((kind != H5T_FLOAT && kind != H5T_INTEGER) ||
        H5Sget_simple_extent_npoints(space.get()) != 1)
        throw GridFault{what + " is not a number"};
    if (H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, &value) < 0)
        throw GridFault{what + " cannot be read"};
    if (!std::isfinite(value))
        throw GridFault{what + " is not a finite number"};
    return true;
}

}  // namespace

void read_elevation_attributes(hid_t file, ElevationSummary &summary)
{
    try {
        // A missing link fails as a link to elsewhere does.
        if (!hdf5::is_hard_link(file, elevation_path))
            return;
        // Opened once: each look-up by path would open it again.
        Handle object(H5Oopen(file, elevation_path, H5P_DEFAULT), H5Oclose);
        if (!object.valid())
            throw GridFault{std::string("the elevation grid ") +
                            elevation_path +
                            " cannot be opened (damaged "
                            "file?)"};
        double low = 0.0, high = 0.0;
        const bool has_low =
            number_attribute(object.get(), "Minimum Elevation Value", low);
        const bool has_high =
            number_attribute(object.get(), "Maximum Elevation Value", high);
        if (!has_low || !has_high)
            return;
        if (low == no_data || high == no_data || low > high) {
            summary.attribute_problem =
                "the elevation attributes give no range (minimum " +
                number_text(low) + ", maximum " + number_text(high) + ")";
            return;
        }
        summary.has_attributes = true;
        summary.attribute_minimum = low;
        summary.attribute_maximum = high;
    } catch (const GridFault &fault) {
        summary.attribute_problem = fault.reason;
    }
}

namespace {

void put_number(std::string &out, uint64_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void put_double(std::string &out, double value)
{
    uint64_t bits;
    static_assert(sizeof bits == sizeof value, "IEEE doubles");
    std::memcpy(&bits, &value, sizeof bits);
    put_number(out, bits, 8);
}

}  // namespace

std::string encode_summary(const ElevationSummary &summary)
{
    std::string out;
    out.push_back(static_cast<char>(
        (summary.has_attributes ? 1 : 0) | (summary.grid_read ? 2 : 0) |
        (summary.has_range ? 4 : 0) | (summary.has_uncertainty ? 8 : 0)));
    for (double value :
         {summary.attribute_minimum, summary.attribute_maximum,
          summary.minimum, summary.maximum, summary.uncertainty_minimum,
          summary.uncertainty_maximum})
        put_double(out, value);
    put_number(out, summary.valid_nodes, 8);
    put_number(out, summary.attribute_problem.size(), 4);
    out += summary.attribute_problem;
    put_number(out, summary.grid_problem.size(), 4);
    out += summary.grid_problem;
    out += summary.georef;
    return out;
}

}  // namespace bathyra
