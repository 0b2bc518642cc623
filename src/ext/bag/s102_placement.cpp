// Where an S-102 instance lies: the file's horizontal CRS, the placement
// of an instance's nodes for its footprint, and the quality's instance of
// row ids over it.
#include "s102_placement.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "hdf5_access.hpp"
#include "s102_layout.hpp"
#include "s102_values.hpp"

namespace bathyra {
namespace s102 {

namespace {

using hdf5::Handle;

// The origin and spacing of the group at `path`; false when it does not
// give them all.
bool placement_of(hid_t file, const std::string &path, double (&at)[4])
{
    Handle group(H5Gopen2(file, path.c_str(), H5P_DEFAULT), H5Gclose);
    return group.valid() &&
           number_attribute(group.get(), "gridOriginLongitude", at[0]) &&
           number_attribute(group.get(), "gridOriginLatitude", at[1]) &&
           number_attribute(group.get(), "gridSpacingLongitudinal", at[2]) &&
           number_attribute(group.get(), "gridSpacingLatitudinal", at[3]);
}

}  // namespace

// The row ids over the instance `name`: the values of the quality
// instance of its number (QualityOf... .02 for BathymetryCoverage.02),
// else of the first of the same origin and spacing; "" and why when the
// quality has none.
std::string ids_path_of(hid_t file, const std::string &feature,
                        const std::vector<std::string> &quality,
                        const std::string &name, std::string &why)
{
    const std::string base = "/" + feature + "/";
    const std::string own =
        feature + name.substr(std::strlen(coverage_instance));
    if (std::find(quality.begin(), quality.end(), own) != quality.end())
        return base + own + "/" + values_name;
    double at[4], other[4];
    if (placement_of(file, std::string(coverage_group) + "/" + name, at)) {
        for (const std::string &candidate : quality)
            if (placement_of(file, base + candidate, other) &&
                std::equal(at, at + 4, other))
                return base + candidate + "/" + values_name;
    }
    why = "the quality has no instance " + own +
          ", nor one of its origin and spacing: no source surveys";
    return std::string();
}

// The file's EPSG code, from the root's scalar attributes as the Survey
// takes it: horizontalCRS (else horizontalDatumValue) as an integer from
// 1 to max_crs_code; 0 and why there is none otherwise.
long long crs_code(const std::vector<MemberValue> &attributes,
                   std::string &why)
{
    const MemberValue *stated = nullptr;
    for (const char *name : {"horizontalCRS", "horizontalDatumValue"}) {
        for (const MemberValue &value : attributes)
            if (!stated && value.name == name)
                stated = &value;
    }
    if (!stated || stated->kind != 'i' || stated->text.empty()) {
        why = "the file gives no horizontal CRS: no footprint";
        return 0;
    }
    const char *text = stated->text.c_str();
    const unsigned long long code =
        text[0] == '-' ? 0 : std::strtoull(text, nullptr, 10);
    if (code < 1 || code > max_crs_code) {
        why = "the horizontal CRS " + stated->text +
              " that the file states is no EPSG code: no footprint";
        return 0;
    }
    return static_cast<long long>(code);
}

// Where an instance's nodes are: its size, the geotransform of its nodes
// (row 0 the southernmost, at the grid's origin) and its CRS (`code`, 0
// for none, with `crs_why`); false with the reason when the file does not
// say.
bool footprint_request(hid_t file, const std::string &name, long long code,
                       const std::string &crs_why, FootprintRequest &request,
                       std::string &why)
{
    const std::string path = std::string(coverage_group) + "/" + name;
    Handle group(H5Gopen2(file, path.c_str(), H5P_DEFAULT), H5Gclose);
    double x = 0, y = 0, dx = 0, dy = 0, rows = 0, cols = 0;
    if (!group.valid() ||
        !number_attribute(group.get(), "gridOriginLongitude", x) ||
        !number_attribute(group.get(), "gridOriginLatitude", y) ||
        !number_attribute(group.get(), "gridSpacingLongitudinal", dx) ||
        !number_attribute(group.get(), "gridSpacingLatitudinal", dy) ||
        !number_attribute(group.get(), "numPointsLatitudinal", rows) ||
        !number_attribute(group.get(), "numPointsLongitudinal", cols)) {
        why = name + " does not give the grid's origin, spacing and size: "
                     "no footprint";
        return false;
    }
    if (code == 0) {
        why = crs_why;
        return false;
    }
    if (!(rows >= 1 && cols >= 1 && rows < 1e12 && cols < 1e12 && dx > 0 &&
          dy > 0 && std::isfinite(x) && std::isfinite(y))) {
        why = name + " gives no usable origin, spacing or size: no footprint";
        return false;
    }
    request.rows = static_cast<uint64_t>(rows);
    request.cols = static_cast<uint64_t>(cols);
    const double geotransform[6] = {x - dx / 2, dx, 0, y - dy / 2, 0, dy};
    std::memcpy(request.geotransform, geotransform, sizeof geotransform);
    request.crs = "EPSG:" + std::to_string(code);
    return true;
}
}  // namespace s102
}  // namespace bathyra
