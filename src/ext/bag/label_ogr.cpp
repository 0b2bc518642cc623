// The tracing of the labelled parts of a grid with GDAL/OGR: the label
// raster becomes a raster in memory (the raster itself, not a copy), one
// pass of GDAL's polygonizer gives every label's pieces at once, and each
// label's pieces are then joined, clipped, simplified, taken to WGS 84
// and written as GeoJSON as a grid's footprint is (footprint_ogr.cpp).
// The cells of no label (LabelFootprints::unlabelled) are left out.  Built
// without GDAL, every label is refused with a problem that says so.
#include "label_footprints.hpp"

#ifdef BATHYRA_HAVE_GDAL
#include "footprint_ogr.hpp"

#include <new>
#endif

namespace bathyra {

#ifndef BATHYRA_HAVE_GDAL

void trace_labels(const std::vector<std::uint16_t> &, std::uint64_t,
                  std::uint64_t, const double[6], const double[8], bool,
                  const std::string &, std::map<std::uint32_t, std::string> &,
                  std::map<std::uint32_t, std::string> &problems)
{
    problems.clear();
    problems[0] = "no footprint: built without GDAL";
}

#else

namespace {

using namespace gdal;

// Each label's pieces, a multipolygon per label, from the polygonizer's
// layer (field 0: the label).
bool gather(OGRLayerH layer, std::map<std::uint32_t, Geometry> &labels,
            std::string &problem)
{
    OGR_L_ResetReading(layer);
    while (Feature feature{OGR_L_GetNextFeature(layer)}) {
        const int label = OGR_F_GetFieldAsInteger(feature.get(), 0);
        Geometry piece(OGR_F_StealGeometry(feature.get()));
        if (!piece || label <= 0 ||
            std::uint32_t(label) == LabelFootprints::unlabelled)
            continue;
        Geometry &pieces = labels[std::uint32_t(label)];
        if (!pieces) {
            pieces.reset(OGR_G_CreateGeometry(wkbMultiPolygon));
            if (!pieces)
                throw std::bad_alloc();
        }
        if (OGR_G_AddGeometryDirectly(pieces.get(), piece.get()) !=
            OGRERR_NONE) {
            problem = reason("the outlines of the source surveys could not "
                             "be gathered");
            return false;
        }
        piece.release();  // now owned by `pieces`
    }
    return true;
}

void trace(const std::vector<std::uint16_t> &cells, std::uint64_t rows,
           std::uint64_t cols, const double cell_geotransform[6],
           const double outline[8], bool clip, const std::string &crs,
           std::map<std::uint32_t, std::string> &texts,
           std::map<std::uint32_t, std::string> &problems)
{
    std::string problem;
    if (!ready_to_trace(problem)) {
        problems[0] = problem;
        return;
    }
    Transform transform = to_wgs84(crs, problem);
    Dataset raster =
        transform
            ? raster_over(const_cast<std::uint16_t *>(cells.data()), int(rows),
                          int(cols), GDT_UInt16, cell_geotransform, problem)
            : Dataset();
    OGRLayerH layer = nullptr;
    Dataset vectors =
        raster ? polygonize(GDALGetRasterBand(raster.get(), 1), layer, problem)
               : Dataset();
    raster.reset();
    std::map<std::uint32_t, Geometry> labels;
    if (!vectors || !gather(layer, labels, problem)) {
        problems[0] = problem;
        return;
    }
    vectors.reset();
    // One label at a time, its pieces freed as it is done.
    for (auto &entry : labels) {
        std::string why;
        std::string text = finished(std::move(entry.second), cell_geotransform,
                                    outline, clip, transform.get(), why);
        if (text.empty())
            problems[entry.first] = why;
        else
            texts[entry.first] = std::move(text);
        CPLErrorReset();  // one label's failure explains no other's
    }
}

}  // namespace

void trace_labels(const std::vector<std::uint16_t> &cells, std::uint64_t rows,
                  std::uint64_t cols, const double cell_geotransform[6],
                  const double outline[8], bool clip, const std::string &crs,
                  std::map<std::uint32_t, std::string> &texts,
                  std::map<std::uint32_t, std::string> &problems)
{
    QuietErrors quiet;
    texts.clear();
    problems.clear();
    try {
        trace(cells, rows, cols, cell_geotransform, outline, clip, crs, texts,
              problems);
    } catch (const std::bad_alloc &) {
        texts.clear();
        problems.clear();
        problems[0] = "not enough memory to trace the footprints of the "
                      "source surveys";
    }
}

#endif

}  // namespace bathyra
