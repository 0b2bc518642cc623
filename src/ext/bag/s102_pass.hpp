// The pass over one bathymetry instance of an S-102 file: its depths and
// uncertainties (the compound `values` of its Group_001) in blocks of
// whole chunks, and beside them the quality's grid of row ids over the
// same nodes, gathered per id.  Runs with the HDF5 library lock held and
// without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "grid_pass.hpp"
#include "label_footprints.hpp"

namespace bathyra {
namespace s102 {

// Passes over the grid at `values_path` (and the id grid at `ids_path`
// when not empty), handing each block to `sink` (when not null) and
// appending the "grid" and "cells" lines of instance `name` (or its
// "problem" line) to `lines`.  A node holds data when its depth is finite
// and not the fill value; ids of 0 are no row.  With `labels`, each node
// that holds data is marked there with label_of[its id] (ids not in
// label_of: no label).
void pass_instance(
    hid_t file, const std::string &name, const std::string &values_path,
    const std::string &ids_path, NodeSink *sink, std::string &lines,
    LabelFootprints *labels = nullptr,
    const std::unordered_map<uint32_t, uint32_t> *label_of = nullptr);

}  // namespace s102
}  // namespace bathyra
