// Points of a grid's horizontal CRS in longitude and latitude, through
// PROJ: what the grid's corners are checked against the geographic box
// with.
#include "proj_context.hpp"
#include "proj_lookup.hpp"

#include <cmath>

namespace bathyra {

#ifdef BATHYRA_HAVE_PROJ

bool to_longitude_latitude(const std::string &crs, double *xy,
                           std::size_t count)
{
    PJ_CONTEXT *context = proj::thread_context();
    if (context == nullptr || crs.empty())
        return false;
    proj::Object source(proj_create(context, crs.c_str()));
    if (!source)
        return false;
    proj::Object target(proj_create(context, "EPSG:4326"));
    if (!target)
        return false;
    proj::Object raw(proj_create_crs_to_crs_from_pj(
        context, source.get(), target.get(), nullptr, nullptr));
    if (!raw)
        return false;
    // Longitude first, whatever order the CRSs' axes declare.
    proj::Object transform(
        proj_normalize_for_visualization(context, raw.get()));
    if (!transform)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        PJ_COORD point = proj_coord(xy[2 * i], xy[2 * i + 1], 0, 0);
        point = proj_trans(transform.get(), PJ_FWD, point);
        if (!std::isfinite(point.xy.x) || !std::isfinite(point.xy.y))
            return false;
        xy[2 * i] = point.xy.x;
        xy[2 * i + 1] = point.xy.y;
    }
    return true;
}

#else

bool to_longitude_latitude(const std::string &, double *, std::size_t)
{
    return false;
}

#endif

}  // namespace bathyra
