// Footprints of the labelled parts of a grid: each node carries a label
// (1..max_label, 0 for none; the source survey it comes from, say) and
// each label that some node carries gets the area its nodes cover, as
// GeoJSON in longitude and latitude on WGS 84, traced as FootprintTracer
// traces a grid's valid nodes.  This file owns the interface and the label
// raster; the tracing (GDAL/OGR, one polygonization for every label) is in
// label_ogr.cpp.  Plain C++, no interpreter: it runs in the helper process.
//
// The raster is held at block resolution, as FootprintTracer's mask: one
// cell of two bytes per block of `block` x `block` nodes, at most
// FootprintTracer::max_mask_cells cells (32 MiB).  A block that holds
// nodes of several labels goes to the lowest of them (whatever the order
// of the pieces), so that the labels' footprints never overlap and
// together cover every block that holds a labelled node; at node
// resolution (block 1) each footprint is exactly its label's nodes.
//
// A node may also be `unlabelled`: it holds data but belongs to no label.
// It is in no label's footprint, but in the area of every node given
// (area()), a FootprintTracer of the same nodes: so one raster serves the
// grid's footprint and its parts', and the mask of the grid's footprint
// need not be held beside it while the grid is read.
//
// One object is not safe to use from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bathyra {

class FootprintTracer;

class LabelFootprints {
  public:
    // The highest label a raster holds (its cells are two bytes), and the
    // value of a node that holds data but has no label.
    static constexpr std::uint32_t max_labels = 65534;
    static constexpr std::uint32_t unlabelled = 65535;

    // A grid of rows x cols nodes whose labels run from 1 to max_label,
    // traced at `block` nodes per block side (1: node resolution).  Sizes
    // that are empty, overflow, give more than max_mask_cells cells, or a
    // max_label of 0 or above max_labels leave it refused: problem() says
    // why, add_chunk() does nothing and geojson() answers with nothing.
    LabelFootprints(std::uint64_t rows, std::uint64_t cols,
                    std::uint64_t block, std::uint32_t max_label);

    // Marks the labels of a height x width piece of the grid whose first
    // node is (row0, col0); `labels` is row-major, width values a row, 0
    // for a node without data, `unlabelled` for one of no label.  A piece
    // outside the grid, or a label above max_label (but `unlabelled`),
    // refuses the object.
    void add_chunk(std::uint64_t row0, std::uint64_t col0,
                   std::uint64_t height, std::uint64_t width,
                   const std::uint32_t *labels);

    // Each label that holds a cell, with its footprint's GeoJSON (a
    // Polygon or MultiPolygon, holes kept, simplified to within one block,
    // coordinates to 7 decimals), or with empty text and the reason in
    // `problems` (which gets an entry for exactly those labels).  What
    // costs every label (a refused object, no labelled cell, a CRS that
    // cannot be read, no GDAL) answers with nothing and puts its reason in
    // problems[0].  `geotransform` and `crs` are as for
    // FootprintTracer::geojson.
    std::map<std::uint32_t, std::string>
    geojson(const double geotransform[6], const std::string &crs,
            std::map<std::uint32_t, std::string> &problems) const;

    // A tracer of every node given (labelled or not) at the same block,
    // as if they had been handed to it; refused as this object is.
    FootprintTracer area() const;

    // Why the object was refused, or empty.
    const std::string &problem() const { return problem_; }

    // Gives each label `l` the label to[l] (0 leaves its nodes unlabelled;
    // a label beyond `to` keeps its own), keeping the lowest of those that
    // share a cell.
    void relabel(const std::vector<std::uint32_t> &to);

    // True when some node was given `label` (whether or not a cell kept
    // it: a label may lose every block it shares to lower ones).
    bool seen(std::uint32_t label) const
    {
        return label < seen_.size() && seen_[label];
    }

    // The same grid at `factor` times the block side (factor >= 1), each
    // of its cells taking the lowest label of the cells it covers.
    LabelFootprints coarsened(std::uint64_t factor) const;

    // The edges between cells of different labels (or the grid's edge)
    // that have a label on one side at least: what tracing costs.
    std::uint64_t boundary_edges() const;

    std::uint64_t block() const { return block_; }
    std::uint64_t mask_rows() const { return mask_rows_; }
    std::uint64_t mask_cols() const { return mask_cols_; }
    std::uint32_t max_label() const { return max_label_; }

  private:
    std::uint64_t rows_ = 0, cols_ = 0, block_ = 1;
    std::uint64_t mask_rows_ = 0, mask_cols_ = 0;
    std::uint32_t max_label_ = 0;
    std::vector<std::uint16_t> cells_;  // mask_rows_ x mask_cols_, 0 = none
    std::vector<bool> seen_;            // max_label_ + 1, by label
    bool any_cell_ = false;             // some node was given
    std::string problem_;
};

// The most edges between labels, and the most GeoJSON text of all labels
// together, that trace_labels_within traces at once.
constexpr std::uint64_t max_label_edges = std::uint64_t(1) << 20;
constexpr std::size_t max_label_text = std::size_t(4) << 20;

// `labels`' footprints within those bounds: traced again in blocks twice
// as coarse while the raster has more than max_label_edges edges or the
// texts together would exceed max_label_text.  `note` says in what blocks
// they were traced, why, and the rule of shared blocks, when in blocks
// ("" at node resolution); `labels` in blocks are taken to be in those
// of FootprintTracer::block_for, for grids of more than 16 M nodes.
std::map<std::uint32_t, std::string>
trace_labels_within(const LabelFootprints &labels,
                    const double geotransform[6], const std::string &crs,
                    std::map<std::uint32_t, std::string> &problems,
                    std::string &note);

// Traces each label of `cells` (rows x cols, at least one labelled; the
// cells `unlabelled` are left out) placed by `cell_geotransform`, clipped
// to `outline` when `clip` is set (as trace_footprint).  Defined in
// label_ogr.cpp.
void trace_labels(const std::vector<std::uint16_t> &cells, std::uint64_t rows,
                  std::uint64_t cols, const double cell_geotransform[6],
                  const double outline[8], bool clip, const std::string &crs,
                  std::map<std::uint32_t, std::string> &texts,
                  std::map<std::uint32_t, std::string> &problems);

}  // namespace bathyra
