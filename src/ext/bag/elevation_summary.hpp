// What a BAG file's elevation says about the survey's depths: the range
// its attributes state, and the range, uncertainty and count of the nodes
// that hold data, found by a pass over the grid.  Filled with the HDF5
// library lock held and without the interpreter lock; encoded as bytes for
// the caller, in whichever process the file was read.
#pragma once

#include <cstdint>
#include <string>

namespace bathyra {

// Which parts of a file one request reads.
enum ReadPart : unsigned {
    part_metadata = 1,    // the metadata document and the version
    part_attributes = 2,  // the elevation's minimum and maximum attributes
    part_grid = 4,        // the pass over the grid and its refinements
    part_footprint = 8,   // with the grid: its footprint (bag_service.hpp)
    part_s102 = 16,       // read as an S-102 file (s102_reader.hpp)
};

struct ElevationSummary {
    bool has_attributes = false;
    double attribute_minimum = 0.0;
    double attribute_maximum = 0.0;
    // Why the attributes give no range ("" when they do, or are absent).
    std::string attribute_problem;
    bool grid_read = false;  // the pass over the grid ended
    bool has_range = false;  // some node holds an elevation
    double minimum = 0.0;
    double maximum = 0.0;
    bool has_uncertainty = false;
    double uncertainty_minimum = 0.0;
    double uncertainty_maximum = 0.0;
    uint64_t valid_nodes = 0;
    // Why the grid was not read to its end ("" when it was).
    std::string grid_problem;
    // What the georeferenced metadata layers give, as GeorefLayers::encode
    // writes it ("layers" alone when the grid was not asked for).
    std::string georef;
};

// The summary as bytes: a flags byte (1 attributes, 2 grid read, 4 range,
// 8 uncertainty), six big-endian IEEE doubles (attribute minimum and
// maximum, minimum, maximum, uncertainty minimum and maximum), the valid
// node count (8 bytes), the attribute problem's length (4 bytes) and text,
// the grid problem's length (4 bytes) and text, then the text of the
// georeferenced metadata layers to the end.
std::string encode_summary(const ElevationSummary &summary);

}  // namespace bathyra
