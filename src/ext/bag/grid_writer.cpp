// The writer of the elevation of minimal BAG files.
#include "grid_writer.hpp"

#include <algorithm>
#include <vector>

#include "hdf5_access.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;

std::string write_attribute(hid_t dataset, const char *name, double value)
{
    Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    Handle attribute(H5Acreate2(dataset, name, H5T_IEEE_F32LE, space.get(),
                                H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose);
    const float single = static_cast<float>(value);
    if (!attribute.valid() ||
        H5Awrite(attribute.get(), H5T_NATIVE_FLOAT, &single) < 0)
        return std::string("cannot write the attribute ") + name;
    return "";
}

// Writes one grid of `tile` repeated; "" on success.
std::string write_tiled(hid_t file, const char *path, const std::string &tile,
                        const GridRequest &request, bool attributes)
{
    const hsize_t dims[2] = {request.rows, request.cols};
    Handle space(H5Screate_simple(2, dims, nullptr), H5Sclose);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!space.valid() || !properties.valid())
        return "cannot make the grid's properties";
    if (request.chunk > 0) {
        const hsize_t chunk[2] = {
            std::min<hsize_t>(request.chunk, std::max<hsize_t>(dims[0], 1)),
            std::min<hsize_t>(request.chunk, std::max<hsize_t>(dims[1], 1))};
        if (H5Pset_chunk(properties.get(), 2, chunk) < 0 ||
            (request.compress > 0 &&
             H5Pset_deflate(properties.get(),
                            static_cast<unsigned>(request.compress)) < 0))
            return "cannot set the grid's chunks";
    }
    Handle dataset(H5Dcreate2(file, path, H5T_IEEE_F32LE, space.get(),
                              H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.valid())
        return std::string("cannot create ") + path;
    if (attributes && request.has_attributes) {
        std::string failure = write_attribute(
            dataset.get(), "Minimum Elevation Value", request.minimum);
        if (failure.empty())
            failure = write_attribute(dataset.get(), "Maximum Elevation Value",
                                      request.maximum);
        if (!failure.empty())
            return failure;
    }
    if (request.layout == "declared" || request.rows == 0 || request.cols == 0)
        return "";
    if (request.layout == "damaged") {
        // Chunks of bytes that no deflate stream begins with.
        const std::string garbage(64, '\x5a');
        for (hsize_t row = 0; row < dims[0]; row += request.chunk)
            for (hsize_t col = 0; col < dims[1]; col += request.chunk) {
                const hsize_t offset[2] = {row, col};
                if (H5Dwrite_chunk(dataset.get(), H5P_DEFAULT, 0, offset,
                                   garbage.size(), garbage.data()) < 0)
                    return "cannot write a damaged chunk";
            }
        return "";
    }
    const float *values = reinterpret_cast<const float *>(tile.data());
    const hsize_t block_rows = request.chunk > 0 ? request.chunk : 256;
    std::vector<float> block(block_rows * request.cols);
    for (hsize_t row = 0; row < dims[0]; row += block_rows) {
        const hsize_t count[2] = {std::min(block_rows, dims[0] - row),
                                  dims[1]};
        for (hsize_t r = 0; r < count[0]; ++r)
            for (hsize_t c = 0; c < count[1]; ++c)
                block[r * count[1] + c] =
                    values[((row + r) % request.tile_rows) *
                               request.tile_cols +
                           c % request.tile_cols];
        const hsize_t start[2] = {row, 0};
        hsize_t total = count[0] * count[1];
        Handle memory(H5Screate_simple(1, &total, nullptr), H5Sclose);
        if (!memory.valid() ||
            H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr,
                                count, nullptr) < 0 ||
            H5Dwrite(dataset.get(), H5T_NATIVE_FLOAT, memory.get(),
                     space.get(), H5P_DEFAULT, block.data()) < 0)
            return std::string("cannot write ") + path;
    }
    return "";
}

// Writes a table of `count` records of the compound `type`, of the given
// shape, from `data`.
std::string write_table(hid_t file, const char *path, hid_t type,
                        const hsize_t dims[2], const std::string &data)
{
    Handle space(H5Screate_simple(2, dims, nullptr), H5Sclose);
    Handle dataset(H5Dcreate2(file, path, type, space.get(), H5P_DEFAULT,
                              H5P_DEFAULT, H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.valid() ||
        (!data.empty() && H5Dwrite(dataset.get(), type, H5S_ALL, H5S_ALL,
                                   H5P_DEFAULT, data.data()) < 0))
        return std::string("cannot write ") + path;
    return "";
}

}  // namespace

std::string write_grid(hid_t file, const GridRequest &request)
{
    std::string failure = write_tiled(file, "/BAG_root/elevation",
                                      request.elevation, request, true);
    if (failure.empty() && !request.uncertainty.empty())
        failure = write_tiled(file, "/BAG_root/uncertainty",
                              request.uncertainty, request, false);
    for (const GeorefLayerRequest &layer : request.layers)
        if (failure.empty())
            failure =
                write_georef_layer(file, request.rows, request.cols, layer);
    if (!failure.empty() || request.cells.empty())
        return failure;
    Handle cell_type(H5Tcreate(H5T_COMPOUND, 12), H5Tclose);
    Handle pair_type(H5Tcreate(H5T_COMPOUND, 8), H5Tclose);
    if (!hdf5::add_refinement_members(cell_type, pair_type))
        return "cannot make the refinement types";
    const hsize_t cell_dims[2] = {request.rows, request.cols};
    failure = write_table(file, "/BAG_root/varres_metadata", cell_type.get(),
                          cell_dims, request.cells);
    const hsize_t pair_dims[2] = {1, request.refinements.size() / 8};
    if (failure.empty())
        failure = write_table(file, "/BAG_root/varres_refinements",
                              pair_type.get(), pair_dims, request.refinements);
    return failure;
}

}  // namespace bathyra
