// The layout of an IHO S-102 file (editions 2.1, 2.2 and 3.0) that the
// reader and the writer share: where the grids, the quality grid and its
// table live, and the bounds of what is read.
#pragma once

#include <cstdint>

namespace bathyra {
namespace s102 {

// The root attribute that names the product and its edition.
constexpr const char *spec_attribute = "productSpecification";
constexpr const char *spec_prefix = "INT.IHO.S-102.";

// The bathymetry: instances BathymetryCoverage.01, .02, ... of the group,
// each with one Group_001 whose `values` is a compound of `depth` (and
// `uncertainty`), 32-bit floats.
constexpr const char *coverage_group = "/BathymetryCoverage";
constexpr const char *coverage_instance = "BathymetryCoverage";
constexpr const char *values_name = "Group_001/values";
constexpr const char *depth_member = "depth";
constexpr const char *uncertainty_member = "uncertainty";

// The quality of the bathymetry: a grid of row ids (uint32; 0 no data),
// plain or a compound of one member, and its feature attribute table.
// Edition 2.2 names the feature QualityOfSurvey, 3.0
// QualityOfBathymetryCoverage.
constexpr const char *quality_features[] = {"QualityOfBathymetryCoverage",
                                            "QualityOfSurvey"};
constexpr const char *table_name = "featureAttributeTable";
constexpr const char *id_member = "id";

// The most instances read, ids gathered per instance, and rows of the
// table read.
constexpr unsigned max_instances = 16;
constexpr uint64_t max_ids = uint64_t(1) << 16;
constexpr uint64_t max_table_rows = uint64_t(1) << 16;
// The most bytes of the table's values (with a few bytes per value) in
// the answer: a small file of long member names or many members must
// not make a large answer.
constexpr uint64_t max_table_text = uint64_t(1) << 25;
// The largest EPSG code read as the file's horizontal CRS.
constexpr unsigned long long max_crs_code = 0x7FFFFFFFull;
// The most cells of the source surveys' label rasters (two bytes each)
// that the instances of one file hold until they are traced.
constexpr uint64_t max_outline_cells = uint64_t(1) << 26;

}  // namespace s102
}  // namespace bathyra
