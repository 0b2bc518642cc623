// Values of an S-102 file as text: its scalar attributes, and the columns
// of a compound table read member by member (each member once for all
// rows, so that a member of an unknown type costs that member only).
// Runs with the HDF5 library lock held and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

#include "georef_values.hpp"

namespace bathyra {
namespace s102 {

// Every scalar attribute of `object` that is text or a number (an
// enumeration as its integer value, kind 'i'), in the order of their
// names; attributes of other types or shapes are passed over.
std::vector<MemberValue> scalar_attributes(hid_t object);

// The attribute `name` of `object` as a number; false when it is missing
// or no number.
bool number_attribute(hid_t object, const char *name, double &value);

// One column of a table: the member's name and kind (as MemberValue) and
// its text in each row.
struct Column {
    std::string name;
    char kind;
    std::vector<std::string> texts;
};

// Reads the first `rows` rows of the compound dataset `table` into one
// Column per member that is read (names cut to max_name); false when the
// table cannot be read at all.  Stops with `too_large` set, and no
// columns, once the text and the values read would take more than
// `max_bytes` of the answer (each value counted as value_bytes more).
bool read_columns(hid_t table, uint64_t rows, uint64_t max_bytes,
                  std::vector<Column> &columns, bool &too_large);

// The longest member name kept, and what each value costs the answer
// beyond its text.
constexpr size_t max_name = 256;
constexpr uint64_t value_bytes = 32;

}  // namespace s102
}  // namespace bathyra
