// The pass over a BAG file's elevation grid and its refinements.
//
// Nodes are read in blocks that follow the dataset's chunks (whole chunks,
// as many side by side as fit the block bound), so that memory is bounded
// by a few chunks, whatever the size of the grid.  Every declared size (the
// grid, its chunks, the refinements a cell points to) is checked before
// anything of that size is allocated or read.  The elevation and
// uncertainty grids are read as 32-bit floats, their type in a BAG file.
#include "grid_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "hdf5_access.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;

constexpr const char *elevation_path = "/BAG_root/elevation";
constexpr const char *uncertainty_path = "/BAG_root/uncertainty";
constexpr const char *cells_path = "/BAG_root/varres_metadata";
constexpr const char *refinements_path = "/BAG_root/varres_refinements";
constexpr uint32_t no_refinement = 0xFFFFFFFFu;

// The most nodes a grid may declare, and the most that one block holds.
constexpr uint64_t max_nodes = uint64_t(1) << 34;
constexpr uint64_t max_block = uint64_t(1) << 22;
// The most cells of the refinement index, and refinement nodes, at once.
constexpr uint64_t max_cells = uint64_t(1) << 18;
constexpr uint64_t max_refined = uint64_t(1) << 20;

// Thrown to end the pass with the reason in words.
struct GridFault {
    std::string reason;
};

// An open dataset of the grid, with its shape and chunk shape.
struct Grid {
    Handle dataset{H5I_INVALID_HID, H5Dclose};
    Handle space{H5I_INVALID_HID, H5Sclose};
    int rank = 0;
    hsize_t dims[2] = {0, 0};
    hsize_t chunk[2] = {0, 0};  // 0 when not chunked
};

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

bool holds_data(float elevation)
{
    return std::isfinite(elevation) && elevation != no_data;
}

bool holds_uncertainty(float uncertainty)
{
    return std::isfinite(uncertainty) && uncertainty != no_data &&
           uncertainty != 0.0f;
}

// Gathers the range, uncertainty and count of the nodes that hold data.
class Gatherer {
  public:
    explicit Gatherer(ElevationSummary &summary) : summary_(summary) {}

    // Marks the valid nodes of `block` in `valid` and counts them.
    void gather(const float *elevation, const float *uncertainty, size_t n,
                unsigned char *valid)
    {
        for (size_t i = 0; i < n; ++i) {
            const float value = elevation[i];
            valid[i] = holds_data(value);
            if (!valid[i])
                continue;
            ++count_;
            low_ = std::min(low_, value);
            high_ = std::max(high_, value);
            if (uncertainty && holds_uncertainty(uncertainty[i])) {
                have_uncertainty_ = true;
                uncertainty_low_ = std::min(uncertainty_low_, uncertainty[i]);
                uncertainty_high_ =
                    std::max(uncertainty_high_, uncertainty[i]);
            }
        }
    }

    void finish()
    {
        summary_.grid_read = true;
        summary_.valid_nodes = count_;
        summary_.has_range = count_ > 0;
        summary_.minimum = count_ ? low_ : 0.0;
        summary_.maximum = count_ ? high_ : 0.0;
        summary_.has_uncertainty = have_uncertainty_;
        summary_.uncertainty_minimum =
            have_uncertainty_ ? uncertainty_low_ : 0.0;
        summary_.uncertainty_maximum =
            have_uncertainty_ ? uncertainty_high_ : 0.0;
    }

  private:
    ElevationSummary &summary_;
    uint64_t count_ = 0;
    float low_ = std::numeric_limits<float>::infinity();
    float high_ = -std::numeric_limits<float>::infinity();
    bool have_uncertainty_ = false;
    float uncertainty_low_ = std::numeric_limits<float>::infinity();
    float uncertainty_high_ = -std::numeric_limits<float>::infinity();
};

