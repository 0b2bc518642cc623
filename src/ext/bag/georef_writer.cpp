// The writer of georeferenced metadata layers of minimal BAG files.
#include "georef_writer.hpp"

#include "hdf5_access.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;

// Writes `data` (native uint32) as the dataset `path` of `dims`; with
// `damaged`, in deflated chunks of bytes that no deflate stream begins
// with.
std::string write_keys(hid_t file, const std::string &path, int rank,
                       const hsize_t dims[2], const std::string &data,
                       bool damaged)
{
    Handle space(H5Screate_simple(rank, dims, nullptr), H5Sclose);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!space.valid() || !properties.valid() ||
        (damaged && (H5Pset_chunk(properties.get(), rank, dims) < 0 ||
                     H5Pset_deflate(properties.get(), 6) < 0)))
        return "cannot make the properties of " + path;
    Handle dataset(H5Dcreate2(file, path.c_str(), H5T_STD_U32LE, space.get(),
                              H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.valid())
        return "cannot create " + path;
    if (damaged) {
        const std::string garbage(64, '\x5a');
        const hsize_t offset[2] = {0, 0};
        if (H5Dwrite_chunk(dataset.get(), H5P_DEFAULT, 0, offset,
                           garbage.size(), garbage.data()) < 0)
            return "cannot write a damaged chunk of " + path;
        return "";
    }
    if (H5Dwrite(dataset.get(), H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL,
                 H5P_DEFAULT, data.data()) < 0)
        return "cannot write " + path;
    return "";
}

}  // namespace

std::string write_georef_layer(hid_t file, uint64_t rows, uint64_t cols,
                               const GeorefLayerRequest &layer)
{
    Handle links(H5Pcreate(H5P_LINK_CREATE), H5Pclose);
    if (!links.valid() || H5Pset_create_intermediate_group(links.get(), 1) < 0)
        return "cannot make the layer's properties";
    Handle group(H5Gcreate2(file, layer.path.c_str(), links.get(), H5P_DEFAULT,
                            H5P_DEFAULT),
                 H5Gclose);
    if (!group.valid())
        return "cannot create " + layer.path;
    if (layer.keys.size() != rows * cols * 4)
        return "the keys of " + layer.path + " are not the grid's shape";
    const hsize_t dims[2] = {rows, cols};
    std::string failure = write_keys(file, layer.path + "/keys", 2, dims,
                                     layer.keys, layer.damaged);
    if (failure.empty() && !layer.refined_keys.empty()) {
        const hsize_t refined[2] = {1, layer.refined_keys.size() / 4};
        failure = write_keys(file, layer.path + "/varres_keys", 2, refined,
                             layer.refined_keys, false);
    }
    if (!failure.empty())
        return failure;
    size_t size = 0;
    for (const auto &member : layer.members)
        size += member.second ? member.second : 4;
    if (size == 0 || layer.rows.size() % size != 0)
        return "the rows of " + layer.path + " do not fit its members";
    Handle type(H5Tcreate(H5T_COMPOUND, size), H5Tclose);
    if (!type.valid())
        return "cannot make the table's type";
    size_t offset = 0;
    for (const auto &member : layer.members) {
        Handle text(H5Tcopy(H5T_C_S1), H5Tclose);
        if (!text.valid() ||
            (member.second &&
             (H5Tset_size(text.get(), member.second) < 0 ||
              H5Tset_strpad(text.get(), H5T_STR_NULLPAD) < 0)) ||
            H5Tinsert(type.get(), member.first.c_str(), offset,
                      member.second ? text.get() : H5T_IEEE_F32LE) < 0)
            return "cannot make the table's type";
        offset += member.second ? member.second : 4;
    }
    const hsize_t count = layer.rows.size() / size;
    Handle space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    Handle table(H5Dcreate2(file, (layer.path + "/values").c_str(), type.get(),
                            space.get(), H5P_DEFAULT, H5P_DEFAULT,
                            H5P_DEFAULT),
                 H5Dclose);
    if (!table.valid() || H5Dwrite(table.get(), type.get(), H5S_ALL, H5S_ALL,
                                   H5P_DEFAULT, layer.rows.data()) < 0)
        return "cannot write " + layer.path + "/values";
    return "";
}

}  // namespace bathyra
