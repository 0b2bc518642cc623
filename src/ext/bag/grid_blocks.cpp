// The grid datasets of a BAG file: opened as data of this file only, with
// their declared sizes checked, and read block by block in blocks of whole
// chunks.
#include "grid_blocks.hpp"

namespace bathyra {
namespace grid_blocks {

using hdf5::Handle;

// Opens the dataset at `path` as one that lives in this file, or returns
// false when there is no such link; throws for anything unusable.
// `what` names the dataset in the reasons.
bool open_grid(hid_t file, const char *path, const std::string &what,
               Grid &grid)
{
    const std::string damaged = what + " cannot be opened (damaged file?)";
    if (H5Lexists(file, path, H5P_DEFAULT) <= 0)
        return false;
    if (!hdf5::is_hard_link(file, path))
        throw GridFault{std::string(path) +
                        " is a link to elsewhere, not part of this file; "
                        "it is not followed"};
    grid.dataset.reset(H5Dopen2(file, path, H5P_DEFAULT));
    if (!grid.dataset.valid() ||
        H5Iget_type(grid.dataset.get()) != H5I_DATASET)
        throw GridFault{damaged};
    if (!hdf5::stored_in_file(grid.dataset.get()))
        throw GridFault{what +
                        " keeps its data outside this file; it is not read"};
    grid.space.reset(H5Dget_space(grid.dataset.get()));
    if (!grid.space.valid())
        throw GridFault{damaged};
    int rank = H5Sget_simple_extent_ndims(grid.space.get());
    if (rank < 1 || rank > 2)
        throw GridFault{what + " has " + std::to_string(rank) +
                        " dimensions, not two"};
    grid.rank = rank;
    grid.dims[1] = 1;
    if (H5Sget_simple_extent_dims(grid.space.get(), grid.dims, nullptr) < 0)
        throw GridFault{damaged};
    Handle properties(H5Dget_create_plist(grid.dataset.get()), H5Pclose);
    if (!properties.valid())
        throw GridFault{damaged};
    if (H5Pget_layout(properties.get()) == H5D_CHUNKED) {
        grid.chunk[1] = 1;
        if (H5Pget_chunk(properties.get(), rank, grid.chunk) != rank)
            throw GridFault{damaged};
    }
    return true;
}

// Throws unless `grid` holds 32-bit floats.
void require_floats(const Grid &grid, const std::string &what)
{
    Handle type(H5Dget_type(grid.dataset.get()), H5Tclose);
    if (!type.valid())
        throw GridFault{what + " cannot be opened (damaged file?)"};
    if (H5Tget_class(type.get()) != H5T_FLOAT || H5Tget_size(type.get()) != 4)
        throw GridFault{what + " does not hold 32-bit floating-point values"};
}

// The number of nodes of `grid`, checked against the bounds: the grid's
// and the chunks'.
uint64_t checked_nodes(const Grid &grid, const std::string &what)
{
    const uint64_t rows = grid.dims[0], cols = grid.dims[1];
    if (cols != 0 && rows > max_nodes / cols)
        throw GridFault{what + " declares " + std::to_string(rows) + " x " +
                        std::to_string(cols) +
                        " nodes, more than the reader takes (" +
                        std::to_string(max_nodes) + ")"};
    if (grid.chunk[0] != 0 &&
        (grid.chunk[1] == 0 || grid.chunk[0] > max_block / grid.chunk[1]))
        throw GridFault{what + " is stored in chunks of " +
                        std::to_string(grid.chunk[0]) + " x " +
                        std::to_string(grid.chunk[1]) +
                        " nodes, more than the reader reads at once (" +
                        std::to_string(max_block) + ")"};
    return rows * cols;
}

void block_shape(const Grid &grid, uint64_t most, hsize_t shape[2])
{
    const uint64_t cols = std::max<uint64_t>(grid.dims[1], 1);
    if (grid.chunk[0] != 0) {
        const uint64_t per_chunk = grid.chunk[0] * grid.chunk[1];
        const uint64_t across = std::max<uint64_t>(most / per_chunk, 1);
        shape[0] = grid.chunk[0];
        shape[1] = std::min<uint64_t>(grid.chunk[1] * across, cols);
    } else {
        shape[1] = std::min<uint64_t>(cols, most);
        shape[0] = std::max<uint64_t>(most / shape[1], 1);
    }
}

// Reads the block of `count` (rows, cols) at `start` of `grid` into `out`
// in the memory type `type`; false when the library fails.
bool read_block(const Grid &grid, const hsize_t start[2],
                const hsize_t count[2], hid_t type, void *out)
{
    if (H5Sselect_hyperslab(grid.space.get(), H5S_SELECT_SET, start, nullptr,
                            count, nullptr) < 0)
        return false;
    // A memory space of the block's own shape: the library then copies
    // whole rows of each chunk, not node by node.
    Handle memory(H5Screate_simple(grid.rank, count, nullptr), H5Sclose);
    return memory.valid() && H5Dread(grid.dataset.get(), type, memory.get(),
                                     grid.space.get(), H5P_DEFAULT, out) >= 0;
}

}  // namespace grid_blocks
}  // namespace bathyra
