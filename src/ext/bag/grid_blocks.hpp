// What the passes over a BAG file's grid and its refinements share: the
// datasets' paths and the bounds of what is read at once, the open grid
// dataset with its checks, the blocks' shape and their read, and the
// gathering of the range.  The S-102 pass (s102_pass.cpp) uses them too.
// Runs with the HDF5 library lock held and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "elevation_summary.hpp"
#include "grid_pass.hpp"
#include "hdf5_access.hpp"

namespace bathyra {
namespace grid_blocks {

constexpr const char *elevation_path = "/BAG_root/elevation";
constexpr const char *uncertainty_path = "/BAG_root/uncertainty";
constexpr const char *cells_path = "/BAG_root/varres_metadata";
constexpr const char *refinements_path = "/BAG_root/varres_refinements";
constexpr uint32_t no_refinement = 0xFFFFFFFFu;

// The most nodes a grid may declare, and the most that one block holds.
constexpr uint64_t max_nodes = uint64_t(1) << 34;
constexpr uint64_t max_block = uint64_t(1) << 22;
// The most cells of the refinement index, and refinement nodes, at once.
constexpr uint64_t max_cells = uint64_t(1) << 18;
constexpr uint64_t max_refined = uint64_t(1) << 20;

// Thrown to end the pass with the reason in words.
struct GridFault {
    std::string reason;
};

// An open dataset of the grid, with its shape and chunk shape.
struct Grid {
    hdf5::Handle dataset{H5I_INVALID_HID, H5Dclose};
    hdf5::Handle space{H5I_INVALID_HID, H5Sclose};
    int rank = 0;
    hsize_t dims[2] = {0, 0};
    hsize_t chunk[2] = {0, 0};  // 0 when not chunked
};

// Opens the dataset at `path` as one that lives in this file, or returns
// false when there is no such link; throws for anything unusable.
// `what` names the dataset in the reasons.
bool open_grid(hid_t file, const char *path, const std::string &what,
               Grid &grid);

// Throws unless `grid` holds 32-bit floats.
void require_floats(const Grid &grid, const std::string &what);

// The number of nodes of `grid`, checked against the bounds: the grid's
// and the chunks'.
uint64_t checked_nodes(const Grid &grid, const std::string &what);

// The shape of the blocks in which `grid` is read: whole chunks side by
// side along a row of chunks, or whole rows (parts of a row) of an
// unchunked grid; at most `most` nodes unless one chunk is larger.
void block_shape(const Grid &grid, uint64_t most, hsize_t shape[2]);

// Reads the block of `count` (rows, cols) at `start` of `grid` into `out`
// in the memory type `type`; false when the library fails.
bool read_block(const Grid &grid, const hsize_t start[2],
                const hsize_t count[2], hid_t type, void *out);

// Written with comparisons only (a NaN fails both), which vectorise.
inline bool holds_data(float elevation)
{
    return std::fabs(elevation) <= std::numeric_limits<float>::max() &&
           elevation != no_data;
}

inline bool holds_uncertainty(float uncertainty)
{
    return std::fabs(uncertainty) <= std::numeric_limits<float>::max() &&
           uncertainty != no_data && uncertainty != 0.0f;
}

// Gathers the range, uncertainty and count of the nodes that hold data.
class Gatherer {
  public:
    explicit Gatherer(ElevationSummary &summary) : summary_(summary) {}

    // Marks the valid nodes of `block` in `valid` and counts them.  The
    // loops have no branch, so that the compiler can take several nodes
    // at once: a node without data takes part as +inf for the minimum and
    // -inf for the maximum.
    void gather(const float *elevation, const float *uncertainty, size_t n,
                unsigned char *valid)
    {
        constexpr float inf = std::numeric_limits<float>::infinity();
        float low = low_, high = high_;
        uint64_t count = 0;
        for (size_t i = 0; i < n; ++i) {
            const float value = elevation[i];
            const bool holds = holds_data(value);
            valid[i] = holds;
            count += holds;
            const float for_low = holds ? value : inf;
            const float for_high = holds ? value : -inf;
            low = for_low < low ? for_low : low;
            high = for_high > high ? for_high : high;
        }
        count_ += count;
        low_ = low;
        high_ = high;
        if (!uncertainty)
            return;
        low = uncertainty_low_;
        high = uncertainty_high_;
        for (size_t i = 0; i < n; ++i) {
            const float value = uncertainty[i];
            const bool holds = valid[i] && holds_uncertainty(value);
            const float for_low = holds ? value : inf;
            const float for_high = holds ? value : -inf;
            low = for_low < low ? for_low : low;
            high = for_high > high ? for_high : high;
        }
        uncertainty_low_ = low;
        uncertainty_high_ = high;
        have_uncertainty_ = low <= high;
    }

    void finish()
    {
        summary_.grid_read = true;
        summary_.valid_nodes = count_;
        summary_.has_range = count_ > 0;
        summary_.minimum = count_ ? low_ : 0.0;
        summary_.maximum = count_ ? high_ : 0.0;
        summary_.has_uncertainty = have_uncertainty_;
        summary_.uncertainty_minimum =
            have_uncertainty_ ? uncertainty_low_ : 0.0;
        summary_.uncertainty_maximum =
            have_uncertainty_ ? uncertainty_high_ : 0.0;
    }

  private:
    ElevationSummary &summary_;
    uint64_t count_ = 0;
    float low_ = std::numeric_limits<float>::infinity();
    float high_ = -std::numeric_limits<float>::infinity();
    bool have_uncertainty_ = false;
    float uncertainty_low_ = std::numeric_limits<float>::infinity();
    float uncertainty_high_ = -std::numeric_limits<float>::infinity();
};

// Passes over the refinements of a variable-resolution file, when it has
// a refinement index; `grid_rows` x `grid_cols` is the grid's shape.
void pass_refinements(hid_t file, uint64_t grid_rows, uint64_t grid_cols,
                      Gatherer &gatherer, NodeSink *sink);

}  // namespace grid_blocks
}  // namespace bathyra
