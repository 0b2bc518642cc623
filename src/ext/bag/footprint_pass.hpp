// The footprint of a BAG file in the grid pass: the grid's georeferencing
// as the caller sends it with a grid request, the sink that hands the
// pass's blocks to a FootprintTracer, and the tracing within bounds of
// time and size; then the footprints of its source surveys, from the
// labels that GeorefLayers gives the nodes.  Plain C++ over
// bathyra_footprint; no interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "footprint_tracer.hpp"
#include "grid_pass.hpp"
#include "label_footprints.hpp"

namespace bathyra {

// Where the metadata places the grid: its size, the geotransform of its
// nodes in the file's row order (see FootprintTracer::geojson) and its
// horizontal CRS (WKT or an EPSG code).
struct FootprintRequest {
    std::uint64_t rows = 0, cols = 0;
    double geotransform[6] = {0, 0, 0, 0, 0, 0};
    std::string crs;
};

// Reads a request from `size` bytes: rows and columns (8 bytes each), six
// IEEE doubles, the CRS's length (4 bytes) and text, all big-endian; false
// when the bytes do not hold exactly that.
bool decode_footprint_request(const unsigned char *data, std::size_t size,
                              FootprintRequest &request);

// The largest GeoJSON text sent back, in bytes, and the most edges between
// valid and invalid blocks traced at once; beyond either the mask is
// traced again in coarser blocks.
constexpr std::size_t max_footprint_text = std::size_t(1) << 20;
constexpr std::uint64_t max_traced_edges = std::uint64_t(1) << 18;

// Takes the blocks of the grid (not the refinements) into a tracer of the
// size the metadata gives, at node resolution up to 16 M nodes and in
// blocks above that; notes the size the file's grid actually has.
class FootprintSink : public NodeSink {
  public:
    explicit FootprintSink(const FootprintRequest &request);
    void take(const NodeBlock &block) override;

    // The footprint's GeoJSON, or empty; `notes` says how it was traced
    // (coarser blocks) or why there is none, in words.  `grid_problem`
    // is the pass's own reason for stopping ("" when it ended).  With
    // source surveys, theirs are traced first (source_lines()), and the
    // labels freed before the footprint's mask is traced.
    std::string trace(const std::string &grid_problem, std::string &notes);

    // The labels of the grid's nodes by source survey (1 to `max_label`,
    // LabelFootprints::unlabelled for a node that holds data but belongs
    // to none), at the footprint's block, made on the first call, before
    // the pass: from then on the footprint is traced from them (their
    // area), and the sink holds no mask of its own while the grid is read.
    LabelFootprints *source_labels(std::uint32_t max_label);

    // How many source surveys the labels are numbered for (from 1).
    void set_source_surveys(std::size_t count) { source_surveys_ = count; }

    // After trace(): the source surveys' footprints as lines of
    // tab-separated fields, one for each survey N from 1:
    //   footprint    N  NOTE  GEOJSON   (NOTE: how it was traced, or "")
    //   nofootprint  N  REASON
    // "" when there are no source surveys.
    const std::string &source_lines() const { return source_lines_; }

  private:
    // Why the grid's blocks cannot give a footprint, or "".
    std::string unusable(const std::string &grid_problem) const;
    // The lines of source_lines(), traced from the labels.
    std::string trace_sources(const std::string &grid_problem) const;

    FootprintRequest request_;
    std::unique_ptr<FootprintTracer> tracer_;
    std::uint64_t block_ = 1;
    std::uint64_t seen_rows_ = 0, seen_cols_ = 0;
    std::unique_ptr<LabelFootprints> labels_;
    std::size_t source_surveys_ = 0;
    std::string source_lines_;
};

}  // namespace bathyra
