// The rows of a georeferenced metadata layer's table (`values`, an HDF5
// compound dataset): each member of a row read on its own, as text, so
// that a member of an unknown type costs that member only; and the
// cleaning of the text read from HDF5 files.  Runs with the HDF5 library
// lock held and without the interpreter lock.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bathyra {

// One member of a row: its name, its kind ('s' text, 'i' integer, 'f' a
// 32-bit and 'd' a 64-bit floating-point number, 'e' the name of an
// enumeration's value) and its value written as text.
struct MemberValue {
    std::string name;
    char kind;
    std::string text;
};

// Reads row `row` of the compound dataset `table`; false when the row
// cannot be read at all.  Members of other types are passed over.
bool read_table_row(hid_t table, uint64_t row,
                    std::vector<MemberValue> &members);

// `text` with control characters (tabs, line breaks) as blanks and the
// blanks at either end dropped, up to its first NUL or `size` bytes: how
// every name and text read from an HDF5 file (the S-102 reader's too) is
// handed on.
std::string cleaned_text(const char *text, size_t size);

}  // namespace bathyra
