// The areas of an S-57 exchange file as the S57 driver takes them: each
// polygon as its closed rings (an S-57 area has one exterior boundary),
// from GeoJSON, made valid where the rings cross.  Plain C++ over GDAL's
// C API.
#pragma once

#include <string>
#include <vector>

#include "gdal_handles.hpp"

namespace bathyra {
namespace catalog {

// One closed ring: its positions, first and last the same.
struct Ring {
    std::vector<double> x, y;
    bool outer;
};

// Twice the signed area: positive when the ring runs counterclockwise.
double signed_area(const Ring &ring);

// The polygons of a MultiPolygon, each as its rings, or false when a
// ring has fewer than four positions (three distinct).
bool polygons_of(OGRGeometryH multi, std::vector<std::vector<Ring>> &polygons);

// The polygonal parts of a geometry as a MultiPolygon (those of a
// collection that making it valid gave), or null when it has none.
gdal::Geometry polygonal(gdal::Geometry shape);

// The area of a GeoJSON (Multi)Polygon, made valid where its rings cross
// (the union of the coverage fails on such rings).  An area with no
// surface (the box of a station) stays as it is.
bool multipolygon_from(const std::string &json, gdal::Geometry &multi);

}  // namespace catalog
}  // namespace bathyra
