// The georeferenced metadata layers of a BAG 2.0 file
// (/BAG_root/Georef_metadata, or /BAG_root/georef_metadata): each layer is
// a group with a key per node (`keys`, the grid's shape; `varres_keys`,
// one per refinement node) into a table (`values`) whose row 0 means "no
// data".  The keys are read in the blocks of the grid pass, as a NodeSink;
// the nodes that hold data are gathered by their combination of rows (one
// key per layer), with the range and count of their elevations.  Runs with
// the HDF5 library lock held and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "grid_pass.hpp"

namespace bathyra {

class LabelFootprints;

// The most distinct combinations of rows gathered; beyond it, none is.
constexpr size_t max_combinations = 4096;
// The most layers read; those beyond are named in a problem.
constexpr size_t max_layers = 32;
// The most nodes whose keys are read at once.
constexpr uint64_t window_nodes = uint64_t(1) << 16;

// Whether the file has a group of georeferenced metadata layers (reads no
// node).
bool has_georef_layers(hid_t file);

class GeorefLayers : public NodeSink {
  public:
    // Opens the layers of `file`; a layer that cannot be used is left out
    // with its reason.  Every block goes on to `next` too (when not null),
    // so that other sinks take the same pass.
    explicit GeorefLayers(hid_t file, NodeSink *next = nullptr);
    ~GeorefLayers() override;

    void take(const NodeBlock &block) override;

    // True when the file has layers that can be read.
    bool has_layers() const { return present_ && !layers_.empty(); }

    // From the next block on, labels each node of the grid (not the
    // refinements) that holds data in `labels` (max_combinations labels)
    // with its combination, or as unlabelled when it references none;
    // encode() then relabels them with the number of their record in the
    // answer (from 1), so that the footprints of the records, and of the
    // grid, can be traced from `labels` once the pass is over.
    void label_into(LabelFootprints *labels) { labels_ = labels; }

    // The combinations found, their rows' values and the problems, as text
    // for the caller (the format is described in georef_layers.cpp);
    // `grid_read` says whether the pass over the grid ended.
    std::string encode(bool grid_read);

    // The number of records encode() answered with.
    size_t records() const { return records_; }

  private:
    struct Layer;
    struct Nodes {
        uint64_t count = 0;
        float low = 0.0f, high = 0.0f;
        uint32_t label = 0;  // its label in labels_, from 1
    };
    using Keys = std::vector<uint32_t>;

    // A window of a block: whole rows of it, or a piece of one row (so
    // that its nodes follow each other).
    void take_window(const NodeBlock &block);
    void gather(const NodeBlock &block);
    std::map<Keys, Nodes> merged() const;
    Keys merged_keys(Keys keys) const;
    void relabel(const std::map<Keys, Nodes> &found);

    NodeSink *next_;
    bool present_ = false;
    uint64_t rows_ = 0, cols_ = 0;
    std::vector<std::unique_ptr<Layer>> layers_;
    std::vector<std::string> problems_;
    std::map<Keys, Nodes> combinations_;
    bool overflow_ = false;
    Keys scratch_;
    LabelFootprints *labels_ = nullptr;
    size_t records_ = 0;
    std::vector<uint32_t> node_labels_;  // of the window in gather()
};

}  // namespace bathyra
