// The areas of an S-57 exchange file: GeoJSON polygons made valid and
// taken apart into their rings.
#include "s57_areas.hpp"

namespace bathyra {
namespace catalog {

using namespace gdal;

double signed_area(const Ring &ring)
{
    double sum = 0.0;
    for (size_t i = 0; i + 1 < ring.x.size(); ++i)
        sum += ring.x[i] * ring.y[i + 1] - ring.x[i + 1] * ring.y[i];
    return sum;
}

bool polygons_of(OGRGeometryH multi, std::vector<std::vector<Ring>> &polygons)
{
    for (int p = 0; p < OGR_G_GetGeometryCount(multi); ++p) {
        OGRGeometryH polygon = OGR_G_GetGeometryRef(multi, p);
        std::vector<Ring> rings;
        for (int r = 0; r < OGR_G_GetGeometryCount(polygon); ++r) {
            OGRGeometryH line = OGR_G_GetGeometryRef(polygon, r);
            int count = OGR_G_GetPointCount(line);
            if (count < 4)
                return false;
            Ring ring;
            ring.outer = r == 0;
            for (int i = 0; i < count; ++i) {
                ring.x.push_back(OGR_G_GetX(line, i));
                ring.y.push_back(OGR_G_GetY(line, i));
            }
            rings.push_back(std::move(ring));
        }
        polygons.push_back(std::move(rings));
    }
    return !polygons.empty();
}

Geometry polygonal(Geometry shape)
{
    OGRwkbGeometryType type = wkbFlatten(OGR_G_GetGeometryType(shape.get()));
    if (type == wkbPolygon || type == wkbMultiPolygon)
        return Geometry(OGR_G_ForceToMultiPolygon(shape.release()));
    if (type != wkbGeometryCollection)
        return Geometry();
    Geometry multi(OGR_G_CreateGeometry(wkbMultiPolygon));
    for (int i = 0; multi && i < OGR_G_GetGeometryCount(shape.get()); ++i) {
        Geometry part(OGR_G_Clone(OGR_G_GetGeometryRef(shape.get(), i)));
        Geometry polygons = part ? polygonal(std::move(part)) : Geometry();
        for (int p = 0; polygons && p < OGR_G_GetGeometryCount(polygons.get());
             ++p)
            if (OGR_G_AddGeometry(multi.get(),
                                  OGR_G_GetGeometryRef(polygons.get(), p)) !=
                OGRERR_NONE)
                return Geometry();
    }
    return multi && OGR_G_GetGeometryCount(multi.get()) > 0 ? std::move(multi)
                                                            : Geometry();
}

bool multipolygon_from(const std::string &json, Geometry &multi)
{
    Geometry shape(OGR_G_CreateGeometryFromJson(json.c_str()));
    if (!shape)
        return false;
    if (!OGR_G_IsValid(shape.get())) {
        Geometry valid(OGR_G_MakeValid(shape.get()));
        Geometry surface = valid ? polygonal(std::move(valid)) : Geometry();
        if (surface) {
            multi = std::move(surface);
            return true;
        }
    }
    multi = polygonal(std::move(shape));
    return static_cast<bool>(multi);
}

}  // namespace catalog
}  // namespace bathyra
