// Reading the attributes and tables of an S-102 file into text.
#include "s102_values.hpp"

#include <cstdio>
#include <cstring>

#include "hdf5_access.hpp"

namespace bathyra {
namespace s102 {

namespace {

using hdf5::Handle;

// The longest text read, of an attribute or a member.
constexpr size_t max_text = 65536;

std::string integer_text(const unsigned char *raw, size_t size, bool sign)
{
    char number[32];
    if (sign) {
        long long value = 0;
        if (size == 1)
            value = *reinterpret_cast<const signed char *>(raw);
        else if (size == 2)
            value = *reinterpret_cast<const int16_t *>(raw);
        else if (size == 4)
            value = *reinterpret_cast<const int32_t *>(raw);
        else
            value = *reinterpret_cast<const int64_t *>(raw);
        std::snprintf(number, sizeof number, "%lld", value);
    } else {
        unsigned long long value = 0;
        if (size == 1)
            value = raw[0];
        else if (size == 2)
            value = *reinterpret_cast<const uint16_t *>(raw);
        else if (size == 4)
            value = *reinterpret_cast<const uint32_t *>(raw);
        else
            value = *reinterpret_cast<const uint64_t *>(raw);
        std::snprintf(number, sizeof number, "%llu", value);
    }
    return number;
}

std::string float_text(double value, bool single)
{
    // Nine digits give a 32-bit float back; 17 a double.
    char number[40];
    std::snprintf(number, sizeof number, "%.*g", single ? 9 : 17, value);
    return number;
}

// The memory type in which values of `type` (of class `type_class`) are
// read, and their kind; an invalid handle for a type that is not read.
// Integers and enumerations are read in their own native type, floats as
// doubles, text as NUL-ended text of its size plus one, or as pointers.
Handle memory_type(hid_t type, H5T_class_t type_class, char &kind)
{
    Handle none(H5I_INVALID_HID, H5Tclose);
    switch (type_class) {
    case H5T_STRING: {
        Handle text(H5Tcopy(H5T_C_S1), H5Tclose);
        kind = 's';
        // The library converts no text between character sets: the memory
        // type takes the file's (ASCII or UTF-8).
        const H5T_cset_t cset = H5Tget_cset(type);
        if (!text.valid() || cset < 0 || H5Tset_cset(text.get(), cset) < 0)
            return none;
        if (H5Tis_variable_str(type) > 0) {
            if (H5Tset_size(text.get(), H5T_VARIABLE) < 0)
                return none;
            kind = 'v';
            return text;
        }
        const size_t size = H5Tget_size(type);
        if (size == 0 || size > max_text ||
            H5Tset_size(text.get(), size + 1) < 0 ||
            H5Tset_strpad(text.get(), H5T_STR_NULLTERM) < 0)
            return none;
        return text;
    }
    case H5T_INTEGER:
    case H5T_ENUM: {
        Handle native(H5Tget_native_type(type, H5T_DIR_ASCEND), H5Tclose);
        kind = 'i';
        if (native.valid() && H5Tget_size(native.get()) > 8)
            return none;
        return native;
    }
    case H5T_FLOAT:
        kind = H5Tget_size(type) <= 4 ? 'f' : 'd';
        return Handle(H5Tcopy(H5T_NATIVE_DOUBLE), H5Tclose);
    default:
        return none;
    }
}

// The text of one value read in `memory` (of kind `kind`).
std::string value_text(hid_t memory, char kind, const unsigned char *raw)
{
    switch (kind) {
    case 'v': {
        const char *held = *reinterpret_cast<char *const *>(raw);
        return held ? cleaned_text(held, max_text) : std::string();
    }
    case 's':
        return cleaned_text(reinterpret_cast<const char *>(raw),
                            H5Tget_size(memory));
    case 'i': {
        // An enumeration's base type says its size and sign.
        Handle base(H5Tget_class(memory) == H5T_ENUM ? H5Tget_super(memory)
                                                     : H5Tcopy(memory),
                    H5Tclose);
        if (!base.valid())
            return std::string();
        return integer_text(raw, H5Tget_size(base.get()),
                            H5Tget_sign(base.get()) != H5T_SGN_NONE);
    }
    default: {
        double value;
        std::memcpy(&value, raw, sizeof value);
        return float_text(value, kind == 'f');
    }
    }
}

// Opens the attribute `name` of `object` into `attribute` and its type
// into `type`; false unless both open and the attribute holds one value.
bool open_scalar(hid_t object, const char *name, Handle &attribute,
                 Handle &type)
{
    attribute.reset(H5Aopen(object, name, H5P_DEFAULT));
    type.reset(attribute.valid() ? H5Aget_type(attribute.get())
                                 : H5I_INVALID_HID);
    Handle space(attribute.valid() ? H5Aget_space(attribute.get())
                                   : H5I_INVALID_HID,
                 H5Sclose);
    return type.valid() && space.valid() &&
           H5Sget_simple_extent_npoints(space.get()) == 1;
}

struct Gathered {
    hid_t object;
    std::vector<MemberValue> *values;
};

herr_t add_attribute(hid_t object, const char *name, const H5A_info_t *,
                     void *data)
{
    auto &gathered = *static_cast<Gathered *>(data);
    Handle attribute(H5I_INVALID_HID, H5Aclose);
    Handle type(H5I_INVALID_HID, H5Tclose);
    if (!open_scalar(object, name, attribute, type))
        return 0;
    char kind = 's';
    Handle memory = memory_type(type.get(), H5Tget_class(type.get()), kind);
    if (!memory.valid())
        return 0;
    std::vector<unsigned char> raw(H5Tget_size(memory.get()) + 8, 0);
    if (H5Aread(attribute.get(), memory.get(), raw.data()) < 0)
        return 0;
    std::string text = value_text(memory.get(), kind, raw.data());
    if (kind == 'v') {
        H5free_memory(*reinterpret_cast<char **>(raw.data()));
        kind = 's';
    }
    gathered.values->push_back(
        MemberValue{cleaned_text(name, max_text), kind, std::move(text)});
    return 0;
}

}  // namespace

std::vector<MemberValue> scalar_attributes(hid_t object)
{
    std::vector<MemberValue> values;
    Gathered gathered{object, &values};
    hsize_t at = 0;
    H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_INC, &at, add_attribute,
                &gathered);
    return values;
}

bool number_attribute(hid_t object, const char *name, double &value)
{
    if (H5Aexists(object, name) <= 0)
        return false;
    Handle attribute(H5I_INVALID_HID, H5Aclose);
    Handle type(H5I_INVALID_HID, H5Tclose);
    if (!open_scalar(object, name, attribute, type))
        return false;
    const H5T_class_t type_class = H5Tget_class(type.get());
    if (type_class != H5T_INTEGER && type_class != H5T_FLOAT)
        return false;
    return H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, &value) >= 0;
}

