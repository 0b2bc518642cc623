// The label raster of LabelFootprints: the checks of its sizes, the
// marking of labels by block (the lowest label of a block wins), the
// relabelling and coarsening, and the tracing within bounds of time and
// size; the tracing itself is label_ogr.cpp's.
#include "label_footprints.hpp"

#include <new>

#include "footprint_tracer.hpp"

namespace bathyra {

namespace {

// ceil(n / d) for d > 0, without overflow.
std::uint64_t blocks_of(std::uint64_t n, std::uint64_t d)
{
    return n / d + (n % d != 0 ? 1 : 0);
}

// `cell` given `label` too: the lower of the two labels, 0 being none
// (and `unlabelled`, the highest, giving way to any label).
inline void lowest(std::uint16_t &cell, std::uint16_t label)
{
    if (label != 0 && (cell == 0 || label < cell))
        cell = label;
}

std::string blocks_text(std::uint64_t block)
{
    const std::string side = std::to_string(block);
    return "blocks of " + side + " x " + side + " nodes";
}

}  // namespace

LabelFootprints::LabelFootprints(std::uint64_t rows, std::uint64_t cols,
                                 std::uint64_t block, std::uint32_t max_label)
    : rows_(rows), cols_(cols), block_(block), max_label_(max_label)
{
    if (rows == 0 || cols == 0) {
        problem_ = "the grid has no nodes: no footprint";
        return;
    }
    if (block == 0) {
        problem_ = "a block of zero nodes: no footprint";
        return;
    }
    if (max_label == 0 || max_label > max_labels) {
        problem_ = "more than " + std::to_string(max_labels) +
                   " source surveys, or none, to trace: no footprint";
        return;
    }
    mask_rows_ = blocks_of(rows, block);
    mask_cols_ = blocks_of(cols, block);
    const std::uint64_t most = FootprintTracer::max_mask_cells;
    if (mask_rows_ > most || mask_cols_ > most ||
        mask_cols_ > most / mask_rows_) {
        problem_ = "the grid of " + std::to_string(rows) + " x " +
                   std::to_string(cols) + " nodes is too large to trace in " +
                   blocks_text(block) + ": no footprint";
        mask_rows_ = mask_cols_ = 0;
        return;
    }
    try {
        cells_.assign(std::size_t(mask_rows_ * mask_cols_), 0);
        seen_.assign(max_label + 1, false);
    } catch (const std::bad_alloc &) {
        problem_ = "not enough memory for the source surveys' nodes: no "
                   "footprint";
        mask_rows_ = mask_cols_ = 0;
    }
}

void LabelFootprints::add_chunk(std::uint64_t row0, std::uint64_t col0,
                                std::uint64_t height, std::uint64_t width,
                                const std::uint32_t *labels)
{
    if (!problem_.empty() || height == 0 || width == 0)
        return;
    if (labels == nullptr || row0 >= rows_ || col0 >= cols_ ||
        height > rows_ - row0 || width > cols_ - col0) {
        problem_ = "a piece of the grid lies outside the grid: no footprint";
        cells_.clear();
        mask_rows_ = mask_cols_ = 0;
        return;
    }
    std::uint32_t highest = 0, last = 0;
    for (std::uint64_t r = 0; r < height; ++r) {
        const std::uint32_t *line = labels + r * width;
        std::uint16_t *cells =
            cells_.data() + ((row0 + r) / block_) * mask_cols_;
        for (std::uint64_t c = 0; c < width; ++c) {
            std::uint32_t label = line[c];
            if (label == 0)
                continue;
            if (label != last) {  // neighbours mostly share their label
                last = label;
                if (label != unlabelled) {
                    highest = label > highest ? label : highest;
                    if (label <= max_label_)
                        seen_[label] = true;
                }
            }
            if (label > max_label_)
                label = unlabelled;
            lowest(cells[(col0 + c) / block_], std::uint16_t(label));
            any_cell_ = true;
        }
    }
    if (highest > max_label_) {
        problem_ = "a node of the grid belongs to source survey " +
                   std::to_string(highest) + " of " +
                   std::to_string(max_label_) + ": no footprint";
        cells_.clear();
        mask_rows_ = mask_cols_ = 0;
    }
}

std::map<std::uint32_t, std::string>
LabelFootprints::geojson(const double geotransform[6], const std::string &crs,
                         std::map<std::uint32_t, std::string> &problems) const
{
    problems.clear();
    std::map<std::uint32_t, std::string> texts;
    if (problem_.empty() && !FootprintTracer::available()) {
        // The tracing says why it cannot run.
        trace_labels(cells_, 0, 0, geotransform, nullptr, false, crs, texts,
                     problems);
        return texts;
    }
    bool any = false;
    for (std::uint32_t label = 1; label < seen_.size() && !any; ++label)
        any = seen_[label];
    std::string why = problem_;
    double cell[6], outline[8];
    bool clip = false;
    if (why.empty() && place_blocks(geotransform, rows_, cols_, block_, cell,
                                    outline, clip, why)) {
        if (any) {
            trace_labels(cells_, mask_rows_, mask_cols_, cell, outline, clip,
                         crs, texts, problems);
            return texts;
        }
        why = "no node of the grid belongs to a source survey: no "
              "footprint";
    }
    problems[0] = why;
    return texts;
}

FootprintTracer LabelFootprints::area() const
{
    FootprintTracer tracer(problem_.empty() ? rows_ : 0, cols_, block_);
    if (problem_.empty() && any_cell_)
        tracer.add_blocks(cells_);
    return tracer;
}

void LabelFootprints::relabel(const std::vector<std::uint32_t> &to)
{
    if (!problem_.empty())
        return;
    // A cell given stays given: a label dropped leaves it unlabelled.
    auto mapped = [this, &to](std::uint32_t label) -> std::uint32_t {
        if (label == 0 || label == unlabelled || label >= to.size())
            return label;
        return to[label] != 0 && to[label] <= max_label_ ? to[label]
                                                         : unlabelled;
    };
    for (std::uint16_t &cell : cells_)
        cell = std::uint16_t(mapped(cell));
    std::vector<bool> seen(seen_.size(), false);
    for (std::uint32_t label = 1; label < seen_.size(); ++label) {
        const std::uint32_t to_label = mapped(label);
        if (seen_[label] && to_label < seen.size())
            seen[to_label] = true;
    }
    seen_.swap(seen);
}

LabelFootprints LabelFootprints::coarsened(std::uint64_t factor) const
{
    LabelFootprints coarse(rows_, cols_, block_ * (factor ? factor : 1),
                           max_label_);
    if (!problem_.empty()) {
        coarse.problem_ = problem_;
        coarse.cells_.clear();
        return coarse;
    }
    if (!coarse.problem_.empty())
        return coarse;
    const std::uint64_t f = coarse.block_ / block_;
    for (std::uint64_t r = 0; r < mask_rows_; ++r) {
        const std::uint16_t *line = cells_.data() + r * mask_cols_;
        std::uint16_t *out =
            coarse.cells_.data() + (r / f) * coarse.mask_cols_;
        for (std::uint64_t c = 0; c < mask_cols_; ++c)
            lowest(out[c / f], line[c]);
    }
    coarse.any_cell_ = any_cell_;
    coarse.seen_ = seen_;
    return coarse;
}

std::uint64_t LabelFootprints::boundary_edges() const
{
    std::uint64_t edges = 0;
    for (std::uint64_t r = 0; r < mask_rows_; ++r) {
        const std::uint16_t *line = cells_.data() + r * mask_cols_;
        const std::uint16_t *below =
            r + 1 < mask_rows_ ? line + mask_cols_ : nullptr;
        for (std::uint64_t c = 0; c < mask_cols_; ++c) {
            const std::uint16_t here = line[c];
            const std::uint16_t right = c + 1 < mask_cols_ ? line[c + 1] : 0;
            const std::uint16_t under = below ? below[c] : 0;
            edges += (here != right) + (here != under);
            if (c == 0)
                edges += here != 0;
            if (r == 0)
                edges += here != 0;
        }
    }
    return edges;
}

std::map<std::uint32_t, std::string>
trace_labels_within(const LabelFootprints &labels,
                    const double geotransform[6], const std::string &crs,
                    std::map<std::uint32_t, std::string> &problems,
                    std::string &note)
{
    note.clear();
    std::string why;
    if (labels.block() > 1)
        why = "the grid has more than 16 million nodes";
    const LabelFootprints *current = &labels;
    LabelFootprints coarse(0, 0, 1, 1);
    // Each coarsening shrinks the raster fourfold, so this ends.
    for (;;) {
        if (current->boundary_edges() > max_label_edges &&
            current->mask_rows() * current->mask_cols() > 1) {
            why = "the source surveys have too ragged outlines to trace "
                  "finer";
        } else {
            std::map<std::uint32_t, std::string> texts =
                current->geojson(geotransform, crs, problems);
            std::size_t size = 0;
            for (const auto &entry : texts)
                size += entry.second.size();
            if (size <= max_label_text) {
                if (current->block() > 1)
                    note = "footprint traced in " +
                           blocks_text(current->block()) + " (" + why +
                           "); a block that holds nodes of several source "
                           "surveys counts for the first of them";
                return texts;
            }
            why = "in " + blocks_text(current->block()) +
                  " their outlines would take more than " +
                  std::to_string(max_label_text >> 20) + " MiB";
        }
        coarse = current->coarsened(2);
        current = &coarse;
        if (!current->problem().empty()) {
            problems.clear();
            problems[0] = current->problem();
            return {};
        }
    }
}

}  // namespace bathyra
