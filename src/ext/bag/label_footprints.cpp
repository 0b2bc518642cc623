// The label raster of LabelFootprints: the checks of its sizes, the
// choice of its cells (one byte up to 254 labels, else two), the marking
// of labels by block (the lowest label of a block wins; label_cells.hpp),
// the relabelling and coarsening, and the tracing within bounds of time
// and size; the tracing itself is label_ogr.cpp's.
#include "label_footprints.hpp"

#include <new>
#include <type_traits>

#include "footprint_tracer.hpp"
#include "label_cells.hpp"

namespace bathyra {

namespace {

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
    if (const char *problem =
            FootprintTracer::grid_problem(rows, cols, block)) {
        problem_ = problem;
        return;
    }
    if (max_label == 0 || max_label > max_labels) {
        problem_ = "more than " + std::to_string(max_labels) +
                   " source surveys, or none, to trace: no footprint";
        return;
    }
    mask_rows_ = FootprintTracer::blocks_of(rows, block);
    mask_cols_ = FootprintTracer::blocks_of(cols, block);
    if (!FootprintTracer::mask_fits(mask_rows_, mask_cols_)) {
        problem_ = "the grid of " + std::to_string(rows) + " x " +
                   std::to_string(cols) + " nodes is too large to trace in " +
                   blocks_text(block) + ": no footprint";
        mask_rows_ = mask_cols_ = 0;
        return;
    }
    wide_ = max_label >= label_cells::none<std::uint8_t>();
    try {
        with_cells([this](auto &cells) {
            cells.assign(std::size_t(mask_rows_ * mask_cols_), 0);
        });
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
    if (labels == nullptr || !FootprintTracer::piece_inside(
                                 rows_, cols_, row0, col0, height, width)) {
        refuse("a piece of the grid lies outside the grid: no footprint");
        return;
    }
    const label_cells::Marked marked = with_cells([&](auto &cells) {
        return label_cells::mark(cells, mask_cols_, block_, row0, col0, height,
                                 width, labels, max_label_, unlabelled, seen_);
    });
    any_cell_ = any_cell_ || marked.any;
    if (marked.highest > max_label_)
        refuse("a node of the grid belongs to source survey " +
               std::to_string(marked.highest) + " of " +
               std::to_string(max_label_) + ": no footprint");
}

void LabelFootprints::refuse(const std::string &why)
{
    problem_ = why;
    narrow_.clear();
    wide_cells_.clear();
    mask_rows_ = mask_cols_ = 0;
}

std::map<std::uint32_t, std::string>
LabelFootprints::geojson(const double geotransform[6], const std::string &crs,
                         std::map<std::uint32_t, std::string> &problems) const
{
    problems.clear();
    std::map<std::uint32_t, std::string> texts;
    if (problem_.empty() && !FootprintTracer::available()) {
        // The tracing says why it cannot run.
        trace_labels(nullptr, wide_, 0, 0, geotransform, nullptr, false, crs,
                     texts, problems);
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
            const void *cells =
                wide_ ? static_cast<const void *>(wide_cells_.data())
                      : narrow_.data();
            trace_labels(cells, wide_, mask_rows_, mask_cols_, cell, outline,
                         clip, crs, texts, problems);
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
        with_cells([&tracer](const auto &cells) { tracer.add_blocks(cells); });
    return tracer;
}

void LabelFootprints::relabel(const std::vector<std::uint32_t> &to)
{
    if (!problem_.empty())
        return;
    // A cell given stays given: a label dropped leaves it unlabelled.
    auto mapped = [this, &to](std::uint32_t label) -> std::uint32_t {
        if (label >= to.size())
            return label;
        return to[label] != 0 && to[label] <= max_label_ ? to[label]
                                                         : unlabelled;
    };
    with_cells([&mapped](auto &cells) {
        using Cell = typename std::decay_t<decltype(cells)>::value_type;
        label_cells::relabel(cells, [&mapped](Cell label) {
            const std::uint32_t to = mapped(label);
            return to == unlabelled ? label_cells::none<Cell>() : Cell(to);
        });
    });
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
        coarse.refuse(problem_);
        return coarse;
    }
    if (!coarse.problem_.empty())
        return coarse;
    const std::uint64_t f = coarse.block_ / block_;
    if (wide_)
        label_cells::coarsen(wide_cells_, mask_rows_, mask_cols_, f,
                             coarse.wide_cells_, coarse.mask_cols_);
    else
        label_cells::coarsen(narrow_, mask_rows_, mask_cols_, f,
                             coarse.narrow_, coarse.mask_cols_);
    coarse.any_cell_ = any_cell_;
    coarse.seen_ = seen_;
    return coarse;
}

std::uint64_t LabelFootprints::boundary_edges() const
{
    return with_cells([this](const auto &cells) {
        return label_cells::edges(cells, mask_rows_, mask_cols_);
    });
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
