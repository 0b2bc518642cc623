// Reading the metadata of a BAG file with the HDF5 C library.
//
// Only what the file itself holds is read: the file must be a regular file,
// /BAG_root and /BAG_root/metadata hard links inside it, and the dataset's
// data stored in the file (no external or virtual storage), so that a
// crafted file can make the reader open neither another file nor a device
// or a FIFO.  The dataset's declared size is checked against a limit before
// anything of that size is allocated.
#include "bag_reader.hpp"

#include <sys/stat.h>

#include <new>

#include "footprint_pass.hpp"
#include "georef_layers.hpp"
#include "grid_pass.hpp"
#include "hdf5_access.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;

const char *type_class_name(H5T_class_t type_class)
{
    switch (type_class) {
    case H5T_INTEGER:
        return "integer";
    case H5T_FLOAT:
        return "floating-point";
    case H5T_STRING:
        return "string";
    case H5T_COMPOUND:
        return "compound";
    case H5T_ARRAY:
        return "array";
    case H5T_VLEN:
        return "variable-length";
    case H5T_ENUM:
        return "enumeration";
    default:
        return "other";
    }
}

// Reads the "Bag Version" attribute of the root group, when it is text.
void read_version(hid_t file, ReadOutcome &outcome)
{
    if (H5Aexists_by_name(file, hdf5::root_group, hdf5::version_attribute,
                          H5P_DEFAULT) <= 0)
        return;
    Handle attribute(H5Aopen_by_name(file, hdf5::root_group,
                                     hdf5::version_attribute, H5P_DEFAULT,
                                     H5P_DEFAULT),
                     H5Aclose);
    if (!attribute.valid())
        return;
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    if (!type.valid() || H5Tget_class(type.get()) != H5T_STRING)
        return;
    Handle space(H5Aget_space(attribute.get()), H5Sclose);
    if (!space.valid() || H5Sget_simple_extent_npoints(space.get()) != 1)
        return;
    std::string text;
    if (H5Tis_variable_str(type.get()) > 0) {
        char *value = nullptr;
        if (H5Aread(attribute.get(), type.get(), &value) < 0 || !value)
            return;
        text = value;
        H5free_memory(value);
    } else {
        size_t size = H5Tget_size(type.get());
        if (size == 0)
            return;
        text.assign(size, '\0');
        if (H5Aread(attribute.get(), type.get(), &text[0]) < 0)
            return;
    }
    // A fixed-length string ends at its first NUL; what follows is padding
    // (which some writers leave uninitialised).
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    outcome.has_version = true;
    outcome.version = text;
}

bool is_regular_file(const char *path)
{
#ifdef _WIN32
    struct _stat64 status;
    return _stat64(path, &status) == 0 && (status.st_mode & _S_IFREG);
#else
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
#endif
}

}  // namespace

