// The writer of files of S-102 layouts.
#include "s102_writer.hpp"

#include <cstring>
#include <deque>

#include "hdf5_access.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;

// The file type of a member or of an attribute's kind.
Handle file_type(char kind, uint64_t size)
{
    switch (kind) {
    case 'f':
        return Handle(H5Tcopy(H5T_IEEE_F32LE), H5Tclose);
    case 'd':
        return Handle(H5Tcopy(H5T_IEEE_F64LE), H5Tclose);
    case 'u':
        return Handle(H5Tcopy(H5T_STD_U32LE), H5Tclose);
    case 'U':
        return Handle(H5Tcopy(H5T_STD_U64LE), H5Tclose);
    case 'i':
        return Handle(H5Tcopy(H5T_STD_I32LE), H5Tclose);
    case 'b':
        return Handle(H5Tcopy(H5T_STD_U8LE), H5Tclose);
    case 'e': {
        Handle type(H5Tenum_create(H5T_STD_U8LE), H5Tclose);
        for (unsigned value = 0; type.valid() && value < 256; ++value) {
            const unsigned char byte = static_cast<unsigned char>(value);
            const std::string name = "value_" + std::to_string(value);
            if (H5Tenum_insert(type.get(), name.c_str(), &byte) < 0)
                type.reset(H5I_INVALID_HID);
        }
        return type;
    }
    case 's': {
        Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
        if (type.valid() && H5Tset_size(type.get(), H5T_VARIABLE) < 0)
            type.reset(H5I_INVALID_HID);
        (void)size;
        return type;
    }
    default:
        return Handle(H5I_INVALID_HID, H5Tclose);
    }
}

uint64_t packed_size(const S102Member &member)
{
    switch (member.kind) {
    case 'd':
    case 'U':
        return 8;
    case 'b':
    case 'e':
        return 1;
    case 's':
        return member.size;
    default:
        return 4;
    }
}

std::string write_attributes(hid_t object,
                             const std::vector<S102Attribute> &attributes)
{
    for (const S102Attribute &attribute : attributes) {
        Handle type = file_type(attribute.kind, 0);
        // Text attributes in UTF-8, as most writers make them (the
        // tables' text stays ASCII, so that both are read).
        if (attribute.kind == 's' && type.valid() &&
            H5Tset_cset(type.get(), H5T_CSET_UTF8) < 0)
            return "cannot make the type of the attribute " + attribute.name;
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        Handle made(type.valid() && space.valid()
                        ? H5Acreate2(object, attribute.name.c_str(),
                                     type.get(), space.get(), H5P_DEFAULT,
                                     H5P_DEFAULT)
                        : H5I_INVALID_HID,
                    H5Aclose);
        if (!made.valid())
            return "cannot create the attribute " + attribute.name;
        herr_t written;
        if (attribute.kind == 's') {
            const char *text = attribute.text.c_str();
            written = H5Awrite(made.get(), type.get(), &text);
        } else {
            // Written from a double: the library converts to the file type.
            if (attribute.kind == 'e') {
                const unsigned char byte =
                    static_cast<unsigned char>(attribute.number);
                written = H5Awrite(made.get(), type.get(), &byte);
            } else {
                written =
                    H5Awrite(made.get(), H5T_NATIVE_DOUBLE, &attribute.number);
            }
        }
        if (written < 0)
            return "cannot write the attribute " + attribute.name;
    }
    return "";
}

Handle link_properties()
{
    Handle properties(H5Pcreate(H5P_LINK_CREATE), H5Pclose);
    if (properties.valid() &&
        H5Pset_create_intermediate_group(properties.get(), 1) < 0)
        properties.reset(H5I_INVALID_HID);
    return properties;
}