// The shape of the blocks of `grid`: whole chunks side by side along a
// row of chunks, or whole rows (parts of a row) of an unchunked grid; at
// most max_block nodes.
void block_shape(const Grid &grid, hsize_t shape[2])
{
    const uint64_t cols = std::max<uint64_t>(grid.dims[1], 1);
    if (grid.chunk[0] != 0) {
        const uint64_t per_chunk = grid.chunk[0] * grid.chunk[1];
        const uint64_t across = std::max<uint64_t>(max_block / per_chunk, 1);
        shape[0] = grid.chunk[0];
        shape[1] = std::min<uint64_t>(grid.chunk[1] * across, cols);
    } else {
        shape[1] = std::min<uint64_t>(cols, max_block);
        shape[0] = std::max<uint64_t>(max_block / shape[1], 1);
    }
}

// The pass over the nodes of the grid (and of the uncertainty grid beside
// it, when it has the same shape).
void pass_core(hid_t file, Gatherer &gatherer, NodeSink *sink, uint64_t &rows,
               uint64_t &cols)
{
    const std::string what =
        std::string("the elevation grid ") + elevation_path;
    Grid elevation;
    if (!open_grid(file, elevation_path, what, elevation))
        throw GridFault{std::string("no elevation grid ") + elevation_path};
    require_floats(elevation, what);
    checked_nodes(elevation, what);
    if (elevation.rank != 2)
        throw GridFault{what + " has 1 dimension, not two"};
    rows = elevation.dims[0];
    cols = elevation.dims[1];
    Grid uncertainty;
    const std::string uncertainty_what =
        std::string("the uncertainty grid ") + uncertainty_path;
    bool with_uncertainty =
        open_grid(file, uncertainty_path, uncertainty_what, uncertainty) &&
        uncertainty.rank == 2 && uncertainty.dims[0] == elevation.dims[0] &&
        uncertainty.dims[1] == elevation.dims[1];
    if (with_uncertainty) {
        require_floats(uncertainty, uncertainty_what);
        checked_nodes(uncertainty, uncertainty_what);
    }
    hsize_t shape[2];
    block_shape(elevation, shape);
    const size_t capacity =
        static_cast<size_t>(std::min(shape[0], elevation.dims[0]) *
                            std::min(shape[1], elevation.dims[1]));
    std::vector<float> values(capacity), errors;
    std::vector<unsigned char> valid(capacity);
    if (with_uncertainty)
        errors.resize(capacity);
    for (hsize_t row = 0; row < elevation.dims[0]; row += shape[0]) {
        for (hsize_t col = 0; col < elevation.dims[1]; col += shape[1]) {
            const hsize_t start[2] = {row, col};
            const hsize_t count[2] = {
                std::min(shape[0], elevation.dims[0] - row),
                std::min(shape[1], elevation.dims[1] - col)};
            if (!read_block(elevation, start, count, H5T_NATIVE_FLOAT,
                            values.data()))
                throw GridFault{what + " cannot be read (damaged or truncated "
                                       "file?)"};
            if (with_uncertainty &&
                !read_block(uncertainty, start, count, H5T_NATIVE_FLOAT,
                            errors.data()))
                throw GridFault{uncertainty_what +
                                " cannot be read (damaged or truncated "
                                "file?)"};
            const size_t n = static_cast<size_t>(count[0] * count[1]);
            const float *errors_read =
                with_uncertainty ? errors.data() : nullptr;
            gatherer.gather(values.data(), errors_read, n, valid.data());
            if (sink)
                sink->take(NodeBlock{row, col, count[0], count[1],
                                     values.data(), errors_read, valid.data(),
                                     false});
        }
    }
}

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
                sink->take(NodeBlock{0, 0, 1, n, depths.data(), errors.data(),
                                     valid.data(), true});
        }
    }
}

// The pass over the refinements of a variable-resolution file: the index
// gives each cell of the grid the start and the dimensions of its
// refinements, or no refinement.
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
    if (!cell_type.valid() || !pair_type.valid() ||
        H5Tinsert(cell_type.get(), "index", 0, H5T_NATIVE_UINT32) < 0 ||
        H5Tinsert(cell_type.get(), "dimensions_x", 4, H5T_NATIVE_UINT32) < 0 ||
        H5Tinsert(cell_type.get(), "dimensions_y", 8, H5T_NATIVE_UINT32) < 0 ||
        H5Tinsert(pair_type.get(), "depth", 0, H5T_NATIVE_FLOAT) < 0 ||
        H5Tinsert(pair_type.get(), "depth_uncrt", 4, H5T_NATIVE_FLOAT) < 0)
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