void read_bag_file(const char *path, uint64_t limit, unsigned parts,
                   ReadOutcome &outcome, FootprintSink *footprint)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    if (!is_regular_file(path)) {
        outcome.status = ReadOutcome::not_regular;
        return;
    }
    htri_t is_hdf5 = H5Fis_hdf5(path);
    if (is_hdf5 == 0) {
        outcome.status = ReadOutcome::not_hdf5;
        return;
    }
    Handle file(is_hdf5 > 0 ? H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT)
                            : H5I_INVALID_HID,
                H5Fclose);
    if (!file.valid()) {
        outcome.status = ReadOutcome::cannot_open;
        return;
    }
    // Each step of the path is looked at before the next is used, so that
    // no soft or external link is ever followed.
    if (H5Lexists(file.get(), hdf5::root_group, H5P_DEFAULT) <= 0) {
        outcome.status = ReadOutcome::no_dataset;
        return;
    }
    if (!hdf5::is_hard_link(file.get(), hdf5::root_group)) {
        outcome.status = ReadOutcome::linked_elsewhere;
        outcome.detail = hdf5::root_group;
        return;
    }
    if (parts & part_attributes) {
        read_elevation_attributes(file.get(), outcome.elevation);
        if (!(parts & part_grid) && has_georef_layers(file.get()))
            outcome.elevation.georef = "layers\n";
    }
    if (parts & part_grid) {
        // The footprint's sink, if any, takes the same blocks after the
        // layers, and the layers label its nodes by source survey.
        GeorefLayers layers(file.get(), footprint);
        if (footprint && layers.has_layers())
            layers.label_into(footprint->source_labels(max_combinations));
        read_grid(file.get(), outcome.elevation, &layers);
        outcome.elevation.georef = layers.encode(outcome.elevation.grid_read);
        if (footprint)
            footprint->set_source_surveys(layers.records());
    }
    if (!(parts & part_metadata))
        return;
    if (H5Lexists(file.get(), hdf5::metadata_path, H5P_DEFAULT) <= 0) {
        outcome.status = ReadOutcome::no_dataset;
        return;
    }
    if (!hdf5::is_hard_link(file.get(), hdf5::metadata_path)) {
        outcome.status = ReadOutcome::linked_elsewhere;
        outcome.detail = hdf5::metadata_path;
        return;
    }
    Handle dataset(H5Dopen2(file.get(), hdf5::metadata_path, H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.valid() || H5Iget_type(dataset.get()) != H5I_DATASET) {
        outcome.status = ReadOutcome::no_dataset;
        return;
    }
    if (!hdf5::stored_in_file(dataset.get())) {
        outcome.status = ReadOutcome::stored_elsewhere;
        return;
    }
    Handle type(H5Dget_type(dataset.get()), H5Tclose);
    if (!type.valid()) {
        outcome.status = ReadOutcome::read_failed;
        return;
    }
    H5T_class_t type_class = H5Tget_class(type.get());
    size_t element_size = H5Tget_size(type.get());
    bool characters =
        element_size == 1 &&
        ((type_class == H5T_STRING && H5Tis_variable_str(type.get()) == 0) ||
         type_class == H5T_INTEGER);
    if (!characters) {
        outcome.status = ReadOutcome::wrong_type;
        outcome.detail = std::string(type_class_name(type_class)) +
                         " elements of " + std::to_string(element_size) +
                         " bytes";
        return;
    }
    Handle space(H5Dget_space(dataset.get()), H5Sclose);
    if (!space.valid()) {
        outcome.status = ReadOutcome::read_failed;
        return;
    }
    int rank = H5Sget_simple_extent_ndims(space.get());
    hssize_t count = H5Sget_simple_extent_npoints(space.get());
    if (rank != 1 || count < 0) {
        outcome.status = ReadOutcome::wrong_shape;
        outcome.detail = std::to_string(rank) + " dimensions";
        return;
    }
    if (static_cast<uint64_t>(count) > limit) {
        outcome.status = ReadOutcome::too_large;
        outcome.detail = std::to_string(count);
        return;
    }
    if (count > 0) {
        try {
            outcome.document.assign(static_cast<size_t>(count), '\0');
        } catch (const std::bad_alloc &) {
            outcome.status = ReadOutcome::no_memory;
            return;
        }
        // Read in the dataset's own type: single bytes, no conversion.
        if (H5Dread(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT,
                    &outcome.document[0]) < 0) {
            outcome.status = ReadOutcome::read_failed;
            return;
        }
    }
    // The document usually ends in a NUL byte; all trailing NULs go.
    size_t end = outcome.document.find_last_not_of('\0');
    outcome.document.resize(end == std::string::npos ? 0 : end + 1);
    if (outcome.document.empty()) {
        outcome.status = ReadOutcome::empty;
        return;
    }
    read_version(file.get(), outcome);
}

std::string failure_reason(const ReadOutcome &outcome, uint64_t limit)
{
    const std::string dataset =
        std::string("the metadata dataset ") + hdf5::metadata_path;
    switch (outcome.status) {
    case ReadOutcome::not_regular:
        return "not a regular file";
    case ReadOutcome::not_hdf5:
        return "not an HDF5 file";
    case ReadOutcome::cannot_open:
        return "the HDF5 library cannot open it (damaged or truncated file?)";
    case ReadOutcome::no_dataset:
        return std::string("no metadata dataset ") + hdf5::metadata_path;
    case ReadOutcome::linked_elsewhere:
        return outcome.detail +
               " is a link to elsewhere, not part of this file; it is not "
               "followed";
    case ReadOutcome::stored_elsewhere:
        return dataset + " keeps its data outside this file; it is not read";
    case ReadOutcome::wrong_type:
        return dataset + " holds " + outcome.detail +
               ", not single characters";
    case ReadOutcome::wrong_shape:
        return dataset + " has " + outcome.detail + ", not one";
    case ReadOutcome::too_large:
        return dataset + " declares " + outcome.detail +
               " bytes, more than the limit of " + std::to_string(limit) +
               " bytes";
    case ReadOutcome::empty:
        return dataset + " is empty";
    case ReadOutcome::read_failed:
        return dataset + " cannot be read (damaged or truncated file?)";
    case ReadOutcome::no_memory:
        return "not enough memory to read it";
    case ReadOutcome::ok:
        break;
    }
    return "no failure";
}

}  // namespace bathyra
