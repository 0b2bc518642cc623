// What the BAG reader hands to the footprint's tracing in its shared
// object (footprint_entry.cpp), and the name of its one entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bathyra {

// The arguments and results of trace_footprint (footprint_tracer.hpp).
struct TraceCall {
    const std::vector<unsigned char> *mask;
    std::uint64_t rows, cols;
    const double *cell_geotransform;
    const double *outline;
    bool clip;
    const std::string *crs;
    std::string *problem;
    std::string *text;
};

constexpr const char *trace_entry = "bathyra_trace_footprint";
using TraceEntry = void (*)(TraceCall *);

}  // namespace bathyra
