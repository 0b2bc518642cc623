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
#include "footprint_ogr.hpp"

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

namespace gdal {

std::string reason(const char *what)
{
    std::string text = what;
    const char *message = CPLGetLastErrorMsg();
    if (CPLGetLastErrorType() >= CE_Failure && message != nullptr &&
        message[0] != '\0')
        text += std::string(" (GDAL: ") + message + ")";
    return text + ": no footprint";
}

bool ready_to_trace(std::string &problem)
{
    int major = 0, minor = 0, patch = 0;
    if (!OGRGetGEOSVersion(&major, &minor, &patch)) {
        problem = "no footprint: the GDAL library was built without GEOS, "
                  "which joins the outlines of valid nodes";
        return false;
    }
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
    return true;
}

namespace {

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

}  // namespace

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

Dataset raster_over(void *data, int rows, int cols, GDALDataType type,
                    const double cell_geotransform[6], std::string &problem)
{
    GDALDriverH driver = GDALGetDriverByName("MEM");
    if (driver == nullptr) {
        problem = reason("GDAL's drivers in memory are missing");
        return Dataset();
    }
    Dataset raster(GDALCreate(driver, "", cols, rows, 0, type, nullptr));
    // The band is the caller's buffer itself, not a copy of it.
    char pointer[64] = {0};
    CPLPrintPointer(pointer, data, sizeof pointer - 1);
    const std::string option = std::string("DATAPOINTER=") + pointer;
    char *options[] = {const_cast<char *>(option.c_str()), nullptr};
    double geotransform[6];
    for (int i = 0; i < 6; ++i)
        geotransform[i] = cell_geotransform[i];
    if (!raster || GDALAddBand(raster.get(), type, options) != CE_None ||
        GDALSetGeoTransform(raster.get(), geotransform) != CE_None) {
        problem = reason("the mask of valid nodes could not be made");
        return Dataset();
    }
    return raster;
}

Dataset polygonize(GDALRasterBandH band, OGRLayerH &layer,
                   std::string &problem)
{
    GDALDriverH driver = GDALGetDriverByName("Memory");
    if (driver == nullptr) {
        problem = reason("GDAL's drivers in memory are missing");
        return Dataset();
    }
    Dataset vectors(GDALCreate(driver, "", 0, 0, 0, GDT_Unknown, nullptr));
    layer = vectors ? GDALDatasetCreateLayer(vectors.get(), "pieces", nullptr,
                                             wkbPolygon, nullptr)
                    : nullptr;
    OGRFieldDefnH field = OGR_Fld_Create("value", OFTInteger);
    if (field == nullptr)
        throw std::bad_alloc();
    const bool made = layer != nullptr &&
                      OGR_L_CreateField(layer, field, TRUE) == OGRERR_NONE;
    OGR_Fld_Destroy(field);
    if (!made) {
        problem = reason("the outlines of valid nodes could not be held");
        return Dataset();
    }
    // The band is its own mask: only cells of a value become polygons.
    if (band == nullptr || GDALPolygonize(band, band, layer, 0, nullptr,
                                          nullptr, nullptr) != CE_None) {
        problem = reason("the valid nodes could not be outlined");
        return Dataset();
    }
    return vectors;
}

Geometry all_pieces(OGRLayerH layer, std::string &problem)
{
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

std::string finished(Geometry pieces, const double cell_geotransform[6],
                     const double outline[8], bool clip,
                     OGRCoordinateTransformationH transform,
                     std::string &problem)
{
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
    // A footprint that crosses the antimeridian is cut there into the
    // parts on either side, as GeoJSON asks, rather than drawn the long
    // way round the globe (a ring that crosses itself).
    char wrap[] = "WRAPDATELINE=YES";
    char *wrap_options[] = {wrap, nullptr};
    OGRGeomTransformerH transformer =
        OGR_GeomTransformer_Create(transform, wrap_options);
    Geometry taken(
        transformer ? OGR_GeomTransformer_Transform(transformer, simple.get())
                    : nullptr);
    if (transformer)
        OGR_GeomTransformer_Destroy(transformer);
    simple.reset();
    if (!taken || !finite_coordinates(taken.get())) {
        problem = reason("the footprint could not be taken from the grid's "
                         "horizontal CRS to WGS 84");
        return std::string();
    }
    simple = std::move(taken);
    char precision[] = "COORDINATE_PRECISION=7";
    char *options[] = {precision, nullptr};
    Text json(OGR_G_ExportToJsonEx(simple.get(), options));
    if (!json) {
        problem = reason("the footprint could not be written as GeoJSON");
        return std::string();
    }
    return std::string(json.get());
}

}  // namespace gdal

namespace {

using namespace gdal;

std::string trace(const std::vector<unsigned char> &mask, std::uint64_t rows,
                  std::uint64_t cols, const double cell_geotransform[6],
                  const double outline[8], bool clip, const std::string &crs,
                  std::string &problem)
{
    if (!ready_to_trace(problem))
        return std::string();
    Transform transform = to_wgs84(crs, problem);
    if (!transform)
        return std::string();
    Dataset raster =
        raster_over(const_cast<unsigned char *>(mask.data()), int(rows),
                    int(cols), GDT_Byte, cell_geotransform, problem);
    OGRLayerH layer = nullptr;
    Dataset vectors =
        raster ? polygonize(GDALGetRasterBand(raster.get(), 1), layer, problem)
               : Dataset();
    raster.reset();
    Geometry pieces = vectors ? all_pieces(layer, problem) : Geometry();
    vectors.reset();
    if (!pieces)
        return std::string();
    return finished(std::move(pieces), cell_geotransform, outline, clip,
                    transform.get(), problem);
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
