// Reading one row of a layer's table, member by member, into text, and
// the cleaning of the text read.
#include "georef_values.hpp"

#include <cstdio>

#include "hdf5_access.hpp"

namespace bathyra {

namespace {

using hdf5::Handle;

// The longest fixed-length text member read.
constexpr size_t max_text = 65536;

// Reads the member `name` of the selected row into `buffer` in the memory
// type `type`; false when the library fails.
bool read_member(hid_t table, hid_t row_space, hid_t memory_space,
                 const char *name, hid_t type, void *buffer)
{
    Handle wrapper(H5Tcreate(H5T_COMPOUND, H5Tget_size(type)), H5Tclose);
    return wrapper.valid() && H5Tinsert(wrapper.get(), name, 0, type) >= 0 &&
           H5Dread(table, wrapper.get(), memory_space, row_space, H5P_DEFAULT,
                   buffer) >= 0;
}

// The member `index` of `row_type` as text; false when its type is not
// one that is read.
bool read_one(hid_t table, hid_t row_space, hid_t memory_space, hid_t row_type,
              unsigned index, MemberValue &value)
{
    Handle type(H5Tget_member_type(row_type, index), H5Tclose);
    if (!type.valid())
        return false;
    const char *name = value.name.c_str();
    char number[64];
    switch (H5Tget_member_class(row_type, index)) {
    case H5T_STRING: {
        Handle text(H5Tcopy(H5T_C_S1), H5Tclose);
        if (!text.valid())
            return false;
        value.kind = 's';
        if (H5Tis_variable_str(type.get()) > 0) {
            char *held = nullptr;
            if (H5Tset_size(text.get(), H5T_VARIABLE) < 0 ||
                !read_member(table, row_space, memory_space, name, text.get(),
                             &held))
                return false;
            value.text = held ? cleaned_text(held, max_text) : std::string();
            H5free_memory(held);
            return true;
        }
        const size_t size = H5Tget_size(type.get());
        if (size == 0 || size > max_text)
            return false;
        std::vector<char> buffer(size + 1, '\0');
        if (H5Tset_size(text.get(), size + 1) < 0 ||
            H5Tset_strpad(text.get(), H5T_STR_NULLTERM) < 0 ||
            !read_member(table, row_space, memory_space, name, text.get(),
                         buffer.data()))
            return false;
        value.text = cleaned_text(buffer.data(), size);
        return true;
    }
    case H5T_INTEGER: {
        const bool is_signed = H5Tget_sign(type.get()) != H5T_SGN_NONE;
        value.kind = 'i';
        if (is_signed) {
            long long read = 0;
            if (!read_member(table, row_space, memory_space, name,
                             H5T_NATIVE_LLONG, &read))
                return false;
            std::snprintf(number, sizeof number, "%lld", read);
        } else {
            unsigned long long read = 0;
            if (!read_member(table, row_space, memory_space, name,
                             H5T_NATIVE_ULLONG, &read))
                return false;
            std::snprintf(number, sizeof number, "%llu", read);
        }
        value.text = number;
        return true;
    }
    case H5T_FLOAT: {
        double read = 0.0;
        if (!read_member(table, row_space, memory_space, name,
                         H5T_NATIVE_DOUBLE, &read))
            return false;
        // Nine digits give a 32-bit float back; 17 a double.
        std::snprintf(number, sizeof number, "%.*g",
                      H5Tget_size(type.get()) <= 4 ? 9 : 17, read);
        value.kind = H5Tget_size(type.get()) <= 4 ? 'f' : 'd';
        value.text = number;
        return true;
    }
    case H5T_ENUM: {
        Handle native(H5Tget_native_type(type.get(), H5T_DIR_ASCEND),
                      H5Tclose);
        unsigned char raw[16] = {0};
        if (!native.valid() || H5Tget_size(native.get()) > sizeof raw ||
            !read_member(table, row_space, memory_space, name, native.get(),
                         raw))
            return false;
        char label[256];
        if (H5Tenum_nameof(native.get(), raw, label, sizeof label) < 0)
            return false;
        value.kind = 'e';
        value.text = cleaned_text(label, sizeof label);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

// Control characters would break the encoding of the answer; a text keeps
// the rest as it is.
std::string cleaned_text(const char *text, size_t size)
{
    std::string out;
    for (size_t i = 0; i < size && text[i] != '\0'; ++i)
        out.push_back(static_cast<unsigned char>(text[i]) < 0x20 ? ' '
                                                                 : text[i]);
    const size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

bool read_table_row(hid_t table, uint64_t row,
                    std::vector<MemberValue> &members)
{
    members.clear();
    Handle row_type(H5Dget_type(table), H5Tclose);
    Handle row_space(H5Dget_space(table), H5Sclose);
    const hsize_t one = 1, start = row;
    Handle memory_space(H5Screate_simple(1, &one, nullptr), H5Sclose);
    if (!row_type.valid() || !row_space.valid() || !memory_space.valid() ||
        H5Tget_class(row_type.get()) != H5T_COMPOUND ||
        H5Sselect_hyperslab(row_space.get(), H5S_SELECT_SET, &start, nullptr,
                            &one, nullptr) < 0)
        return false;
    const int count = H5Tget_nmembers(row_type.get());
    if (count < 0)
        return false;
    for (unsigned index = 0; index < static_cast<unsigned>(count); ++index) {
        char *name = H5Tget_member_name(row_type.get(), index);
        if (!name)
            continue;
        MemberValue value{cleaned_text(name, max_text), 's', std::string()};
        H5free_memory(name);
        if (value.name.empty())
            continue;
        if (read_one(table, row_space.get(), memory_space.get(),
                     row_type.get(), index, value))
            members.push_back(std::move(value));
    }
    return true;
}

}  // namespace bathyra
