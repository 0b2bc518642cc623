// The pass over the keys of a BAG file's georeferenced metadata layers,
// beside the grid pass, and the text it answers with.
//
// The answer is lines of tab-separated fields ("" when the file has no
// layers):
//   unread                                 the grid was not read to its end
//   problem  TEXT                          a problem of the file's record
//   record   NODES  LOWEST  HIGHEST        one combination of rows, then
//   value    LAYER  ROW  MEMBER  KIND  TEXT   the members of its rows
// No text holds a tab or a line break (control characters are blanks).
// With a footprint asked for, FootprintSink::source_lines adds lines of
// the records' footprints (footprint_pass.cpp) after these.
#include "georef_layers.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "georef_values.hpp"
#include "grid_blocks.hpp"
#include "label_footprints.hpp"

namespace bathyra {

using namespace grid_blocks;
using hdf5::Handle;

namespace {

const char *const group_paths[] = {"/BAG_root/Georef_metadata",
                                   "/BAG_root/georef_metadata"};

// The layers' group of `file`, or null when it has none.
const char *group_path(hid_t file)
{
    for (const char *path : group_paths)
        if (H5Lexists(file, path, H5P_DEFAULT) > 0 &&
            hdf5::is_hard_link(file, path))
            return path;
    return nullptr;
}

// Gathers the names of the group's members (hard links only).
herr_t add_name(hid_t, const char *name, const H5L_info_t *info, void *data)
{
    auto &names = *static_cast<std::vector<std::string> *>(data);
    if (info->type == H5L_TYPE_HARD && names.size() <= max_layers)
        names.emplace_back(name);
    return 0;
}

std::string blanked(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return text;
}

std::string number_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

// One layer: its key grids, its table, and why it is left out ("" while
// it is read).
struct GeorefLayers::Layer {
    std::string name;
    Grid keys, refined_keys, values;
    bool has_refined_keys = false;
    uint64_t table_rows = 0;
    uint64_t beyond = 0;  // nodes whose key is beyond the table
    std::string problem;
    std::vector<uint32_t> buffer;
};

bool has_georef_layers(hid_t file)
{
    return group_path(file) != nullptr;
}

GeorefLayers::GeorefLayers(hid_t file, NodeSink *next) : next_(next)
{
    const char *group = group_path(file);
    if (!group)
        return;
    present_ = true;
    Grid elevation;
    try {
        if (!open_grid(file, elevation_path, "the elevation grid", elevation))
            return;
    } catch (const GridFault &) {
        return;  // the grid pass says why
    }
    rows_ = elevation.dims[0];
    cols_ = elevation.rank == 2 ? elevation.dims[1] : 0;
    std::vector<std::string> names;
    hsize_t at = 0;
    if (H5Literate_by_name(file, group, H5_INDEX_NAME, H5_ITER_INC, &at,
                           add_name, &names, H5P_DEFAULT) < 0)
        problems_.push_back(std::string("the georeferenced metadata layers ") +
                            group + " cannot be listed (damaged file?)");
    if (names.size() > max_layers) {
        names.resize(max_layers);
        problems_.push_back("only the first " + std::to_string(max_layers) +
                            " georeferenced metadata layers are read");
    }
    for (const std::string &name : names) {
        auto layer = std::make_unique<Layer>();
        layer->name = blanked(name);
        const std::string base = std::string(group) + "/" + name;
        const std::string what =
            "the georeferenced metadata layer \"" + layer->name + "\"";
        try {
            if (!open_grid(file, (base + "/keys").c_str(), what + "'s keys",
                           layer->keys))
                throw GridFault{what + " has no keys"};
            if (!open_grid(file, (base + "/values").c_str(), what + "'s table",
                           layer->values))
                throw GridFault{what + " has no table of values"};
            checked_nodes(layer->keys, what + "'s keys");
            if (layer->keys.rank != 2 || layer->keys.dims[0] != rows_ ||
                layer->keys.dims[1] != cols_)
                throw GridFault{what + "'s keys do not have the grid's shape"};
            Handle type(H5Dget_type(layer->values.dataset.get()), H5Tclose);
            if (layer->values.rank != 1 || !type.valid() ||
                H5Tget_class(type.get()) != H5T_COMPOUND)
                throw GridFault{what + "'s values are not a table"};
            layer->table_rows = layer->values.dims[0];
            layer->has_refined_keys =
                open_grid(file, (base + "/varres_keys").c_str(),
                          what + "'s refinement keys", layer->refined_keys);
            if (layer->has_refined_keys) {
                checked_nodes(layer->refined_keys,
                              what + "'s refinement keys");
                if (layer->refined_keys.rank == 2 &&
                    layer->refined_keys.dims[0] != 1)
                    throw GridFault{what +
                                    "'s refinement keys are not one row"};
            }
        } catch (const GridFault &fault) {
            layer->problem = fault.reason;
        }
        layers_.push_back(std::move(layer));
    }
}

GeorefLayers::~GeorefLayers() = default;

void GeorefLayers::take(const NodeBlock &block)
{
    if (next_)
        next_->take(block);
    if (layers_.empty() || block.cols == 0)
        return;
    // Windows of whole rows of the block, or pieces of one row, so that
    // the keys held at once stay small whatever the number of layers.
    const uint64_t rows = std::max<uint64_t>(window_nodes / block.cols, 1);
    const uint64_t cols = std::min<uint64_t>(block.cols, window_nodes);
    for (uint64_t row = 0; row < block.rows; row += rows)
        for (uint64_t col = 0; col < block.cols; col += cols) {
            const uint64_t at = row * block.cols + col;
            take_window(NodeBlock{
                block.row + row, block.col + col,
                std::min(rows, block.rows - row),
                std::min(cols, block.cols - col), block.elevation + at,
                block.uncertainty ? block.uncertainty + at : nullptr,
                block.valid + at, block.refined});
        }
}

void GeorefLayers::take_window(const NodeBlock &block)
{
    const uint64_t n = block.rows * block.cols;
    for (auto &layer : layers_) {
        if (!layer->problem.empty())
            continue;
        layer->buffer.assign(static_cast<size_t>(n), 0);
        bool read = true;
        if (!block.refined) {
            const hsize_t start[2] = {block.row, block.col};
            const hsize_t count[2] = {block.rows, block.cols};
            read = read_block(layer->keys, start, count, H5T_NATIVE_UINT32,
                              layer->buffer.data());
        } else if (layer->has_refined_keys) {
            // A refinement block starts at refinement node `col`.
            const Grid &keys = layer->refined_keys;
            const bool wide = keys.rank == 2;
            const uint64_t length = wide ? keys.dims[1] : keys.dims[0];
            if (block.col > length || n > length - block.col) {
                layer->problem = "the georeferenced metadata layer \"" +
                                 layer->name +
                                 "\" has fewer refinement keys than "
                                 "refinement nodes";
                continue;
            }
            const hsize_t start[2] = {wide ? 0 : block.col,
                                      wide ? block.col : 0};
            const hsize_t count[2] = {wide ? 1 : n, wide ? n : 1};
            read = read_block(keys, start, count, H5T_NATIVE_UINT32,
                              layer->buffer.data());
        }
        if (!read)
            layer->problem =
                "the keys of the georeferenced metadata layer \"" +
                layer->name + "\" cannot be read (damaged or truncated file?)";
    }
    gather(block);
}

void GeorefLayers::gather(const NodeBlock &block)
{
    const size_t n = static_cast<size_t>(block.rows * block.cols);
    scratch_.assign(layers_.size(), 0);
    const bool labelled = labels_ != nullptr && !block.refined;
    if (labelled)
        node_labels_.assign(n, 0);
    Nodes *last = nullptr;
    Keys last_keys;
    for (size_t i = 0; i < n; ++i) {
        if (!block.valid[i])
            continue;
        bool any = false;
        for (size_t l = 0; l < layers_.size(); ++l) {
            Layer &layer = *layers_[l];
            uint32_t key = layer.problem.empty() ? layer.buffer[i] : 0;
            if (key >= layer.table_rows && key != 0) {
                ++layer.beyond;
                key = 0;
            }
            scratch_[l] = key;
            any = any || key != 0;
        }
        if (labelled)  // the node holds data, whatever its keys
            node_labels_[i] = LabelFootprints::unlabelled;
        if (!any || overflow_)
            continue;
        // Neighbouring nodes mostly share their rows.
        if (!last || scratch_ != last_keys) {
            auto found = combinations_.find(scratch_);
            if (found == combinations_.end()) {
                if (combinations_.size() == max_combinations) {
                    overflow_ = true;
                    combinations_.clear();
                    last = nullptr;
                    continue;
                }
                found = combinations_.emplace(scratch_, Nodes{}).first;
                found->second.label = uint32_t(combinations_.size());
            }
            last = &found->second;
            last_keys = scratch_;
        }
        const float value = block.elevation[i];
        if (last->count == 0)
            last->low = last->high = value;
        last->low = std::min(last->low, value);
        last->high = std::max(last->high, value);
        ++last->count;
        if (labelled)
            node_labels_[i] = last->label;
    }
    if (labelled)
        labels_->add_chunk(block.row, block.col, block.rows, block.cols,
                           node_labels_.data());
}

// The combinations with the keys of the layers left out on the way set to
// 0 (merged where they then agree), without those that have none left.
GeorefLayers::Keys GeorefLayers::merged_keys(Keys keys) const
{
    bool any = false;
    for (size_t l = 0; l < layers_.size(); ++l) {
        if (!layers_[l]->problem.empty())
            keys[l] = 0;
        any = any || keys[l] != 0;
    }
    return any ? keys : Keys();
}

std::map<GeorefLayers::Keys, GeorefLayers::Nodes> GeorefLayers::merged() const
{
    std::map<Keys, Nodes> result;
    for (const auto &entry : combinations_) {
        const Keys keys = merged_keys(entry.first);
        if (keys.empty())
            continue;
        Nodes &nodes = result[keys];
        const Nodes &more = entry.second;
        if (nodes.count == 0) {
            nodes = more;
            continue;
        }
        nodes.low = std::min(nodes.low, more.low);
        nodes.high = std::max(nodes.high, more.high);
        nodes.count += more.count;
    }
    return result;
}

// The labels of the combinations become the numbers of their records in
// `found` (the order of the answer), 0 for those left out.
void GeorefLayers::relabel(const std::map<Keys, Nodes> &found)
{
    std::vector<uint32_t> to(combinations_.size() + 1, 0);
    for (const auto &entry : combinations_) {
        const auto record = found.find(merged_keys(entry.first));
        if (record != found.end())
            to[entry.second.label] =
                uint32_t(std::distance(found.begin(), record) + 1);
    }
    labels_->relabel(to);
}

std::string GeorefLayers::encode(bool grid_read)
{
    if (!present_)
        return std::string();
    std::string out;
    auto line = [&out](std::initializer_list<std::string> fields) {
        bool first = true;
        for (const std::string &field : fields) {
            if (!first)
                out += '\t';
            out += field;
            first = false;
        }
        out += '\n';
    };
    if (!grid_read) {
        line({"unread"});
        return out;
    }
    for (const std::string &problem : problems_)
        line({"problem", problem});
    const std::map<Keys, Nodes> found = merged();
    for (size_t l = 0; l < layers_.size(); ++l) {
        const Layer &layer = *layers_[l];
        if (!layer.problem.empty()) {
            line({"problem", layer.problem});
            continue;
        }
        if (layer.beyond) {
            const bool one = layer.beyond == 1;
            line({"problem",
                  std::to_string(layer.beyond) + (one ? " node" : " nodes") +
                      " of the georeferenced metadata layer \"" + layer.name +
                      (one ? "\" has a key" : "\" have keys") +
                      " beyond its table of " +
                      std::to_string(layer.table_rows) + " rows; " +
                      (one ? "it counts" : "they count") +
                      " as without data"});
        }
        if (overflow_)
            continue;
        // Rows of the table that no node holding data references.
        std::vector<bool> used(static_cast<size_t>(
            std::min<uint64_t>(layer.table_rows, max_combinations + 1)));
        for (const auto &entry : found)
            if (entry.first[l] < used.size())
                used[entry.first[l]] = true;
        std::string unused;
        size_t named = 0, count = 0;
        for (size_t row = 1; row < used.size(); ++row) {
            if (used[row])
                continue;
            ++count;
            if (named < 10) {
                unused += (named ? ", " : "") + std::to_string(row);
                ++named;
            }
        }
        if (layer.table_rows > used.size())
            count += static_cast<size_t>(layer.table_rows - used.size());
        if (count)
            line({"problem",
                  std::string(count == 1 ? "row " : "rows ") + unused +
                      (count > named
                           ? " and " + std::to_string(count - named) + " more"
                           : "") +
                      " of the table of the georeferenced metadata layer \"" +
                      layer.name + "\" " + (count == 1 ? "is" : "are") +
                      " referenced by no node that holds data"});
    }
    if (overflow_) {
        line({"problem", "the nodes reference more than " +
                             std::to_string(max_combinations) +
                             " combinations of rows of the georeferenced "
                             "metadata layers; no source survey is listed"});
        return out;
    }
    records_ = found.size();
    if (labels_)
        relabel(found);
    std::vector<MemberValue> members;
    for (const auto &entry : found) {
        line({"record", std::to_string(entry.second.count),
              number_text(entry.second.low), number_text(entry.second.high)});
        for (size_t l = 0; l < layers_.size(); ++l) {
            const uint32_t key = entry.first[l];
            if (key == 0)
                continue;
            const Layer &layer = *layers_[l];
            if (!read_table_row(layer.values.dataset.get(), key, members)) {
                line({"problem", "row " + std::to_string(key) +
                                     " of the table of the georeferenced "
                                     "metadata layer \"" +
                                     layer.name + "\" cannot be read"});
                continue;
            }
            for (const MemberValue &member : members)
                line({"value", layer.name, std::to_string(key), member.name,
                      std::string(1, member.kind), member.text});
        }
    }
    return out;
}

}  // namespace bathyra
