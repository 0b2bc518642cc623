// The blocks of the pass over an S-102 instance: what the reading thread
// reads into a block, what a worker does with it (BlockTaker), and the two
// blocks that pass between them in turn (Pipeline), so that the work on
// one block overlaps the reading and inflating of the next.  Nothing here
// calls HDF5; runs without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "grid_blocks.hpp"
#include "label_footprints.hpp"

namespace bathyra {
namespace s102 {

// The cells of one row id in an instance, and the depths of those that
// hold data.
struct IdNodes {
    uint64_t cells = 0, nodes = 0;
    float low = 0.0f, high = 0.0f;
};

// One block as the reading thread reads it: its place, the depths (and
// uncertainties) side by side, and the row ids when read.
struct Block {
    hsize_t row = 0, col = 0, rows = 0, cols = 0;
    std::vector<float> pairs;
    std::vector<uint32_t> ids;
    bool ids_read = false;
};

// What is done with each block, in the order of the blocks: the depths
// split from the uncertainties, gathered, the ids counted, the labels
// marked and the block handed to the sink.  With `labels`, every node
// that holds data is marked: label_of[its id], or `unlabelled` (no id,
// an id not in label_of, or no ids to read).  Calls nothing of HDF5.
class BlockTaker {
  public:
    BlockTaker(grid_blocks::Gatherer &gatherer, bool with_uncertainty,
               size_t capacity, bool with_ids, NodeSink *sink,
               LabelFootprints *labels,
               const std::unordered_map<uint32_t, uint32_t> *label_of)
        : gatherer_(gatherer), with_uncertainty_(with_uncertainty),
          with_ids_(with_ids), sink_(sink), labels_(labels),
          label_of_(label_of), valid_(capacity)
    {
        if (with_uncertainty) {
            depths_.resize(capacity);
            errors_.resize(capacity);
        }
        if (labels)
            marks_.resize(capacity);
    }

    void take(const Block &block);

    std::unordered_map<uint32_t, IdNodes> by_id;
    std::string id_problem;  // set when the ids' count stops
    std::string ids_what;

  private:
    void count_ids(const Block &block, const float *depth, size_t n);
    // Marks the valid nodes of `block` as unlabelled.
    void mark_unlabelled(const Block &block, size_t n);

    grid_blocks::Gatherer &gatherer_;
    bool with_uncertainty_, with_ids_;
    NodeSink *sink_;
    LabelFootprints *labels_;
    const std::unordered_map<uint32_t, uint32_t> *label_of_;
    std::vector<float> depths_, errors_;
    std::vector<unsigned char> valid_;
    std::vector<uint32_t> marks_;
    uint32_t last_id_ = 0, last_label_ = 0;
    IdNodes *last_ = nullptr;
};

// Two blocks in turn between the thread that reads them (the one that
// holds the HDF5 library's lock) and a worker that takes them.  Without a
// thread of its own the blocks are taken as they are read.
class Pipeline {
  public:
    explicit Pipeline(BlockTaker &taker) : taker_(taker)
    {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error &) {
            // Taken in the reading thread instead.
        }
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;
    ~Pipeline() { finish(); }

    // A block the worker is done with, to read into.
    Block &free_block()
    {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return !full_[next_] || failed_; });
        return blocks_[next_];
    }

    // Hands the block from free_block() on; false once taking failed.
    bool hand()
    {
        if (!worker_.joinable()) {
            taker_.take(blocks_[next_]);
            return true;
        }
        std::lock_guard<std::mutex> guard(lock_);
        full_[next_] = true;
        next_ = 1 - next_;
        changed_.notify_all();
        return !failed_;
    }

    // Waits until every block handed on is taken; false when taking
    // failed (no memory).
    bool finish()
    {
        if (worker_.joinable()) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                done_ = true;
                changed_.notify_all();
            }
            worker_.join();
        }
        return !failed_;
    }

  private:
    void work()
    {
        size_t at = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(lock_);
                changed_.wait(guard, [&] { return full_[at] || done_; });
                if (!full_[at])
                    return;
            }
            try {
                if (!failed_)
                    taker_.take(blocks_[at]);
            } catch (const std::exception &) {
                std::lock_guard<std::mutex> guard(lock_);
                failed_ = true;
            }
            std::lock_guard<std::mutex> guard(lock_);
            full_[at] = false;
            at = 1 - at;
            changed_.notify_all();
        }
    }

    BlockTaker &taker_;
    Block blocks_[2];
    bool full_[2] = {false, false};
    size_t next_ = 0;
    bool done_ = false, failed_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::thread worker_;
};

}  // namespace s102
}  // namespace bathyra
