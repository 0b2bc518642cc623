// Reading an S-102 file: the checks of what it is, its attributes, its
// instances, its quality table, and the pass over its grids.
//
// As with a BAG file, only what the file itself holds is read: a regular
// file, every group and dataset a hard link inside it, data stored in it.
#include "s102_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "grid_blocks.hpp"
#include "hdf5_access.hpp"
#include "s102_layout.hpp"
#include "s102_pass.hpp"
#include "s102_placement.hpp"
#include "s102_values.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;
using namespace s102;

bool is_regular_file(const char *path)
{
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

bool is_hard_group(hid_t file, const std::string &path)
{
    return H5Lexists(file, path.c_str(), H5P_DEFAULT) > 0 &&
           hdf5::is_hard_link(file, path.c_str());
}

void add_values(std::string &lines, const std::string &head,
                const std::vector<MemberValue> &values)
{
    for (const MemberValue &value : values)
        lines +=
            head + value.name + "\t" + value.kind + "\t" + value.text + "\n";
}

struct Listing {
    const char *prefix;  // an instance's name: the prefix, a dot, a number
    std::vector<std::string> names;
};

herr_t add_instance(hid_t, const char *name, const H5L_info_t *info,
                    void *data)
{
    auto &listing = *static_cast<Listing *>(data);
    const size_t prefix = std::strlen(listing.prefix);
    if (info->type == H5L_TYPE_HARD && listing.names.size() <= max_instances &&
        std::strncmp(name, listing.prefix, prefix) == 0 && name[prefix] == '.')
        listing.names.emplace_back(cleaned_text(name, 256));
    return 0;
}

// The names of the groups under `group` that are instances (`prefix`.NN);
// what cannot be listed is a problem of `owner` ("" the file's).
std::vector<std::string> instance_names(hid_t file, const char *group,
                                        const char *prefix, const char *owner,
                                        std::string &lines)
{
    Listing listing{prefix, {}};
    std::vector<std::string> &names = listing.names;
    const std::string head = std::string("problem\t") + owner + "\t";
    hsize_t at = 0;
    if (H5Literate_by_name(file, group, H5_INDEX_NAME, H5_ITER_INC, &at,
                           add_instance, &listing, H5P_DEFAULT) < 0)
        lines += head + group + " cannot be listed (damaged file?)\n";
    if (names.size() > max_instances) {
        names.resize(max_instances);
        lines += head + "only the first " + std::to_string(max_instances) +
                 " instances are read\n";
    }
    return std::move(names);
}

// The attributes of an instance and of its Group_001; the grid's shape.
void read_instance(hid_t file, const std::string &name, std::string &lines)
{
    const std::string path = std::string(coverage_group) + "/" + name;
    lines += "instance\t" + name + "\n";
    Handle group(H5Gopen2(file, path.c_str(), H5P_DEFAULT), H5Gclose);
    if (!group.valid()) {
        lines += "problem\t" + name + "\t" + path +
                 " cannot be opened (damaged file?)\n";
        return;
    }
    add_values(lines, "iattr\t" + name + "\t", scalar_attributes(group.get()));
    const std::string inner = path + "/Group_001";
    if (is_hard_group(file, inner)) {
        Handle values(H5Gopen2(file, inner.c_str(), H5P_DEFAULT), H5Gclose);
        if (values.valid())
            add_values(lines, "gattr\t" + name + "\t",
                       scalar_attributes(values.get()));
    }
    const std::string grid_path = path + "/" + values_name;
    grid_blocks::Grid grid;
    try {
        if (!grid_blocks::open_grid(file, grid_path.c_str(), grid_path, grid))
            return;
    } catch (const grid_blocks::GridFault &) {
        return;  // the pass says why
    }
    Handle type(H5Dget_type(grid.dataset.get()), H5Tclose);
    std::string members;
    const int count = type.valid() && H5Tget_class(type.get()) == H5T_COMPOUND
                          ? H5Tget_nmembers(type.get())
                          : 0;
    for (int i = 0; i < count; ++i) {
        char *member =
            H5Tget_member_name(type.get(), static_cast<unsigned>(i));
        if (member)
            members +=
                (members.empty() ? "" : ",") + cleaned_text(member, 256);
        H5free_memory(member);
    }
    lines += "shape\t" + name + "\t" + std::to_string(grid.dims[0]) + "\t" +
             std::to_string(grid.rank == 2 ? grid.dims[1] : 0) + "\t" +
             members + "\n";
}

// The quality feature's group, or "" when the file has none.
std::string quality_feature(hid_t file)
{
    for (const char *feature : quality_features)
        if (is_hard_group(file, std::string("/") + feature))
            return feature;
    return std::string();
}

// Reads the quality's table into `lines`, and its row ids into `ids`.
void read_table(hid_t file, const std::string &feature, std::string &lines,
                std::vector<uint32_t> &ids)
{
    const std::string path = "/" + feature + "/" + table_name;
    grid_blocks::Grid table;
    try {
        if (!grid_blocks::open_grid(file, path.c_str(), path, table)) {
            lines +=
                "problem\tquality\tthe quality has no table " + path + "\n";
            return;
        }
    } catch (const grid_blocks::GridFault &fault) {
        lines += "problem\tquality\t" + fault.reason + "\n";
        return;
    }
    uint64_t rows = table.rank == 1 ? table.dims[0] : 0;
    if (table.rank != 1)
        lines +=
            "problem\tquality\t" + path + " is not a table of one dimension\n";
    if (rows > max_table_rows) {
        lines += "problem\tquality\tonly the first " +
                 std::to_string(max_table_rows) + " rows of " + path +
                 " are read\n";
        rows = max_table_rows;
    }
    std::vector<Column> columns;
    bool too_large = false;
    if (!read_columns(table.dataset.get(), rows, max_table_text, columns,
                      too_large)) {
        lines +=
            "problem\tquality\t" + path + " is not a table that can be read\n";
        return;
    }
    if (too_large) {
        lines += "problem\tquality\t" + path + " holds more than " +
                 std::to_string(max_table_text >> 20) +
                 " MB of values, more than the reader takes: not read\n";
        return;
    }
    lines += "quality\t" + feature + "\t" + std::to_string(rows) + "\n";
    for (const Column &column : columns) {
        lines += "column\t" + column.name + "\t" + column.kind + "\n";
        if (column.name != id_member || column.kind != 'i')
            continue;
        for (const std::string &text : column.texts) {
            const unsigned long long id =
                std::strtoull(text.c_str(), nullptr, 10);
            if (text[0] != '-' && id > 0 && id <= 0xFFFFFFFFull)
                ids.push_back(static_cast<uint32_t>(id));
        }
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    for (uint64_t row = 0; row < rows; ++row) {
        lines += "row\t" + std::to_string(row) + "\n";
        for (size_t i = 0; i < columns.size(); ++i)
            lines += "value\t" + std::to_string(i) + "\t" +
                     columns[i].texts[row] + "\n";
    }
}

}  // namespace

void read_s102_file(const char *path, bool with_grid, S102Outcome &outcome)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    outcome.status = S102Outcome::failed;
    if (!is_regular_file(path)) {
        outcome.failure = "not a regular file";
        return;
    }
    htri_t is_hdf5 = H5Fis_hdf5(path);
    if (is_hdf5 == 0) {
        outcome.failure = "not an HDF5 file";
        return;
    }
    Handle file(is_hdf5 > 0 ? H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT)
                            : H5I_INVALID_HID,
                H5Fclose);
    Handle root(file.valid() ? H5Gopen2(file.get(), "/", H5P_DEFAULT)
                             : H5I_INVALID_HID,
                H5Gclose);
    if (!root.valid()) {
        outcome.failure =
            "the HDF5 library cannot open it (damaged or truncated file?)";
        return;
    }
    const std::vector<MemberValue> attributes = scalar_attributes(root.get());
    bool recognised = false;
    for (const MemberValue &value : attributes)
        recognised |=
            value.name == spec_attribute && value.kind == 's' &&
            value.text.compare(0, std::strlen(spec_prefix), spec_prefix) == 0;
    if (!recognised) {
        outcome.status = S102Outcome::not_s102;
        outcome.is_bag = is_hard_group(file.get(), hdf5::root_group);
        return;
    }
    outcome.status = S102Outcome::ok;
    std::string &lines = outcome.lines;
    add_values(lines, "attr\t", attributes);
    std::vector<std::string> names;
    if (is_hard_group(file.get(), coverage_group))
        names = instance_names(file.get(), coverage_group, coverage_instance,
                               "", lines);
    if (names.empty())
        lines += std::string("problem\t\tthe file holds no bathymetry (no ") +
                 coverage_group + "/" + coverage_instance + ".01)\n";
    for (const std::string &name : names)
        read_instance(file.get(), name, lines);
    const std::string feature = quality_feature(file.get());
    if (!feature.empty())
        read_table(file.get(), feature, lines, outcome.ids);
    if (!with_grid)
        return;
    uint64_t outline_cells = 0;  // of the label rasters held till the end
    const bool outlined = !outcome.ids.empty() &&
                          outcome.ids.size() <= LabelFootprints::max_labels;
    for (size_t i = 0; outlined && i < outcome.ids.size(); ++i)
        outcome.label_of[outcome.ids[i]] = static_cast<uint32_t>(i + 1);
    std::string crs_why;
    const long long crs = crs_code(attributes, crs_why);
    std::vector<std::string> quality;
    if (!feature.empty())
        quality = instance_names(file.get(), ("/" + feature).c_str(),
                                 feature.c_str(), "quality", lines);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string ids_path, no_ids;
        if (!feature.empty())
            ids_path =
                ids_path_of(file.get(), feature, quality, names[i], no_ids);
        if (!no_ids.empty())
            lines += "problem\tquality\t" + names[i] + ": " + no_ids + "\n";
        NodeSink *sink = nullptr;
        if (i == 0) {
            FootprintRequest request;
            if (footprint_request(file.get(), names[0], crs, crs_why, request,
                                  outcome.footprint_note)) {
                outcome.footprint = std::make_unique<FootprintSink>(request);
                sink = outcome.footprint.get();
            }
        }
        const std::string values_path =
            std::string(coverage_group) + "/" + names[i] + "/" + values_name;
        LabelFootprints *labels = nullptr;
        if (!ids_path.empty()) {
            SurveyOutlines outlines;
            outlines.name = names[i];
            if (outlined && i == 0 && outcome.footprint) {
                // The labels stand for the footprint's mask as well.
                const uint32_t count =
                    static_cast<uint32_t>(outcome.ids.size());
                labels = outcome.footprint->source_labels(count);
                outcome.footprint->set_source_surveys(count);
                outlines.in_footprint = true;
            } else if (!outlined) {
                outlines.problem =
                    outcome.ids.empty()
                        ? "the quality table gives no row ids: no footprints"
                        : "the quality table has more than " +
                              std::to_string(LabelFootprints::max_labels) +
                              " rows: no footprints of its source surveys";
            } else if (footprint_request(file.get(), names[i], crs, crs_why,
                                         outlines.placement,
                                         outlines.problem)) {
                const FootprintRequest &at = outlines.placement;
                const uint64_t block =
                    FootprintTracer::block_for(at.rows, at.cols);
                const uint64_t side = block ? block : 1;
                const uint64_t cells =
                    (at.rows / side + 1) * (at.cols / side + 1);
                if (cells > max_outline_cells - outline_cells) {
                    outlines.problem =
                        "the footprints of the source surveys of the "
                        "instances before take all the memory they may: "
                        "none traced here";
                } else {
                    outline_cells += cells;
                    outlines.labels = std::make_unique<LabelFootprints>(
                        at.rows, at.cols, side,
                        static_cast<uint32_t>(outcome.ids.size()));
                    labels = outlines.labels.get();
                }
            }
            outcome.outlines.push_back(std::move(outlines));
        }
        const size_t before = lines.size();
        pass_instance(file.get(), names[i], values_path, ids_path, sink, lines,
                      labels, &outcome.label_of);
        if (labels && !outcome.outlines.back().in_footprint &&
            lines.compare(before, 8, "problem\t") == 0) {
            outcome.outlines.back().labels.reset();
            outcome.outlines.back().problem =
                "the grid could not be read to its end: no footprints";
        }
        if (i == 0 && lines.compare(before, 8, "problem\t") == 0 &&
            outcome.footprint) {
            outcome.footprint.reset();
            outcome.footprint_note =
                "the grid could not be read to its end: no footprint";
            if (!outcome.outlines.empty() &&
                outcome.outlines.back().in_footprint) {
                outcome.outlines.back().in_footprint = false;
                outcome.outlines.back().problem =
                    "the grid could not be read to its end: no footprints";
            }
        }
    }
}

}  // namespace bathyra
