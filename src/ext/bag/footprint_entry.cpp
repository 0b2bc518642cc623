// The entry of the footprint's tracing with GDAL, in a shared object of
// its own (libbathyra_footprint_gdal.so.1) that the BAG reader loads only
// when a footprint is asked for, so that GDAL and its libraries load into
// the helper process that traces and into no other.  A C function for
// each tracing, its arguments in a struct (footprint_loader.cpp is their
// other side).
#include "footprint_entry.hpp"

#include "footprint_tracer.hpp"
#include "label_footprints.hpp"

// Exported, as the next one: the build hides every other symbol.
extern "C" __attribute__((visibility("default"))) void
bathyra_trace_footprint(bathyra::TraceCall *call)
{
    *call->text = bathyra::trace_footprint(
        *call->mask, call->rows, call->cols, call->cell_geotransform,
        call->outline, call->clip, *call->crs, *call->problem);
}

extern "C" __attribute__((visibility("default"))) void
bathyra_trace_labels(bathyra::LabelTraceCall *call)
{
    bathyra::trace_labels(*call->cells, call->rows, call->cols,
                          call->cell_geotransform, call->outline, call->clip,
                          *call->crs, *call->texts, *call->problems);
}
