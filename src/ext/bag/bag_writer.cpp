// The writer of minimal BAG files.
#include "bag_writer.hpp"

#include "hdf5_access.hpp"

#include <string>

namespace bathyra {

using hdf5::Handle;

std::string write_bag_file(const WriteRequest &request)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    Handle file(H5Fcreate(request.path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT,
                          H5P_DEFAULT),
                H5Fclose);
    if (!file.valid())
        return "cannot create the file";
    Handle group(H5Gcreate2(file.get(), hdf5::root_group, H5P_DEFAULT,
                            H5P_DEFAULT, H5P_DEFAULT),
                 H5Gclose);
    if (!group.valid())
        return "cannot create the group /BAG_root";
    if (request.has_version) {
        Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        if (!type.valid() || !space.valid() ||
            H5Tset_size(type.get(), request.version.size() + 1) < 0)
            return "cannot make the version attribute";
        Handle attribute(H5Acreate2(group.get(), hdf5::version_attribute,
                                    type.get(), space.get(), H5P_DEFAULT,
                                    H5P_DEFAULT),
                         H5Aclose);
        if (!attribute.valid() ||
            H5Awrite(attribute.get(), type.get(), request.version.c_str()) < 0)
            return "cannot write the version attribute";
    }
    if (request.grid.wanted) {
        std::string failure = write_grid(file.get(), request.grid);
        if (!failure.empty())
            return failure;
    }
    if (request.element == "none")
        return "";
    // Layouts that tests of the reader need: a link to another file, a
    // soft link, raw data kept in another file, a declared size that the
    // file does not hold.
    const std::string &layout = request.layout;
    const std::string target = layout.substr(layout.find(':') + 1);
    if (layout.rfind("external:", 0) == 0) {
        if (H5Lcreate_external(target.c_str(), hdf5::metadata_path, file.get(),
                               hdf5::metadata_path, H5P_DEFAULT,
                               H5P_DEFAULT) < 0)
            return "cannot create the external link";
        return "";
    }
    const char *dataset_path = hdf5::metadata_path;
    if (layout == "soft") {
        dataset_path = "/BAG_root/metadata_data";
        if (H5Lcreate_soft(dataset_path, file.get(), hdf5::metadata_path,
                           H5P_DEFAULT, H5P_DEFAULT) < 0)
            return "cannot create the soft link";
    }
    hsize_t count = request.data.size();
    if (request.element == "float64")
        count /= sizeof(double);
    const bool declared = layout.rfind("declared:", 0) == 0;
    if (declared)
        count = std::stoull(target);
    Handle space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!space.valid() || !properties.valid())
        return "cannot make the dataset's properties";
    if (layout.rfind("storage:", 0) == 0 &&
        H5Pset_external(properties.get(), target.c_str(), 0, H5F_UNLIMITED) <
            0)
        return "cannot set the external storage";
    if (request.chunk > 0 && count > 0) {
        hsize_t chunk = static_cast<hsize_t>(request.chunk);
        if (H5Pset_chunk(properties.get(), 1, &chunk) < 0)
            return "cannot set the chunk size";
        if (request.compress > 0 &&
            H5Pset_deflate(properties.get(),
                           static_cast<unsigned>(request.compress)) < 0)
            return "cannot set the compression";
    }
    hid_t file_type;
    Handle string_type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (request.element == "string") {
        if (!string_type.valid() || H5Tset_size(string_type.get(), 1) < 0 ||
            H5Tset_strpad(string_type.get(), H5T_STR_NULLPAD) < 0)
            return "cannot make the character type";
        file_type = string_type.get();
    } else if (request.element == "int8") {
        file_type = H5T_STD_I8LE;
    } else {
        file_type = H5T_IEEE_F64LE;
    }
    Handle dataset(H5Dcreate2(file.get(), dataset_path, file_type, space.get(),
                              H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.valid())
        return "cannot create the metadata dataset";
    if (count > 0 && !declared) {
        hid_t memory_type =
            request.element == "float64" ? H5T_NATIVE_DOUBLE : file_type;
        if (H5Dwrite(dataset.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                     request.data.data()) < 0)
            return "cannot write the metadata dataset";
    }
    return "";
}

}  // namespace bathyra
