// Owners of the GDAL/OGR handles that the footprint tracer and the survey
// catalogue hold, each freed with its own function, the quiet handler
// that keeps GDAL's messages from stderr while they work, and the wording
// of a failure with GDAL's message.  Only for builds with GDAL.
#pragma once

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <memory>
#include <string>
#include <type_traits>

namespace bathyra {
namespace gdal {

// Owners of GDAL's handles, each freed with its own function.
struct DatasetCloser {
    void operator()(void *dataset) const { GDALClose(dataset); }
};
struct GeometryDestroyer {
    void operator()(std::remove_pointer_t<OGRGeometryH> *geometry) const
    {
        OGR_G_DestroyGeometry(geometry);
    }
};
struct FeatureDestroyer {
    void operator()(std::remove_pointer_t<OGRFeatureH> *feature) const
    {
        OGR_F_Destroy(feature);
    }
};
struct ReferenceReleaser {
    void operator()(std::remove_pointer_t<OGRSpatialReferenceH> *srs) const
    {
        OSRRelease(srs);
    }
};
struct TransformDestroyer {
    void
    operator()(std::remove_pointer_t<OGRCoordinateTransformationH> *ct) const
    {
        OCTDestroyCoordinateTransformation(ct);
    }
};
struct TextFreer {
    void operator()(char *text) const { CPLFree(text); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;
using Geometry =
    std::unique_ptr<std::remove_pointer_t<OGRGeometryH>, GeometryDestroyer>;
using Feature =
    std::unique_ptr<std::remove_pointer_t<OGRFeatureH>, FeatureDestroyer>;
using Reference = std::unique_ptr<std::remove_pointer_t<OGRSpatialReferenceH>,
                                  ReferenceReleaser>;
using Transform =
    std::unique_ptr<std::remove_pointer_t<OGRCoordinateTransformationH>,
                    TransformDestroyer>;
using Text = std::unique_ptr<char, TextFreer>;

// GDAL's messages for this thread go nowhere while it lives; the last one
// is read with fail().
class QuietErrors {
  public:
    QuietErrors()
    {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        CPLErrorReset();
    }
    ~QuietErrors() { CPLPopErrorHandler(); }
    QuietErrors(const QuietErrors &) = delete;
    QuietErrors &operator=(const QuietErrors &) = delete;
};

// Sets `error` to `what`, then GDAL's last message in parentheses when
// there is one; returns false, for `return fail(error, "...")`.
inline bool fail(std::string &error, const std::string &what)
{
    error = what;
    const char *message = CPLGetLastErrorMsg();
    if (message && *message)
        error += std::string(" (GDAL: ") + message + ")";
    return false;
}

}  // namespace gdal
}  // namespace bathyra