bool read_columns(hid_t table, uint64_t rows, uint64_t max_bytes,
                  std::vector<Column> &columns, bool &too_large)
{
    columns.clear();
    too_large = false;
    uint64_t bytes = 0;
    Handle row_type(H5Dget_type(table), H5Tclose);
    Handle space(H5Dget_space(table), H5Sclose);
    if (!row_type.valid() || !space.valid() ||
        H5Tget_class(row_type.get()) != H5T_COMPOUND)
        return false;
    const hsize_t start = 0, count = rows;
    Handle memory_space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    if (!memory_space.valid() ||
        (rows > 0 && H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, &start,
                                         nullptr, &count, nullptr) < 0))
        return false;
    const int members = H5Tget_nmembers(row_type.get());
    if (members < 0)
        return false;
    for (unsigned index = 0; index < static_cast<unsigned>(members); ++index) {
        char *raw_name = H5Tget_member_name(row_type.get(), index);
        if (!raw_name)
            continue;
        Column column{cleaned_text(raw_name, max_name), 's', {}};
        Handle type(H5Tget_member_type(row_type.get(), index), H5Tclose);
        Handle memory =
            type.valid()
                ? memory_type(type.get(),
                              H5Tget_member_class(row_type.get(), index),
                              column.kind)
                : Handle(H5I_INVALID_HID, H5Tclose);
        const size_t size = memory.valid() ? H5Tget_size(memory.get()) : 0;
        Handle wrapper(size ? H5Tcreate(H5T_COMPOUND, size) : H5I_INVALID_HID,
                       H5Tclose);
        if (column.name.empty() || !wrapper.valid() ||
            H5Tinsert(wrapper.get(), raw_name, 0, memory.get()) < 0) {
            H5free_memory(raw_name);
            continue;
        }
        H5free_memory(raw_name);
        std::vector<unsigned char> buffer(size * rows + 8, 0);
        if (rows > 0 && H5Dread(table, wrapper.get(), memory_space.get(),
                                space.get(), H5P_DEFAULT, buffer.data()) < 0)
            continue;
        bytes += column.name.size() + value_bytes;
        column.texts.reserve(rows);
        for (uint64_t row = 0; row < rows; ++row) {
            const unsigned char *raw = buffer.data() + row * size;
            if (bytes <= max_bytes) {
                column.texts.push_back(
                    value_text(memory.get(), column.kind, raw));
                bytes += column.texts.back().size() + value_bytes;
            }
            // Every row's text is freed, also those past the limit.
            if (column.kind == 'v')
                H5free_memory(*reinterpret_cast<char *const *>(raw));
        }
        if (bytes > max_bytes) {
            too_large = true;
            columns.clear();
            return true;
        }
        if (column.kind == 'v')
            column.kind = 's';
        columns.push_back(std::move(column));
    }
    return true;
}

}  // namespace s102
}  // namespace bathyra
