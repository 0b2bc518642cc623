// From what the survey pass captured to the fields of a survey, each with
// the reason when the document does not state it or states it doubtfully.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "survey_collector.hpp"
#include "survey_strings.hpp"

namespace bathyra {
namespace survey {

// A georectified grid: its size, the south-west and north-east nodes'
// centres and the resolution, in its horizontal CRS (`crs`, an EPSG code
// or WKT).
struct GridPlacement {
    uint64_t rows = 0, cols = 0;
    double west = 0, south = 0, east = 0, north = 0;
    double dx = 0, dy = 0;
    std::string crs;
    std::string note;  // how the corner points disagree with the rest
};

struct Fields {
    std::optional<std::string> SURSTA, SUREND;
    std::optional<double> DRVAL1, DRVAL2;
    std::optional<std::string> vertical_crs, vertical_datum;
    std::optional<int> VERDAT;
    std::optional<std::string> OBJNAM;
    std::vector<std::string> platforms, instruments;
    std::optional<std::string> planam, SURATH;
    std::optional<std::vector<double>> bbox;  // west, south, east, north
    std::optional<std::string> horizontal_crs;
    // The horizontal CRS as the footprint's tracing takes it: an EPSG code
    // ("EPSG:32619") or a WKT text; empty when the reference names none.
    std::string grid_crs;
    // Where the metadata places the grid, or why it cannot be placed
    // (survey_grid.cpp); neither when the document holds no grid.
    std::optional<GridPlacement> placement;
    std::string placement_problem;
    // The BAG's vertical uncertainty type ("rawStdDev", "unknown").
    std::optional<std::string> uncertainty_type;
    // (attribute, message), worded for a hydrographer.
    std::vector<std::pair<Key, std::string>> problems;
};

// `is_bag`: the document comes from a BAG file, whose depths are
// elevations (positive up) when no vertical CRS says otherwise.
Fields assemble(const Collected &collected, bool is_bag);

// The S-57 VERDAT code of a vertical datum's name (or abbreviation), or 0
// when it maps to none unambiguously.
int verdat_code(const std::string &datum);

}  // namespace survey
}  // namespace bathyra
