// The footprint in the grid pass: the request's decoding, the sink over
// the tracer, and the retracing in coarser blocks when the footprint
// would be too costly or too large.
#include "footprint_pass.hpp"

#include <cstring>

namespace bathyra {

namespace {

std::uint64_t big_endian(const unsigned char *bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// `text` without tabs and line breaks (control characters are blanks).
std::string blanked(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return text;
}

std::string blocks_text(std::uint64_t block)
{
    const std::string side = std::to_string(block);
    return "blocks of " + side + " x " + side + " nodes";
}

}  // namespace

bool decode_footprint_request(const unsigned char *data, std::size_t size,
                              FootprintRequest &request)
{
    constexpr std::size_t fixed = 8 + 8 + 6 * 8 + 4;
    if (size < fixed)
        return false;
    request.rows = big_endian(data, 8);
    request.cols = big_endian(data + 8, 8);
    for (int i = 0; i < 6; ++i) {
        const std::uint64_t bits = big_endian(data + 16 + 8 * i, 8);
        std::memcpy(&request.geotransform[i], &bits, sizeof bits);
    }
    const std::uint64_t length = big_endian(data + 64, 4);
    if (length != size - fixed)
        return false;
    request.crs.assign(reinterpret_cast<const char *>(data + fixed),
                       static_cast<std::size_t>(length));
    return true;
}

FootprintSink::FootprintSink(const FootprintRequest &request)
    : request_(request)
{
    const std::uint64_t block =
        FootprintTracer::block_for(request.rows, request.cols);
    block_ = block ? block : 1;
    tracer_ =
        std::make_unique<FootprintTracer>(request.rows, request.cols, block_);
}

void FootprintSink::take(const NodeBlock &block)
{
    if (block.refined)
        return;
    seen_rows_ = std::max(seen_rows_, block.row + block.rows);
    seen_cols_ = std::max(seen_cols_, block.col + block.cols);
    if (tracer_ && block.row + block.rows <= request_.rows &&
        block.col + block.cols <= request_.cols)
        tracer_->add_chunk(block.row, block.col, block.rows, block.cols,
                           block.valid);
}

std::string FootprintSink::unusable(const std::string &grid_problem) const
{
    if (!grid_problem.empty())
        return "the grid could not be read to its end: no footprint";
    if (seen_rows_ != request_.rows || seen_cols_ != request_.cols)
        return "the metadata gives a grid of " +
               std::to_string(request_.rows) + " rows by " +
               std::to_string(request_.cols) + " columns, the file holds " +
               std::to_string(seen_rows_) + " by " +
               std::to_string(seen_cols_) + ": no footprint";
    return std::string();
}

std::string FootprintSink::trace(const std::string &grid_problem,
                                 std::string &notes)
{
    std::string refused;
    if (labels_) {
        // The surveys' footprints first, then the mask of the nodes given
        // a label (the valid nodes) in place of the labels: the two
        // tracings do not hold the labels' polygons and the mask's at once.
        source_lines_ = trace_sources(grid_problem);
        refused = labels_->problem();
        if (refused.empty())
            tracer_ = std::make_unique<FootprintTracer>(labels_->area());
        labels_.reset();
    }
    notes = unusable(grid_problem);
    if (notes.empty())
        notes = refused;
    if (!notes.empty())
        return std::string();
    std::string problem;
    const FootprintTracer &mask = *tracer_;
    if (!mask.problem().empty()) {
        notes = mask.problem();
        return std::string();
    }
    std::string why;
    if (mask.block() > 1)
        why = "the grid has more than 16 million nodes";
    // Coarser blocks until the tracing is cheap enough and its text small
    // enough; the mask shrinks fourfold each time, so this ends.
    const FootprintTracer *current = &mask;
    std::unique_ptr<FootprintTracer> coarse;
    for (;;) {
        if (current->boundary_edges() > max_traced_edges &&
            current->mask_rows() * current->mask_cols() > 1) {
            why = "the valid nodes have too ragged an outline to trace "
                  "finer";
        } else {
            std::string text =
                current->geojson(request_.geotransform, request_.crs, problem);
            if (text.empty()) {
                notes = problem;
                return std::string();
            }
            if (text.size() <= max_footprint_text) {
                if (current->block() > 1)
                    notes = "footprint traced in " +
                            blocks_text(current->block()) + " (" + why + ")";
                return text;
            }
            why = "node by node its outline would take more than 1 MiB";
            if (current->block() > 1)
                why = "in " + blocks_text(current->block()) +
                      " its outline would take more than 1 MiB";
        }
        coarse = std::make_unique<FootprintTracer>(current->coarsened(2));
        current = coarse.get();
        if (!current->problem().empty()) {
            notes = current->problem();
            return std::string();
        }
    }
}

LabelFootprints *FootprintSink::source_labels(std::uint32_t max_label)
{
    if (!labels_) {
        labels_ = std::make_unique<LabelFootprints>(
            request_.rows, request_.cols, block_, max_label);
        // The labels hold the grid's area too: the mask is not needed.
        tracer_.reset();
    }
    return labels_.get();
}

std::string FootprintSink::trace_sources(const std::string &grid_problem) const
{
    if (source_surveys_ == 0 || !labels_)
        return std::string();
    std::map<std::uint32_t, std::string> problems, texts;
    std::string note, why = unusable(grid_problem);
    if (why.empty())
        texts = trace_labels_within(*labels_, request_.geotransform,
                                    request_.crs, problems, note);
    const auto all = problems.find(0);
    if (why.empty() && all != problems.end())
        why = all->second;
    std::string out;
    for (std::uint32_t n = 1; n <= source_surveys_; ++n) {
        const std::string number = std::to_string(n);
        const auto text = texts.find(n);
        if (text != texts.end()) {
            out += "footprint\t" + number + "\t" + blanked(note) + "\t" +
                   blanked(text->second) + "\n";
            continue;
        }
        const auto problem = problems.find(n);
        std::string reason = why;
        if (reason.empty() && problem != problems.end())
            reason = problem->second;
        if (reason.empty() && labels_->seen(n))
            reason = "its nodes lie only in blocks of the grid that count "
                     "for source surveys listed before it (footprints are "
                     "traced in blocks of several nodes): no footprint";
        if (reason.empty())
            reason = "none of its nodes is a node of the grid (only of its "
                     "refinements), from which footprints are traced: no "
                     "footprint";
        out += "nofootprint\t" + number + "\t" + blanked(reason) + "\n";
    }
    return out;
}

}  // namespace bathyra
