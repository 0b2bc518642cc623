// Writing HDF5 files of the layouts of S-102 editions, for tests and
// benchmarks: groups (made with their parents) with scalar attributes, and
// datasets of one or two dimensions, plain or compound, with theirs.
// bathyra/s102.py says which groups, attributes and datasets an edition
// has.  Runs with the HDF5 library lock held and without the interpreter
// lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bathyra {

// A scalar attribute.  Kinds: 's' variable-length text (UTF-8), 'i' 32-bit and
// 'b' 8-bit integer, 'e' an 8-bit enumeration (its value; its names are
// "value_N"), 'f' 32-bit and 'd' 64-bit float.
struct S102Attribute {
    std::string name;
    char kind = 's';
    std::string text;
    double number = 0.0;
};

struct S102Group {
    std::string path;
    std::vector<S102Attribute> attributes;
};

// A member of a dataset's elements: kinds 'f' 32-bit float, 'd' 64-bit
// float, 'u' 32-bit unsigned and 'i' 32-bit integer, 'b' 8-bit unsigned,
// 's' text (given in `size` bytes, NUL-padded; written as variable-length
// text).  A dataset of one member without a name is plain, not compound.
struct S102Member {
    std::string name;
    char kind = 'f';
    uint64_t size = 0;
};

struct S102Dataset {
    std::string path;
    std::vector<uint64_t> dims;  // one or two
    uint64_t chunk = 0;          // square chunks of this side; 0: none
    int compress = 0;
    std::vector<S102Member> members;
    // The elements packed, little-endian, no padding; empty for a chunked
    // dataset that only declares its shape.
    std::string data;
    std::vector<S102Attribute> attributes;
};

struct S102Request {
    std::string path;
    std::vector<S102Group> groups;
    std::vector<S102Dataset> datasets;
};

// Writes the file (replacing any); "" on success, else what failed.
std::string write_s102_file(const S102Request &request);

}  // namespace bathyra
