// The steps of a footprint's tracing with GDAL/OGR that the tracing of a
// grid's valid nodes (footprint_ogr.cpp) and of its labelled parts
// (label_ogr.cpp) share.  Only for builds with GDAL; every function runs
// under the caller's QuietErrors.
#pragma once

#include "gdal_handles.hpp"

#include <string>

namespace bathyra {
namespace gdal {

// `what`, GDAL's last failure's message in parentheses when there is one
// (a warning explains no failure), and ": no footprint".
std::string reason(const char *what);

// False with `problem` set when GDAL was built without GEOS; registers
// GDAL's drivers once.
bool ready_to_trace(std::string &problem);

// The transformation from the grid's CRS (WKT or an EPSG code) to WGS 84,
// longitude first; null with `problem` set when there is none.
Transform to_wgs84(const std::string &crs, std::string &problem);

// A raster in memory of one band over `data` (rows x cols values of
// `type`, row-major), not copied: `data` must outlive it.  Placed by
// `cell_geotransform`.
Dataset raster_over(void *data, int rows, int cols, GDALDataType type,
                    const double cell_geotransform[6], std::string &problem);

// GDAL's polygonizer over `band` (its own mask: cells of 0 are left out),
// a polygon per 4-connected piece of one value, into a layer "pieces" of
// the returned dataset, the value in field 0; null with `problem` set on
// a failure.
Dataset polygonize(GDALRasterBandH band, OGRLayerH &layer,
                   std::string &problem);

// Every piece of the polygonizer's `layer`, whatever its value, in one
// multipolygon; null with `problem` set on a failure.
Geometry all_pieces(OGRLayerH layer, std::string &problem);

// The footprint of `pieces` (polygons that share no more than a corner,
// gathered in a multipolygon) as GeoJSON: joined if GEOS finds them
// invalid, cut to `outline` when `clip` is set, simplified to within one
// cell of `cell_geotransform`, taken through `transform`; empty with
// `problem` set on a failure.
std::string finished(Geometry pieces, const double cell_geotransform[6],
                     const double outline[8], bool clip,
                     OGRCoordinateTransformationH transform,
                     std::string &problem);

}  // namespace gdal
}  // namespace bathyra
