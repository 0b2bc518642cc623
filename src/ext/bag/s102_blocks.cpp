// The work on each block of an S-102 instance's pass.
#include "s102_blocks.hpp"

#include <algorithm>

#include "s102_layout.hpp"

namespace bathyra {
namespace s102 {

void BlockTaker::take(const Block &block)
{
    const size_t n = static_cast<size_t>(block.rows * block.cols);
    const float *depth = block.pairs.data();
    const float *error = nullptr;
    if (with_uncertainty_) {
        for (size_t i = 0; i < n; ++i) {
            depths_[i] = block.pairs[2 * i];
            errors_[i] = block.pairs[2 * i + 1];
        }
        depth = depths_.data();
        error = errors_.data();
    }
    gatherer_.gather(depth, error, n, valid_.data());
    if (with_ids_ && id_problem.empty() && !block.ids_read)
        id_problem = ids_what + " cannot be read (damaged or truncated "
                                "file?)";
    if (with_ids_ && id_problem.empty())
        count_ids(block, depth, n);
    if (!marks_.empty() && (!with_ids_ || !id_problem.empty()))
        mark_unlabelled(block, n);
    if (sink_)
        sink_->take(NodeBlock{block.row, block.col, block.rows, block.cols,
                              depth, error, valid_.data(), false});
}

void BlockTaker::count_ids(const Block &block, const float *depth, size_t n)
{
    const bool marking = !marks_.empty();
    const uint32_t unlabelled = LabelFootprints::unlabelled;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t id = block.ids[i];
        if (marking)
            marks_[i] = valid_[i] ? unlabelled : 0;
        if (id == 0)
            continue;
        if (!last_ || id != last_id_) {
            if (by_id.size() >= max_ids && by_id.find(id) == by_id.end()) {
                id_problem = ids_what + " holds more than " +
                             std::to_string(max_ids) +
                             " different ids; none is read";
                return;  // the block's nodes are marked unlabelled
            }
            last_ = &by_id[id];
            last_id_ = id;
            if (marking) {
                last_label_ = unlabelled;
                if (label_of_) {
                    const auto found = label_of_->find(id);
                    if (found != label_of_->end())
                        last_label_ = found->second;
                }
            }
        }
        ++last_->cells;
        if (!valid_[i])
            continue;
        if (marking)
            marks_[i] = last_label_;
        const float value = depth[i];
        if (last_->nodes++ == 0) {
            last_->low = last_->high = value;
        } else {
            last_->low = std::min(last_->low, value);
            last_->high = std::max(last_->high, value);
        }
    }
    if (marking)
        labels_->add_chunk(block.row, block.col, block.rows, block.cols,
                           marks_.data());
}

void BlockTaker::mark_unlabelled(const Block &block, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        marks_[i] = valid_[i] ? LabelFootprints::unlabelled : 0;
    labels_->add_chunk(block.row, block.col, block.rows, block.cols,
                       marks_.data());
}

}  // namespace s102
}  // namespace bathyra
