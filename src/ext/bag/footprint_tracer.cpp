// The footprint tracer's mask: the checks of the grid's sizes, the marking
// of valid nodes by block, and the placement of the blocks handed to the
// tracing in footprint_ogr.cpp.
#include "footprint_tracer.hpp"

#include <cmath>
#include <new>

namespace bathyra {

// ceil(n / block), without overflow.
std::uint64_t FootprintTracer::blocks_of(std::uint64_t n, std::uint64_t block)
{
    return n / block + (n % block != 0 ? 1 : 0);
}

const char *FootprintTracer::grid_problem(std::uint64_t rows,
                                          std::uint64_t cols,
                                          std::uint64_t block)
{
    if (rows == 0 || cols == 0)
        return "the grid has no nodes: no footprint";
    if (block == 0)
        return "a block of zero nodes: no footprint";
    return nullptr;
}

bool FootprintTracer::mask_fits(std::uint64_t mask_rows,
                                std::uint64_t mask_cols)
{
    return mask_rows <= max_mask_cells && mask_cols <= max_mask_cells &&
           mask_cols <= max_mask_cells / mask_rows;
}

bool FootprintTracer::piece_inside(std::uint64_t rows, std::uint64_t cols,
                                   std::uint64_t row0, std::uint64_t col0,
                                   std::uint64_t height, std::uint64_t width)
{
    return row0 < rows && col0 < cols && height <= rows - row0 &&
           width <= cols - col0;
}

std::uint64_t FootprintTracer::block_for(std::uint64_t rows,
                                         std::uint64_t cols)
{
    if (rows == 0 || cols == 0)
        return 0;
    // Whether a block fits only gets truer as it grows: the smallest one
    // that fits, by bisection between 1 and the longer side (which fits).
    auto fits = [rows, cols](std::uint64_t block) {
        return mask_fits(blocks_of(rows, block), blocks_of(cols, block));
    };
    std::uint64_t low = 1, high = rows > cols ? rows : cols;
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (fits(middle))
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

FootprintTracer::FootprintTracer(std::uint64_t rows, std::uint64_t cols,
                                 std::uint64_t block)
    : rows_(rows), cols_(cols), block_(block)
{
    if (const char *problem = grid_problem(rows, cols, block)) {
        problem_ = problem;
        return;
    }
    mask_rows_ = blocks_of(rows, block);
    mask_cols_ = blocks_of(cols, block);
    if (!mask_fits(mask_rows_, mask_cols_)) {
        problem_ =
            "the grid of " + std::to_string(rows) + " x " +
            std::to_string(cols) + " nodes is too large to trace " +
            (block == 1 ? std::string("node by node")
                        : "in blocks of " + std::to_string(block) + " x " +
                              std::to_string(block) + " nodes") +
            ": no footprint (blocks of " +
            std::to_string(block_for(rows, cols)) + " nodes would do)";
        mask_rows_ = mask_cols_ = 0;
        return;
    }
    try {
        mask_.assign(std::size_t(mask_rows_ * mask_cols_), 0);
    } catch (const std::bad_alloc &) {
        problem_ = "not enough memory for the mask of valid nodes: no "
                   "footprint";
        mask_rows_ = mask_cols_ = 0;
    }
}

void FootprintTracer::add_chunk(std::uint64_t row0, std::uint64_t col0,
                                std::uint64_t height, std::uint64_t width,
                                const unsigned char *valid)
{
    if (!problem_.empty() || height == 0 || width == 0)
        return;
    if (valid == nullptr ||
        !piece_inside(rows_, cols_, row0, col0, height, width)) {
        problem_ = "a piece of the grid lies outside the grid: no footprint";
        mask_.clear();
        return;
    }
    unsigned char seen = 0;
    for (std::uint64_t r = 0; r < height; ++r) {
        const unsigned char *line = valid + r * width;
        unsigned char *cells =
            mask_.data() + ((row0 + r) / block_) * mask_cols_;
        if (block_ == 1) {
            unsigned char *out = cells + col0;
            for (std::uint64_t c = 0; c < width; ++c) {
                const unsigned char node = line[c] != 0;
                out[c] |= node;
                seen |= node;
            }
        } else {
            for (std::uint64_t c = 0; c < width; ++c) {
                if (line[c] != 0) {
                    cells[(col0 + c) / block_] = 1;
                    seen = 1;
                }
            }
        }
    }
    any_valid_ = any_valid_ || seen != 0;
}

template <class Cell>
void FootprintTracer::mark_blocks(const std::vector<Cell> &cells)
{
    if (!problem_.empty())
        return;
    if (cells.size() != mask_.size()) {
        problem_ = "the blocks given are not the grid's: no footprint";
        mask_.clear();
        mask_rows_ = mask_cols_ = 0;
        return;
    }
    unsigned char seen = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const unsigned char valid = cells[i] != 0;
        mask_[i] |= valid;
        seen |= valid;
    }
    any_valid_ = any_valid_ || seen != 0;
}

void FootprintTracer::add_blocks(const std::vector<std::uint8_t> &cells)
{
    mark_blocks(cells);
}

void FootprintTracer::add_blocks(const std::vector<std::uint16_t> &cells)
{
    mark_blocks(cells);
}

bool place_blocks(const double geotransform[6], std::uint64_t rows,
                  std::uint64_t cols, std::uint64_t block, double cell[6],
                  double outline[8], bool &clip, std::string &problem)
{
    for (int i = 0; i < 6; ++i) {
        if (!std::isfinite(geotransform[i])) {
            problem = "the grid's position or resolution is not a number: "
                      "no footprint";
            return false;
        }
    }
    const double det =
        geotransform[1] * geotransform[5] - geotransform[2] * geotransform[4];
    if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) {
        problem = "the grid's resolution is zero: no footprint";
        return false;
    }
    const double b = double(block);
    const double placed[6] = {geotransform[0],     geotransform[1] * b,
                              geotransform[2] * b, geotransform[3],
                              geotransform[4] * b, geotransform[5] * b};
    for (int i = 0; i < 6; ++i)
        cell[i] = placed[i];
    // The grid's own corners: blocks at the far edges may reach past them.
    const double c = double(cols), r = double(rows);
    const double corner[4][2] = {{0, 0}, {c, 0}, {c, r}, {0, r}};
    for (int i = 0; i < 4; ++i) {
        outline[2 * i] = geotransform[0] + corner[i][0] * geotransform[1] +
                         corner[i][1] * geotransform[2];
        outline[2 * i + 1] = geotransform[3] + corner[i][0] * geotransform[4] +
                             corner[i][1] * geotransform[5];
    }
    clip = rows % block != 0 || cols % block != 0;
    return true;
}

