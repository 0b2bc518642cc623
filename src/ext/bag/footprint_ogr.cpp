// The tracing of a footprint with GDAL/OGR: the mask becomes a raster in
// memory, GDAL's polygonizer turns its valid cells into polygons, GEOS
// (through OGR) joins, clips and simplifies them, PROJ (through OGR)
// takes them to longitude and latitude on WGS 84, and OGR writes the
// GeoJSON.  No geometry is computed here by hand.  Built without GDAL,
// every footprint is refused with a problem that says so.
//
// GDAL's messages are kept from stderr (a quiet handler, pushed for the
// calling thread only) and become the problems' reasons.
#include "footprint_tracer.hpp"

#ifdef BATHYRA_HAVE_GDAL
#include "gdal_handles.hpp"

#include <gdal_alg.h>

#include <cctype>
#include <cmath>
#include <mutex>
#include <new>
#endif

namespace bathyra {

#ifndef BATHYRA_HAVE_GDAL

bool FootprintTracer::available()
{
    return false;
}

std::string trace_footprint(const std::vector<unsigned char> &, std::uint64_t,
                            std::uint64_t, const double[6], const double[8],
                            bool, const std::string &, std::string &problem)
{
    problem = "no footprint: built without GDAL";
    return std::string();
}

#else

bool FootprintTracer::available()
{
    return true;
}

namespace {

using namespace gdal;

// `what`, GDAL's last failure's message in parentheses when there is one
// (a warning explains no failure), and the consequence.
std::string reason(const char *what)
{
    std::string text = what;
    const char *message = CPLGetLastErrorMsg();
    if (CPLGetLastErrorType() >= CE_Failure && message != nullptr &&
        message[0] != '\0')
        text += std::string(" (GDAL: ") + message + ")";
    return text + ": no footprint";
}

void register_drivers()
{
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

// Reads an EPSG code ("EPSG:32618", "32618") or a WKT text into `srs`.
bool read_crs(OGRSpatialReferenceH srs, const std::string &text)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace((unsigned char)text[begin]))
        ++begin;
    while (end > begin && std::isspace((unsigned char)text[end - 1]))
        --end;
    std::string crs = text.substr(begin, end - begin);
    if (crs.empty() || crs.find('\0') != std::string::npos)
        return false;
    std::string code = crs;
    if (code.size() > 5 &&
        (code.compare(0, 5, "EPSG:") == 0 || code.compare(0, 5, "epsg:") == 0))
        code = code.substr(5);
    bool digits = !code.empty() && code.size() <= 9;
    for (char c : code)
        digits = digits && c >= '0' && c <= '9';
    if (digits)
        return OSRImportFromEPSG(srs, std::stoi(code)) == OGRERR_NONE;
    std::vector<char> wkt(crs.begin(), crs.end());
    wkt.push_back('\0');
    char *cursor = wkt.data();
    return OSRImportFromWkt(srs, &cursor) == OGRERR_NONE;
}

// True when every coordinate of `geometry` is a finite number.
bool finite_coordinates(OGRGeometryH geometry)
{
    const int parts = OGR_G_GetGeometryCount(geometry);
    for (int i = 0; i < parts; ++i) {
        if (!finite_coordinates(OGR_G_GetGeometryRef(geometry, i)))
            return false;
    }
    const int points = OGR_G_GetPointCount(geometry);
    for (int i = 0; i < points; ++i) {
        if (!std::isfinite(OGR_G_GetX(geometry, i)) ||
            !std::isfinite(OGR_G_GetY(geometry, i)))
            return false;
    }
    return true;
}

// The transformation from the grid's CRS to WGS 84, longitude first.
Transform to_wgs84(const std::string &crs, std::string &problem)
{
    Reference source(OSRNewSpatialReference(nullptr));
    Reference target(OSRNewSpatialReference(nullptr));
    if (!source || !target)
        throw std::bad_alloc();
    if (!read_crs(source.get(), crs)) {
        problem = reason(crs.empty() ? "the grid gives no horizontal CRS"
                                     : "the grid's horizontal CRS cannot be "
                                       "read");
        return Transform();
    }
    if (OSRImportFromEPSG(target.get(), 4326) != OGRERR_NONE) {
        problem = reason("WGS 84 is not in PROJ's database");
        return Transform();
    }
    OSRSetAxisMappingStrategy(source.get(), OAMS_TRADITIONAL_GIS_ORDER);
    OSRSetAxisMappingStrategy(target.get(), OAMS_TRADITIONAL_GIS_ORDER);
    Transform transform(
        OCTNewCoordinateTransformation(source.get(), target.get()));
    if (!transform)
        problem = reason("no transformation from the grid's horizontal CRS "
                         "to WGS 84");
    return transform;
}

// The valid cells of `mask` as polygons, one a connected piece, gathered
// in one multipolygon.
Geometry polygonize(const std::vector<unsigned char> &mask, int rows, int cols,
                    const double cell_geotransform[6], std::string &problem)
{
    GDALDriverH raster_driver = GDALGetDriverByName("MEM");
    GDALDriverH vector_driver = GDALGetDriverByName("Memory");
    if (raster_driver == nullptr || vector_driver == nullptr) {
        problem = reason("GDAL's drivers in memory are missing");
        return Geometry();
    }
    Dataset raster(
        GDALCreate(raster_driver, "", cols, rows, 1, GDT_Byte, nullptr));
    if (!raster) {
        problem = reason("the mask of valid nodes could not be made");
        return Geometry();
    }
    double geotransform[6];
    for (int i = 0; i < 6; ++i)
        geotransform[i] = cell_geotransform[i];
    GDALRasterBandH band = GDALGetRasterBand(raster.get(), 1);
    if (GDALSetGeoTransform(raster.get(), geotransform) != CE_None ||
        band == nullptr ||
        GDALRasterIO(band, GF_Write, 0, 0, cols, rows,
                     const_cast<unsigned char *>(mask.data()), cols, rows,
                     GDT_Byte, 0, 0) != CE_None) {
        problem = reason("the mask of valid nodes could not be made");
        return Geometry();
    }
    Dataset vectors(
        GDALCreate(vector_driver, "", 0, 0, 0, GDT_Unknown, nullptr));
    OGRLayerH layer =
        vectors ? GDALDatasetCreateLayer(vectors.get(), "footprint", nullptr,
                                         wkbPolygon, nullptr)
                : nullptr;
    if (layer == nullptr) {
        problem = reason("the outlines of valid nodes could not be held");
        return Geometry();
    }
    // The band is its own mask: only valid cells become polygons.
    if (GDALPolygonize(band, band, layer, -1, nullptr, nullptr, nullptr) !=
        CE_None) {
        problem = reason("the valid nodes could not be outlined");
        return Geometry();
    }
    raster.reset();
    Geometry pieces(OGR_G_CreateGeometry(wkbMultiPolygon));
    if (!pieces)
        throw std::bad_alloc();
    OGR_L_ResetReading(layer);
    while (Feature feature{OGR_L_GetNextFeature(layer)}) {
        Geometry piece(OGR_F_StealGeometry(feature.get()));
        if (!piece)
            continue;
        if (OGR_G_AddGeometryDirectly(pieces.get(), piece.get()) !=
            OGRERR_NONE) {
            problem = reason("the outlines of valid nodes could not be "
                             "gathered");
            return Geometry();
        }
        piece.release();  // now owned by `pieces`
    }
    return pieces;
}

// The grid's outline as a polygon, from its four corners.
Geometry outline_polygon(const double outline[8])
{
    Geometry ring(OGR_G_CreateGeometry(wkbLinearRing));
    Geometry polygon(OGR_G_CreateGeometry(wkbPolygon));
    if (!ring || !polygon)
        throw std::bad_alloc();
    for (int i = 0; i <= 4; ++i)
        OGR_G_AddPoint_2D(ring.get(), outline[2 * (i % 4)],
                          outline[2 * (i % 4) + 1]);
    if (OGR_G_AddGeometryDirectly(polygon.get(), ring.get()) != OGRERR_NONE)
        return Geometry();
    ring.release();  // now owned by `polygon`
    return polygon;
}

std::string trace(const std::vector<unsigned char> &mask, std::uint64_t rows,
                  std::uint64_t cols, const double cell_geotransform[6],
                  const double outline[8], bool clip, const std::string &crs,
                  std::string &problem)
{
    int major = 0, minor = 0, patch = 0;
    if (!OGRGetGEOSVersion(&major, &minor, &patch)) {
        problem = "no footprint: the GDAL library was built without GEOS, "
                  "which joins the outlines of valid nodes";
        return std::string();
    }
    register_drivers();
    Transform transform = to_wgs84(crs, problem);
    if (!transform)
        return std::string();
    Geometry pieces =
        polygonize(mask, int(rows), int(cols), cell_geotransform, problem);
    if (!pieces)
        return std::string();
    // The polygonizer's pieces are 4-connected pieces of cells, so no two
    // share more than a corner: together they already are the union, one
    // polygon or a multipolygon, unless GEOS finds them invalid (then
    // GEOS joins them).  A union of a polygon with many holes costs
    // several times the rest of the tracing.
    Geometry area;
    if (OGR_G_GetGeometryCount(pieces.get()) == 1)
        area.reset(OGR_G_Clone(OGR_G_GetGeometryRef(pieces.get(), 0)));
    else
        area = std::move(pieces);
    if (area && !OGR_G_IsValid(area.get())) {
        CPLErrorReset();  // the check's own message is no failure
        area.reset(OGR_G_UnionCascaded(area.get()));
    }
    pieces.reset();
    if (!area) {
        problem = reason("the outlines of valid nodes could not be joined");
        return std::string();
    }
    if (clip) {
        Geometry grid = outline_polygon(outline);
        Geometry inside(grid ? OGR_G_Intersection(area.get(), grid.get())
                             : nullptr);
        if (!inside) {
            problem = reason("the footprint could not be cut to the grid");
            return std::string();
        }
        area = std::move(inside);
    }
    // Within one cell: the shorter of its two sides.
    const double *gt = cell_geotransform;
    const double tolerance =
        std::fmin(std::hypot(gt[1], gt[4]), std::hypot(gt[2], gt[5]));
    Geometry simple(OGR_G_SimplifyPreserveTopology(area.get(), tolerance));
    area.reset();
    if (!simple) {
        problem = reason("the footprint could not be simplified");
        return std::string();
    }
    if (OGR_G_IsEmpty(simple.get())) {
        problem = "the valid nodes cover no area: no footprint";
        return std::string();
    }
    if (OGR_G_Transform(simple.get(), transform.get()) != OGRERR_NONE ||
        !finite_coordinates(simple.get())) {
        problem = reason("the footprint could not be taken from the grid's "
                         "horizontal CRS to WGS 84");
        return std::string();
    }
    char precision[] = "COORDINATE_PRECISION=7";
    char *options[] = {precision, nullptr};
    Text json(OGR_G_ExportToJsonEx(simple.get(), options));
    if (!json) {
        problem = reason("the footprint could not be written as GeoJSON");
        return std::string();
    }
    return std::string(json.get());
}

}  // namespace

std::string trace_footprint(const std::vector<unsigned char> &mask,
                            std::uint64_t rows, std::uint64_t cols,
                            const double cell_geotransform[6],
                            const double outline[8], bool clip,
                            const std::string &crs, std::string &problem)
{
    QuietErrors quiet;
    try {
        return trace(mask, rows, cols, cell_geotransform, outline, clip, crs,
                     problem);
    } catch (const std::bad_alloc &) {
        problem = "not enough memory to trace the footprint";
        return std::string();
    }
}

#endif

}  // namespace bathyra
