// Writing georeferenced metadata layers into a minimal BAG file, for
// tests: a layer's keys per node and per refinement node, and its table
// of rows of text and 32-bit float members.  Runs with the HDF5 library
// lock held and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bathyra {

struct GeorefLayerRequest {
    std::string path;          // the layer's group, made with its parents
    std::string keys;          // rows x cols native uint32, the grid's shape
    std::string refined_keys;  // native uint32, or empty for none
    // Each member's name and size: a text of that many bytes, or 0 for a
    // 32-bit float.
    std::vector<std::pair<std::string, uint64_t>> members;
    std::string rows;      // the table's rows, packed as the members say
    bool damaged = false;  // keys in chunks that hold no valid data
};

// Writes the layer into the open file of a grid of `rows` x `cols`; ""
// on success, else what failed.
std::string write_georef_layer(hid_t file, uint64_t rows, uint64_t cols,
                               const GeorefLayerRequest &layer);

}  // namespace bathyra
