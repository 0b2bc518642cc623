// The pass over the refinements of a variable-resolution BAG file: the
// refinement index is read block by block, and the refinements that its
// cells point to in windows of a bounded length, merged where they follow
// each other.
#include <vector>

#include "grid_blocks.hpp"

namespace bathyra {
namespace grid_blocks {

namespace {

using hdf5::Handle;

// One cell's refinements: `count` nodes from `start`.
struct Span {
    uint64_t start, count;
};

// Opens a compound dataset and checks that it has the named members.
void require_members(const Grid &grid, const std::string &what,
                     std::initializer_list<const char *> members)
{
    Handle type(H5Dget_type(grid.dataset.get()), H5Tclose);
    if (!type.valid() || H5Tget_class(type.get()) != H5T_COMPOUND)
        throw GridFault{what + " is not a table of the expected kind"};
    for (const char *member : members)
        if (H5Tget_member_index(type.get(), member) < 0)
            throw GridFault{what + " has no member \"" + member + "\""};
}

// Reads the refinement nodes of `spans` (sorted and merged) in windows of
// at most max_refined nodes.
void read_spans(const Grid &refinements, const std::vector<Span> &spans,
                hid_t type, Gatherer &gatherer, NodeSink *sink,
                std::vector<float> &pairs, std::vector<float> &depths,
                std::vector<float> &errors, std::vector<unsigned char> &valid)
{
    const bool wide = refinements.rank == 2 && refinements.dims[0] == 1;
    for (const Span &span : spans) {
        for (uint64_t done = 0; done < span.count; done += max_refined) {
            const uint64_t n = std::min(span.count - done, max_refined);
            const hsize_t start[2] = {wide ? 0 : span.start + done,
                                      wide ? span.start + done : 0};
            const hsize_t count[2] = {wide ? 1 : n, wide ? n : 1};
            if (!read_block(refinements, start, count, type, pairs.data()))
                throw GridFault{std::string("the refinements ") +
                                refinements_path +
                                " cannot be read (damaged or truncated "
                                "file?)"};
            for (uint64_t i = 0; i < n; ++i) {
                depths[i] = pairs[2 * i];
                errors[i] = pairs[2 * i + 1];
            }
            gatherer.gather(depths.data(), errors.data(), n, valid.data());
            if (sink)
                sink->take(NodeBlock{0, span.start + done, 1, n, depths.data(),
                                     errors.data(), valid.data(), true});
        }
    }
}

}  // namespace

void pass_refinements(hid_t file, uint64_t grid_rows, uint64_t grid_cols,
                      Gatherer &gatherer, NodeSink *sink)
{
    const std::string cells_what =
        std::string("the refinement index ") + cells_path;
    const std::string refined_what =
        std::string("the refinements ") + refinements_path;
    Grid cells;
    if (!open_grid(file, cells_path, cells_what, cells))
        return;
    Grid refinements;
    if (!open_grid(file, refinements_path, refined_what, refinements))
        throw GridFault{std::string("the refinement index has no "
                                    "refinements ") +
                        refinements_path};
    require_members(cells, cells_what,
                    {"index", "dimensions_x", "dimensions_y"});
    require_members(refinements, refined_what, {"depth", "depth_uncrt"});
    checked_nodes(cells, cells_what);
    const uint64_t total = checked_nodes(refinements, refined_what);
    if (cells.rank != 2 || cells.dims[0] != grid_rows ||
        cells.dims[1] != grid_cols)
        throw GridFault{cells_what + " does not have the grid's shape"};
    if (refinements.rank == 2 && refinements.dims[0] != 1 &&
        refinements.dims[1] != 1)
        throw GridFault{refined_what + " is not one row of refinements"};
    Handle cell_type(H5Tcreate(H5T_COMPOUND, 3 * sizeof(uint32_t)), H5Tclose);
    Handle pair_type(H5Tcreate(H5T_COMPOUND, 2 * sizeof(float)), H5Tclose);
    if (!hdf5::add_refinement_members(cell_type, pair_type))
        throw GridFault{refined_what + " cannot be read"};
    hsize_t shape[2];
    shape[1] = std::min<uint64_t>(std::max<uint64_t>(grid_cols, 1), max_cells);
    shape[0] = std::max<uint64_t>(max_cells / shape[1], 1);
    std::vector<uint32_t> index(static_cast<size_t>(
        3 * std::min<uint64_t>(shape[0], grid_rows) * shape[1]));
    std::vector<Span> spans;
    // Windows of refinements are never longer than the refinements.
    const size_t window = static_cast<size_t>(std::min(total, max_refined));
    std::vector<float> pairs(2 * window), depths(window), errors(window);
    std::vector<unsigned char> valid(window);
    for (hsize_t row = 0; row < grid_rows; row += shape[0]) {
        for (hsize_t col = 0; col < grid_cols; col += shape[1]) {
            const hsize_t start[2] = {row, col};
            const hsize_t count[2] = {std::min(shape[0], grid_rows - row),
                                      std::min(shape[1], grid_cols - col)};
            if (!read_block(cells, start, count, cell_type.get(),
                            index.data()))
                throw GridFault{cells_what +
                                " cannot be read (damaged or truncated "
                                "file?)"};
            spans.clear();
            for (size_t i = 0; i < count[0] * count[1]; ++i) {
                const uint64_t first = index[3 * i];
                const uint64_t nodes =
                    uint64_t(index[3 * i + 1]) * index[3 * i + 2];
                if (first == no_refinement || nodes == 0)
                    continue;
                if (first > total || nodes > total - first)
                    throw GridFault{
                        "the refinements of the grid's cell (row " +
                        std::to_string(row + i / count[1]) + ", column " +
                        std::to_string(col + i % count[1]) +
                        ") lie beyond the " + std::to_string(total) +
                        " refinement nodes of " + refinements_path};
                spans.push_back(Span{first, nodes});
            }
            std::sort(spans.begin(), spans.end(),
                      [](const Span &a, const Span &b) {
                          return a.start < b.start;
                      });
            // Cells whose refinements follow each other are read as one.
            std::vector<Span> merged;
            for (const Span &span : spans) {
                if (!merged.empty() &&
                    merged.back().start + merged.back().count >= span.start) {
                    Span &last = merged.back();
                    last.count = std::max(last.start + last.count,
                                          span.start + span.count) -
                                 last.start;
                } else {
                    merged.push_back(span);
                }
            }
            read_spans(refinements, merged, pair_type.get(), gatherer, sink,
                       pairs, depths, errors, valid);
        }
    }
}

}  // namespace grid_blocks
}  // namespace bathyra
