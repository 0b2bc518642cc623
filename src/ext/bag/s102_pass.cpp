// The pass over an S-102 instance's grid and its quality's row ids.
//
// The depth grid is a compound dataset; its blocks are read whole, in a
// memory type of the members used (depth, and uncertainty when present),
// and split into the separate arrays that a NodeBlock hands on.  The ids
// are read in the same blocks, as 32-bit unsigned integers, plain or as
// the one member of a compound.  Every declared size is checked before
// anything of that size is allocated.
#include "s102_pass.hpp"

#include <algorithm>
#include <cstdio>
#include <new>
#include <unordered_map>
#include <vector>

#include "grid_blocks.hpp"
#include "s102_blocks.hpp"
#include "s102_layout.hpp"

namespace bathyra {
namespace s102 {

namespace {

using namespace grid_blocks;
using hdf5::Handle;

// The most nodes of a block when the chunks allow fewer.
constexpr uint64_t block_nodes = uint64_t(1) << 20;

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// Whether the compound `type` has a member `name` of 32-bit floats.
bool has_float_member(hid_t type, const char *name)
{
    const int index = H5Tget_member_index(type, name);
    if (index < 0)
        return false;
    Handle member(H5Tget_member_type(type, static_cast<unsigned>(index)),
                  H5Tclose);
    return member.valid() && H5Tget_class(member.get()) == H5T_FLOAT &&
           H5Tget_size(member.get()) == 4;
}

// The memory type of the id grid: uint32, or a compound of its one
// integer member; throws for any other.
Handle id_type(const Grid &ids, const std::string &what)
{
    Handle type(H5Dget_type(ids.dataset.get()), H5Tclose);
    if (!type.valid())
        throw GridFault{what + " cannot be opened (damaged file?)"};
    if (H5Tget_class(type.get()) == H5T_INTEGER)
        return Handle(H5Tcopy(H5T_NATIVE_UINT32), H5Tclose);
    if (H5Tget_class(type.get()) == H5T_COMPOUND &&
        H5Tget_nmembers(type.get()) == 1 &&
        H5Tget_member_class(type.get(), 0) == H5T_INTEGER) {
        char *name = H5Tget_member_name(type.get(), 0);
        Handle memory(H5Tcreate(H5T_COMPOUND, 4), H5Tclose);
        const bool made =
            name && memory.valid() &&
            H5Tinsert(memory.get(), name, 0, H5T_NATIVE_UINT32) >= 0;
        H5free_memory(name);
        if (made)
            return memory;
    }
    throw GridFault{what + " does not hold integer row ids"};
}

}  // namespace

void pass_instance(hid_t file, const std::string &name,
                   const std::string &values_path, const std::string &ids_path,
                   NodeSink *sink, std::string &lines, LabelFootprints *labels,
                   const std::unordered_map<uint32_t, uint32_t> *label_of)
{
    const std::string what = "the depths of " + name;
    ElevationSummary summary;
    Gatherer gatherer(summary);
    std::unordered_map<uint32_t, IdNodes> by_id;
    std::string id_problem;
    try {
        Grid grid;
        if (!open_grid(file, values_path.c_str(), what, grid))
            throw GridFault{name + " has no grid " + values_path};
        checked_nodes(grid, what);
        if (grid.rank != 2)
            throw GridFault{what + " has 1 dimension, not two"};
        Handle type(H5Dget_type(grid.dataset.get()), H5Tclose);
        if (!type.valid() || H5Tget_class(type.get()) != H5T_COMPOUND ||
            !has_float_member(type.get(), depth_member))
            throw GridFault{what + " holds no 32-bit floating-point depth"};
        const bool with_uncertainty =
            has_float_member(type.get(), uncertainty_member);
        Handle memory(H5Tcreate(H5T_COMPOUND, with_uncertainty ? 8 : 4),
                      H5Tclose);
        if (!memory.valid() ||
            H5Tinsert(memory.get(), depth_member, 0, H5T_NATIVE_FLOAT) < 0 ||
            (with_uncertainty && H5Tinsert(memory.get(), uncertainty_member, 4,
                                           H5T_NATIVE_FLOAT) < 0))
            throw GridFault{what + " cannot be read (damaged file?)"};
        Grid ids;
        Handle ids_memory(H5I_INVALID_HID, H5Tclose);
        const std::string ids_what = "the quality's row ids " + ids_path;
        if (!ids_path.empty()) {
            try {
                if (!open_grid(file, ids_path.c_str(), ids_what, ids))
                    throw GridFault{"no grid of row ids " + ids_path};
                checked_nodes(ids, ids_what);
                if (ids.rank != 2 || ids.dims[0] != grid.dims[0] ||
                    ids.dims[1] != grid.dims[1])
                    throw GridFault{ids_what + " does not have the shape of " +
                                    what};
                ids_memory = id_type(ids, ids_what);
            } catch (const GridFault &fault) {
                id_problem = fault.reason;
            }
        }
        hsize_t shape[2];
        block_shape(grid, block_nodes, shape);
        const size_t capacity =
            static_cast<size_t>(std::min(shape[0], grid.dims[0]) *
                                std::min(shape[1], grid.dims[1]));
        const bool with_ids = ids_memory.valid();
        BlockTaker taker(gatherer, with_uncertainty, capacity, with_ids, sink,
                         labels, label_of);
        taker.ids_what = ids_what;
        {
            Pipeline pipeline(taker);
            for (hsize_t row = 0; row < grid.dims[0]; row += shape[0]) {
                for (hsize_t col = 0; col < grid.dims[1]; col += shape[1]) {
                    Block &block = pipeline.free_block();
                    block.row = row;
                    block.col = col;
                    block.rows = std::min(shape[0], grid.dims[0] - row);
                    block.cols = std::min(shape[1], grid.dims[1] - col);
                    block.pairs.resize(capacity * (with_uncertainty ? 2 : 1));
                    const hsize_t start[2] = {row, col};
                    const hsize_t count[2] = {block.rows, block.cols};
                    if (!read_block(grid, start, count, memory.get(),
                                    block.pairs.data()))
                        throw GridFault{what + " cannot be read (damaged or "
                                               "truncated file?)"};
                    if (with_ids) {
                        block.ids.resize(capacity);
                        block.ids_read =
                            read_block(ids, start, count, ids_memory.get(),
                                       block.ids.data());
                    }
                    if (!pipeline.hand())
                        throw std::bad_alloc();
                }
            }
            if (!pipeline.finish())
                throw std::bad_alloc();
        }
        by_id.swap(taker.by_id);
        if (id_problem.empty())
            id_problem = taker.id_problem;
    } catch (const GridFault &fault) {
        lines += "problem\t" + name + "\t" + fault.reason + "\n";
        return;
    }
    gatherer.finish();
    lines += "grid\t" + name + "\t" + std::to_string(summary.valid_nodes);
    for (int i = 0; i < 4; ++i) {
        const bool stated =
            i < 2 ? summary.has_range : summary.has_uncertainty;
        const double values[] = {summary.minimum, summary.maximum,
                                 summary.uncertainty_minimum,
                                 summary.uncertainty_maximum};
        lines += "\t" + (stated ? number(values[i]) : std::string());
    }
    lines += "\n";
    if (!id_problem.empty()) {
        lines += "problem\tquality\t" + name + ": " + id_problem + "\n";
        return;
    }
    if (ids_path.empty())
        return;
    lines += "ids\t" + name + "\n";
    std::vector<uint32_t> order;
    order.reserve(by_id.size());
    for (const auto &entry : by_id)
        order.push_back(entry.first);
    std::sort(order.begin(), order.end());
    for (uint32_t id : order) {
        const IdNodes &nodes = by_id[id];
        lines += "cells\t" + name + "\t" + std::to_string(id) + "\t" +
                 std::to_string(nodes.cells) + "\t" +
                 std::to_string(nodes.nodes) + "\t" +
                 (nodes.nodes ? number(nodes.low) : std::string()) + "\t" +
                 (nodes.nodes ? number(nodes.high) : std::string()) + "\n";
    }
}

}  // namespace s102
}  // namespace bathyra
