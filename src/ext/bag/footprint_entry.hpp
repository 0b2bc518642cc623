// What the BAG reader hands to the footprint's tracing in its shared
// object (footprint_entry.cpp), and the names of its entries: one for a
// grid's valid nodes, one for its labelled parts.
#pragma once

#include <cstdint>
#include <map>
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

// The arguments and results of trace_labels (label_footprints.hpp).
struct LabelTraceCall {
    const std::vector<std::uint16_t> *cells;
    std::uint64_t rows, cols;
    const double *cell_geotransform;
    const double *outline;
    bool clip;
    const std::string *crs;
    std::map<std::uint32_t, std::string> *texts;
    std::map<std::uint32_t, std::string> *problems;
};

constexpr const char *label_trace_entry = "bathyra_trace_labels";
using LabelTraceEntry = void (*)(LabelTraceCall *);

}  // namespace bathyra
