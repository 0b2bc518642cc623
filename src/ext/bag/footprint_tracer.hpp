// The footprint of a grid: the area its valid nodes cover, traced from the
// mask of valid nodes and given as a GeoJSON geometry in longitude and
// latitude on WGS 84.  This file owns the interface and the mask (with
// the checks of sizes that LabelFootprints' raster shares); the tracing
// itself (GDAL/OGR, with GEOS and PROJ behind it) is in footprint_ogr.cpp.
// Plain C++, no interpreter: it runs in the helper process that reads BAG
// files.
//
// The mask is held at block resolution: a block of `block` x `block` nodes
// is valid when any node in it is valid, so that it takes
// ceil(rows / block) * ceil(cols / block) bytes, at most max_mask_cells.
//
// One tracer is not safe to use from two threads at once; separate tracers
// are (GDAL's error state and PROJ contexts are per thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bathyra {

class FootprintTracer {
  public:
    // The largest mask traced, in cells (blocks): 4096 x 4096.
    static constexpr std::uint64_t max_mask_cells = std::uint64_t(1) << 24;

    // The smallest block side that keeps the mask of a rows x cols grid
    // within max_mask_cells (1 for grids up to that many nodes), or 0 for
    // an empty grid.
    static std::uint64_t block_for(std::uint64_t rows, std::uint64_t cols);

    // The checks of a rows x cols grid in blocks of `block` nodes a side
    // that the mask and LabelFootprints' raster share.
    // The blocks along a side of `n` nodes (block > 0).
    static std::uint64_t blocks_of(std::uint64_t n, std::uint64_t block);
    // Why the grid cannot be traced at all (no nodes, or blocks of none),
    // or null.
    static const char *grid_problem(std::uint64_t rows, std::uint64_t cols,
                                    std::uint64_t block);
    // Whether mask_rows x mask_cols cells (mask_rows > 0) are no more than
    // max_mask_cells.
    static bool mask_fits(std::uint64_t mask_rows, std::uint64_t mask_cols);
    // Whether the height x width piece from node (row0, col0) lies inside
    // the grid.
    static bool piece_inside(std::uint64_t rows, std::uint64_t cols,
                             std::uint64_t row0, std::uint64_t col0,
                             std::uint64_t height, std::uint64_t width);

    // True when built with GDAL; otherwise geojson() always says so.
    static bool available();

    // A grid of rows x cols nodes, traced at `block` nodes per block side
    // (1: node resolution).  Sizes that are empty, overflow or give a mask
    // larger than max_mask_cells leave the tracer refused: problem() says
    // why, add_chunk() does nothing and geojson() answers with the problem.
    FootprintTracer(std::uint64_t rows, std::uint64_t cols,
                    std::uint64_t block);

    // Marks the valid nodes of a height x width piece of the grid whose
    // first node is (row0, col0); `valid` is row-major, width bytes a row,
    // nonzero for a valid node.  A piece that does not lie inside the grid
    // refuses the tracer.
    void add_chunk(std::uint64_t row0, std::uint64_t col0,
                   std::uint64_t height, std::uint64_t width,
                   const unsigned char *valid);

    // Marks the blocks whose cell of `cells` (mask_rows() x mask_cols()
    // of them, row-major) is nonzero, as if a node in each were valid;
    // cells of another count refuse the tracer.
    void add_blocks(const std::vector<std::uint8_t> &cells);
    void add_blocks(const std::vector<std::uint16_t> &cells);

    // The footprint as GeoJSON text (a Polygon or MultiPolygon, holes kept,
    // simplified to within one block, coordinates to 7 decimals), or empty
    // with `problem` set.
    //
    // `geotransform` places the node grid as GDAL's geotransforms do, with
    // (col, row) the continuous node coordinates of the grid (the node
    // (0, 0) covers [0, 1) x [0, 1)):
    //   x = gt[0] + col * gt[1] + row * gt[2]
    //   y = gt[3] + col * gt[4] + row * gt[5]
    // For a BAG in its own row order (row 0 the southernmost, as the file
    // stores it) that is {west - dx / 2, dx, 0, south - dy / 2, 0, dy},
    // from the south-west corner point (a node's centre) and the
    // resolutions: gt[5] is positive.  GDAL's BAG driver shows the rows
    // north first (gt[5] negative); a mask given in that order with that
    // geotransform traces the same footprint.
    // `crs` is the grid's horizontal CRS as WKT, or an EPSG code
    // ("EPSG:32618" or "32618").
    std::string geojson(const double geotransform[6], const std::string &crs,
                        std::string &problem) const;

    // Why the tracer was refused, or empty.
    const std::string &problem() const { return problem_; }

    // The same grid at `factor` times the block side (factor >= 1), its
    // blocks marked from this tracer's mask; a refused tracer stays so.
    FootprintTracer coarsened(std::uint64_t factor) const;

    // The edges between a valid and an invalid block (or the grid's edge)
    // in the mask: what the tracing's cost grows with.
    std::uint64_t boundary_edges() const;

    std::uint64_t block() const { return block_; }
    std::uint64_t mask_rows() const { return mask_rows_; }
    std::uint64_t mask_cols() const { return mask_cols_; }

  private:
    template <class Cell> void mark_blocks(const std::vector<Cell> &cells);

    std::uint64_t rows_ = 0, cols_ = 0, block_ = 1;
    std::uint64_t mask_rows_ = 0, mask_cols_ = 0;
    std::vector<unsigned char> mask_;  // mask_rows_ x mask_cols_, 1 = valid
    bool any_valid_ = false;
    std::string problem_;
};

// Checks `geotransform` (finite, resolution not zero) and gives the
// geotransform of a rows x cols grid's blocks of `block` nodes, the grid's
// four corners, and whether the blocks reach past them (`clip`); false
// with `problem` set when the geotransform cannot place a footprint.
bool place_blocks(const double geotransform[6], std::uint64_t rows,
                  std::uint64_t cols, std::uint64_t block, double cell[6],
                  double outline[8], bool &clip, std::string &problem);

// Traces `mask` (rows x cols cells, 1 = valid, at least one valid) placed
// by `cell_geotransform`, clipped to `outline` (the grid's corners, four
// x, y pairs) when `clip` is set.  Returns GeoJSON or empty with `problem`
// set.  Defined in footprint_ogr.cpp.
std::string trace_footprint(const std::vector<unsigned char> &mask,
                            std::uint64_t rows, std::uint64_t cols,
                            const double cell_geotransform[6],
                            const double outline[8], bool clip,
                            const std::string &crs, std::string &problem);

}  // namespace bathyra
