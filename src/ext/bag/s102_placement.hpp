// Where an S-102 instance lies: the file's horizontal CRS, the placement
// of an instance's nodes for its footprint, and the quality's instance of
// row ids over it.  Runs with the HDF5 library lock held.
#pragma once

#include <hdf5.h>

#include <string>
#include <vector>

#include "footprint_pass.hpp"
#include "georef_values.hpp"

namespace bathyra {
namespace s102 {

// The file's EPSG code, from the root's scalar attributes as the Survey
// takes it: horizontalCRS (else horizontalDatumValue) as an integer from
// 1 to max_crs_code; 0 and why there is none otherwise.
long long crs_code(const std::vector<MemberValue> &attributes,
                   std::string &why);

// Where an instance's nodes are: its size, the geotransform of its nodes
// (row 0 the southernmost, at the grid's origin) and its CRS (`code`, 0
// for none, with `crs_why`); false with the reason when the file does not
// say.
bool footprint_request(hid_t file, const std::string &name, long long code,
                       const std::string &crs_why, FootprintRequest &request,
                       std::string &why);

// The row ids over the instance `name`: the values of the quality
// instance of its number (QualityOf... .02 for BathymetryCoverage.02),
// else of the first of the same origin and spacing; "" and why when the
// quality has none.
std::string ids_path_of(hid_t file, const std::string &feature,
                        const std::vector<std::string> &quality,
                        const std::string &name, std::string &why);

}  // namespace s102
}  // namespace bathyra
