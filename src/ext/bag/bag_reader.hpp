// Reading the ISO 19139 document that a BAG file carries in
// /BAG_root/metadata, the file's BAG version, and what its elevation says.
// Runs with the HDF5 library lock held and without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>

#include "elevation_summary.hpp"
#include "grid_pass.hpp"

namespace bathyra {

class FootprintSink;

// The outcome of a read, made without the interpreter lock; turned into a
// result or an exception once the lock is back.
struct ReadOutcome {
    enum Status {
        ok,
        not_regular,
        not_hdf5,
        cannot_open,
        no_dataset,
        linked_elsewhere,
        stored_elsewhere,
        wrong_type,
        wrong_shape,
        too_large,
        empty,
        read_failed,
        no_memory,
    } status = ok;
    std::string document;
    bool has_version = false;
    std::string version;
    std::string detail;
    ElevationSummary elevation;  // the parts beyond the metadata
};

// Reads the `parts` (ReadPart flags) of the file at `path` (in the file
// system's encoding).  A metadata dataset of more than `limit` bytes is
// refused before anything of that size is allocated or read.  Only the
// metadata's failures fail the outcome; the elevation's are in its
// summary.  The grid's blocks also go to `footprint` when it is not null,
// and the nodes of the source surveys (georeferenced metadata layers) to
// its labels.
void read_bag_file(const char *path, uint64_t limit, unsigned parts,
                   ReadOutcome &outcome, FootprintSink *footprint = nullptr);

// What was wrong with the file, in words, for a failed outcome (not
// no_memory); the caller puts the file's name in front.
std::string failure_reason(const ReadOutcome &outcome, uint64_t limit);

}  // namespace bathyra
