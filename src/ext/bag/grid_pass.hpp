// The elevation of a BAG file: its minimum and maximum attributes, and one
// pass over its grid of nodes (and the refinements of a variable-resolution
// file) in blocks of a bounded size.  Runs with the HDF5 library lock held
// and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>

#include "elevation_summary.hpp"

namespace bathyra {

// The elevation that marks a node without data, in the grid and in the
// refinements; an uncertainty of 0 or of this value is no uncertainty.
constexpr float no_data = 1000000.0f;

// One block of nodes that the pass hands on: `rows` x `cols` nodes from
// (`row`, `col`), row by row; `valid[i]` is 1 where node i holds data.
// `uncertainty` is null when the file has no usable uncertainty grid.
// A refinement block has `refined` set, one row, no grid position, and in
// `col` the index of its first node among the refinements.
struct NodeBlock {
    uint64_t row, col, rows, cols;
    const float *elevation;
    const float *uncertainty;
    const unsigned char *valid;
    bool refined;
};

// What takes the blocks of a pass, in their order.
class NodeSink {
  public:
    virtual ~NodeSink() = default;
    virtual void take(const NodeBlock &block) = 0;
};

// Reads the elevation's "Minimum Elevation Value" and "Maximum Elevation
// Value" into `summary`; leaves it without attributes (and says why when
// they are present but unusable) otherwise.  Reads no node.
void read_elevation_attributes(hid_t file, ElevationSummary &summary);

// Passes over every node of the grid and of its refinements, handing the
// blocks to `sink` (when not null) and gathering the range, uncertainty
// and count into `summary`; a grid that cannot be read leaves `grid_read`
// false and the reason in `grid_problem`.
void read_grid(hid_t file, ElevationSummary &summary, NodeSink *sink);

}  // namespace bathyra