std::string FootprintTracer::geojson(const double geotransform[6],
                                     const std::string &crs,
                                     std::string &problem) const
{
    problem.clear();
    if (!problem_.empty()) {
        problem = problem_;
        return std::string();
    }
    if (!available()) {
        // The tracing says why it cannot run (no GDAL in the build, or a
        // library that did not load).
        trace_footprint(mask_, 0, 0, geotransform, nullptr, false, crs,
                        problem);
        return std::string();
    }
    double cell[6], outline[8];
    bool clip = false;
    if (!place_blocks(geotransform, rows_, cols_, block_, cell, outline, clip,
                      problem))
        return std::string();
    if (!any_valid_) {
        problem = "the grid has no valid node: no footprint";
        return std::string();
    }
    return trace_footprint(mask_, mask_rows_, mask_cols_, cell, outline, clip,
                           crs, problem);
}

FootprintTracer FootprintTracer::coarsened(std::uint64_t factor) const
{
    FootprintTracer coarse(rows_, cols_, block_ * (factor ? factor : 1));
    if (!problem_.empty()) {
        coarse.problem_ = problem_;
        coarse.mask_.clear();
        return coarse;
    }
    if (!coarse.problem_.empty())
        return coarse;
    const std::uint64_t f = coarse.block_ / block_;
    for (std::uint64_t r = 0; r < mask_rows_; ++r) {
        const unsigned char *line = mask_.data() + r * mask_cols_;
        unsigned char *out = coarse.mask_.data() + (r / f) * coarse.mask_cols_;
        for (std::uint64_t c = 0; c < mask_cols_; ++c)
            out[c / f] |= line[c];
    }
    coarse.any_valid_ = any_valid_;
    return coarse;
}

std::uint64_t FootprintTracer::boundary_edges() const
{
    std::uint64_t edges = 0;
    for (std::uint64_t r = 0; r < mask_rows_; ++r) {
        const unsigned char *line = mask_.data() + r * mask_cols_;
        const unsigned char *below =
            r + 1 < mask_rows_ ? line + mask_cols_ : nullptr;
        for (std::uint64_t c = 0; c < mask_cols_; ++c) {
            const unsigned char here = line[c];
            const unsigned char right = c + 1 < mask_cols_ ? line[c + 1] : 0;
            const unsigned char under = below ? below[c] : 0;
            edges += (here != right) + (here != under);
            if (c == 0)
                edges += here;
            if (r == 0)
                edges += here;
        }
    }
    return edges;
}

}  // namespace bathyra