std::string number_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// Reads a scalar number attribute of the elevation `object`; false when
// absent, throws when it is present and unusable.
bool number_attribute(hid_t object, const char *name, double &value)
{
    // Opened at once: whether it exists is asked only when that fails.
    Handle attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    if (!attribute.valid() && H5Aexists(object, name) <= 0)
        return false;
    const std::string what =
        std::string("the elevation attribute \"") + name + "\"";
    if (!attribute.valid())
        throw GridFault{what + " cannot be read"};
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    Handle space(H5Aget_space(attribute.get()), H5Sclose);
    if (!type.valid() || !space.valid())
        throw GridFault{what + " cannot be read"};
    const H5T_class_t kind = H5Tget_class(type.get());
    if ((kind != H5T_FLOAT && kind != H5T_INTEGER) ||
        H5Sget_simple_extent_npoints(space.get()) != 1)
        throw GridFault{what + " is not a number"};
    if (H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, &value) < 0)
        throw GridFault{what + " cannot be read"};
    if (!std::isfinite(value))
        throw GridFault{what + " is not a finite number"};
    return true;
}

}  // namespace

void read_elevation_attributes(hid_t file, ElevationSummary &summary)
{
    try {
        // A missing link fails as a link to elsewhere does.
        if (!hdf5::is_hard_link(file, elevation_path))
            return;
        // Opened once: each look-up by path would open it again.
        Handle object(H5Oopen(file, elevation_path, H5P_DEFAULT), H5Oclose);
        if (!object.valid())
            throw GridFault{std::string("the elevation grid ") +
                            elevation_path +
                            " cannot be opened (damaged "
                            "file?)"};
        double low = 0.0, high = 0.0;
        const bool has_low =
            number_attribute(object.get(), "Minimum Elevation Value", low);
        const bool has_high =
            number_attribute(object.get(), "Maximum Elevation Value", high);
        if (!has_low || !has_high)
            return;
        if (low == no_data || high == no_data || low > high) {
            summary.attribute_problem =
                "the elevation attributes give no range (minimum " +
                number_text(low) + ", maximum " + number_text(high) + ")";
            return;
        }
        summary.has_attributes = true;
        summary.attribute_minimum = low;
        summary.attribute_maximum = high;
    } catch (const GridFault &fault) {
        summary.attribute_problem = fault.reason;
    }
}

void read_grid(hid_t file, ElevationSummary &summary, NodeSink *sink)
{
    Gatherer gatherer(summary);
    try {
        uint64_t rows = 0, cols = 0;
        pass_core(file, gatherer, sink, rows, cols);
        pass_refinements(file, rows, cols, gatherer, sink);
    } catch (const GridFault &fault) {
        summary.grid_problem = fault.reason;
        return;
    }
    gatherer.finish();
}

namespace {

void put_number(std::string &out, uint64_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void put_double(std::string &out, double value)
{
    uint64_t bits;
    static_assert(sizeof bits == sizeof value, "IEEE doubles");
    std::memcpy(&bits, &value, sizeof bits);
    put_number(out, bits, 8);
}

}  // namespace

std::string encode_summary(const ElevationSummary &summary)
{
    std::string out;
    out.push_back(static_cast<char>(
        (summary.has_attributes ? 1 : 0) | (summary.grid_read ? 2 : 0) |
        (summary.has_range ? 4 : 0) | (summary.has_uncertainty ? 8 : 0)));
    for (double value :
         {summary.attribute_minimum, summary.attribute_maximum,
          summary.minimum, summary.maximum, summary.uncertainty_minimum,
          summary.uncertainty_maximum})
        put_double(out, value);
    put_number(out, summary.valid_nodes, 8);
    put_number(out, summary.attribute_problem.size(), 4);
    out += summary.attribute_problem;
    out += summary.grid_problem;
    return out;
}

}  // namespace bathyra