std::string write_dataset(hid_t file, const S102Dataset &dataset)
{
    const std::string failure = "cannot write " + dataset.path;
    const bool plain =
        dataset.members.size() == 1 && dataset.members[0].name.empty();
    uint64_t packed = 0, unpacked = 0;
    for (const S102Member &member : dataset.members) {
        packed += packed_size(member);
        unpacked += member.kind == 's' ? sizeof(char *) : packed_size(member);
    }
    Handle type(H5I_INVALID_HID, H5Tclose);
    if (plain) {
        type = file_type(dataset.members[0].kind, 0);
    } else {
        type.reset(H5Tcreate(H5T_COMPOUND, unpacked));
        uint64_t offset = 0;
        for (const S102Member &member : dataset.members) {
            Handle member_type = file_type(member.kind, member.size);
            if (!type.valid() || !member_type.valid() ||
                H5Tinsert(type.get(), member.name.c_str(), offset,
                          member_type.get()) < 0)
                return failure;
            offset +=
                member.kind == 's' ? sizeof(char *) : packed_size(member);
        }
    }
    const int rank = static_cast<int>(dataset.dims.size());
    hsize_t dims[2] = {0, 0}, chunk[2] = {1, 1};
    uint64_t elements = 1;
    for (int i = 0; i < rank && i < 2; ++i) {
        dims[i] = dataset.dims[i];
        elements *= dims[i];
        chunk[i] = std::max<hsize_t>(
            1,
            std::min<hsize_t>(dataset.chunk, std::max<hsize_t>(dims[i], 1)));
    }
    // A chunked dataset without data is declared only: it holds nothing.
    const bool declared = dataset.data.empty() && dataset.chunk > 0;
    if (!type.valid() || rank < 1 || rank > 2 || packed == 0 ||
        (!declared && dataset.data.size() != elements * packed))
        return failure + ": its data do not fit its shape";
    // The elements in the memory layout of `type`: text as pointers into a
    // copy of its NUL-ended pieces.
    std::vector<unsigned char> memory(declared ? 0 : elements * unpacked);
    std::deque<std::string> texts;  // stays in place as it grows
    const char *from = dataset.data.data();
    unsigned char *to = memory.data();
    for (uint64_t e = 0; !declared && e < elements; ++e) {
        for (const S102Member &member : dataset.members) {
            if (member.kind == 's') {
                texts.emplace_back(from, strnlen(from, member.size));
                const char *text = texts.back().c_str();
                std::memcpy(to, &text, sizeof text);
                to += sizeof text;
            } else {
                std::memcpy(to, from, packed_size(member));
                to += packed_size(member);
            }
            from += packed_size(member);
        }
    }
    Handle space(H5Screate_simple(rank, dims, nullptr), H5Sclose);
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    Handle links = link_properties();
    if (!space.valid() || !properties.valid() || !links.valid())
        return failure;
    if (dataset.chunk > 0 &&
        (H5Pset_chunk(properties.get(), rank, chunk) < 0 ||
         (dataset.compress > 0 &&
          H5Pset_deflate(properties.get(),
                         static_cast<unsigned>(dataset.compress)) < 0)))
        return failure;
    Handle made(H5Dcreate2(file, dataset.path.c_str(), type.get(), space.get(),
                           links.get(), properties.get(), H5P_DEFAULT),
                H5Dclose);
    if (!made.valid() || (!declared && elements > 0 &&
                          H5Dwrite(made.get(), type.get(), H5S_ALL, H5S_ALL,
                                   H5P_DEFAULT, memory.data()) < 0))
        return failure;
    return write_attributes(made.get(), dataset.attributes);
}

}  // namespace

std::string write_s102_file(const S102Request &request)
{
    Handle file(H5Fcreate(request.path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT,
                          H5P_DEFAULT),
                H5Fclose);
    if (!file.valid())
        return "cannot create the file";
    for (const S102Group &group : request.groups) {
        Handle object(H5I_INVALID_HID, H5Gclose);
        if (group.path == "/") {
            object.reset(H5Gopen2(file.get(), "/", H5P_DEFAULT));
        } else {
            Handle links = link_properties();
            if (links.valid())
                object.reset(H5Gcreate2(file.get(), group.path.c_str(),
                                        links.get(), H5P_DEFAULT,
                                        H5P_DEFAULT));
        }
        if (!object.valid())
            return "cannot create the group " + group.path;
        std::string failure = write_attributes(object.get(), group.attributes);
        if (!failure.empty())
            return failure;
    }
    for (const S102Dataset &dataset : request.datasets) {
        std::string failure = write_dataset(file.get(), dataset);
        if (!failure.empty())
            return failure;
    }
    return "";
}

}  // namespace bathyra
