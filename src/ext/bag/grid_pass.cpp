// The pass over a BAG file's elevation grid and its refinements.
//
// Nodes are read in blocks that follow the dataset's chunks (whole chunks,
// as many side by side as fit the block bound), so that memory is bounded
// by a few chunks, whatever the size of the grid.  Every declared size (the
// grid, its chunks, the refinements a cell points to) is checked before
// anything of that size is allocated or read.  The elevation and
// uncertainty grids are read as 32-bit floats, their type in a BAG file.
#include "grid_pass.hpp"

#include <vector>

#include "grid_blocks.hpp"

namespace bathyra {

namespace {

using namespace grid_blocks;

// The pass over the nodes of the grid (and of the uncertainty grid beside
// it, when it has the same shape).
void pass_core(hid_t file, Gatherer &gatherer, NodeSink *sink, uint64_t &rows,
               uint64_t &cols)
{
    const std::string what =
        std::string("the elevation grid ") + elevation_path;
    Grid elevation;
    if (!open_grid(file, elevation_path, what, elevation))
        throw GridFault{std::string("no elevation grid ") + elevation_path};
    require_floats(elevation, what);
    checked_nodes(elevation, what);
    if (elevation.rank != 2)
        throw GridFault{what + " has 1 dimension, not two"};
    rows = elevation.dims[0];
    cols = elevation.dims[1];
    Grid uncertainty;
    const std::string uncertainty_what =
        std::string("the uncertainty grid ") + uncertainty_path;
    bool with_uncertainty =
        open_grid(file, uncertainty_path, uncertainty_what, uncertainty) &&
        uncertainty.rank == 2 && uncertainty.dims[0] == elevation.dims[0] &&
        uncertainty.dims[1] == elevation.dims[1];
    if (with_uncertainty) {
        require_floats(uncertainty, uncertainty_what);
        checked_nodes(uncertainty, uncertainty_what);
    }
    hsize_t shape[2];
    block_shape(elevation, max_block, shape);
    const size_t capacity =
        static_cast<size_t>(std::min(shape[0], elevation.dims[0]) *
                            std::min(shape[1], elevation.dims[1]));
    std::vector<float> values(capacity), errors;
    std::vector<unsigned char> valid(capacity);
    if (with_uncertainty)
        errors.resize(capacity);
    for (hsize_t row = 0; row < elevation.dims[0]; row += shape[0]) {
        for (hsize_t col = 0; col < elevation.dims[1]; col += shape[1]) {
            const hsize_t start[2] = {row, col};
            const hsize_t count[2] = {
                std::min(shape[0], elevation.dims[0] - row),
                std::min(shape[1], elevation.dims[1] - col)};
            if (!read_block(elevation, start, count, H5T_NATIVE_FLOAT,
                            values.data()))
                throw GridFault{what + " cannot be read (damaged or truncated "
                                       "file?)"};
            if (with_uncertainty &&
                !read_block(uncertainty, start, count, H5T_NATIVE_FLOAT,
                            errors.data()))
                throw GridFault{uncertainty_what +
                                " cannot be read (damaged or truncated "
                                "file?)"};
            const size_t n = static_cast<size_t>(count[0] * count[1]);
            const float *errors_read =
                with_uncertainty ? errors.data() : nullptr;
            gatherer.gather(values.data(), errors_read, n, valid.data());
            if (sink)
                sink->take(NodeBlock{row, col, count[0], count[1],
                                     values.data(), errors_read, valid.data(),
                                     false});
        }
    }
}

}  // namespace

void read_grid(hid_t file, ElevationSummary &summary, NodeSink *sink)
{
    Gatherer gatherer(summary);
    try {
        uint64_t rows = 0, cols = 0;
        pass_core(file, gatherer, sink, rows, cols);
        pass_refinements(file, rows, cols, gatherer, sink);
    } catch (const GridFault &fault) {
        summary.grid_problem = fault.reason;
        return;
    }
    gatherer.finish();
}

}  // namespace bathyra
