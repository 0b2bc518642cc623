// Writing minimal BAG files: a /BAG_root group with its "Bag Version"
// attribute and a /BAG_root/metadata dataset around a document, for
// examples and tests.  Runs with the HDF5 library lock held and without
// the interpreter lock.
#pragma once

#include <cstdint>
#include <string>

#include "grid_writer.hpp"

namespace bathyra {

struct WriteRequest {
    std::string path;
    std::string data;
    bool has_version = false;
    std::string version;
    int64_t chunk = 0;
    int compress = 0;
    std::string element;  // "string", "int8", "float64" or "none"
    // "" for a plain dataset; "soft", "external:FILE", "storage:FILE" or
    // "declared:COUNT" for the layouts of reader tests.
    std::string layout;
    GridRequest grid;  // an elevation grid when `grid.wanted`
};

// Returns an empty string on success, else what failed.
std::string write_bag_file(const WriteRequest &request);

}  // namespace bathyra
