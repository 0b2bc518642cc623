// Writing the elevation of a minimal BAG file, for examples, tests and
// benchmarks: a grid of any size repeating a small tile (written block by
// block, never whole), its uncertainty, its minimum and maximum
// attributes, and the refinements of a variable-resolution file.  Runs
// with the HDF5 library lock held and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

#include "georef_writer.hpp"

namespace bathyra {

struct GridRequest {
    bool wanted = false;
    uint64_t rows = 0, cols = 0;
    uint64_t tile_rows = 0, tile_cols = 0;
    uint64_t chunk = 0;  // square chunks of this side; 0: not chunked
    int compress = 0;
    std::string elevation;    // the tile, native 32-bit floats
    std::string uncertainty;  // the same, or empty for no uncertainty grid
    bool has_attributes = false;
    double minimum = 0.0, maximum = 0.0;
    std::string cells;        // rows x cols (index, dims x, dims y) uint32
    std::string refinements;  // (depth, uncertainty) native float pairs
    // "" to write the nodes; "damaged" for chunks that hold no valid
    // compressed data; "declared" for a grid that holds nothing.
    std::string layout;
    std::vector<GeorefLayerRequest> layers;  // georeferenced metadata
};

// Writes the grid into the open file; "" on success, else what failed.
std::string write_grid(hid_t file, const GridRequest &request);

}  // namespace bathyra
