// The BAG reader's side of the footprint's tracing: the shared object
// libbathyra_footprint_gdal.so.1 (GDAL behind it), looked for next to
// this module and loaded on the first footprint, in the helper process
// only.  Without it (a build without GDAL, or a library that does not
// load) every footprint is refused with a problem that says why.
#include <dlfcn.h>

#include <mutex>
#include <string>

#include "footprint_entry.hpp"
#include "footprint_tracer.hpp"
#include "label_footprints.hpp"

namespace bathyra {

namespace {

struct Loaded {
    TraceEntry entry = nullptr;
    LabelTraceEntry labels = nullptr;
    std::string why;  // why it is not loaded
};

// The folder of the shared object that holds this function, with "/".
std::string own_folder()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&own_folder), &info) == 0 ||
        info.dli_fname == nullptr)
        return std::string();
    const std::string path(info.dli_fname);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string()
                                      : path.substr(0, slash + 1);
}

const Loaded &loaded()
{
    static Loaded once;
    static std::once_flag flag;
    std::call_once(flag, [] {
#ifndef BATHYRA_FOOTPRINT_OBJECT
        once.why = "no footprint: built without GDAL";
#else
        const std::string path = own_folder() + BATHYRA_FOOTPRINT_OBJECT;
        void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char *error = dlerror();
            once.why = std::string("no footprint: the GDAL library could "
                                   "not be loaded (") +
                       (error ? error : path.c_str()) + ")";
            return;
        }
        once.entry =
            reinterpret_cast<TraceEntry>(dlsym(library, trace_entry));
        once.labels = reinterpret_cast<LabelTraceEntry>(
            dlsym(library, label_trace_entry));
        if (once.entry == nullptr || once.labels == nullptr) {
            once.entry = nullptr;
            once.labels = nullptr;
            once.why = "no footprint: the tracer's library is incomplete";
        }
#endif
    });
    return once;
}

}  // namespace

bool FootprintTracer::available()
{
    return loaded().entry != nullptr;
}

std::string trace_footprint(const std::vector<unsigned char> &mask,
                            std::uint64_t rows, std::uint64_t cols,
                            const double cell_geotransform[6],
                            const double outline[8], bool clip,
                            const std::string &crs, std::string &problem)
{
    const Loaded &library = loaded();
    if (library.entry == nullptr) {
        problem = library.why;
        return std::string();
    }
    std::string text;
    TraceCall call{&mask, rows,     cols, cell_geotransform, outline, clip,
                   &crs,  &problem, &text};
    library.entry(&call);
    return text;
}

void trace_labels(const std::vector<std::uint16_t> &cells, std::uint64_t rows,
                  std::uint64_t cols, const double cell_geotransform[6],
                  const double outline[8], bool clip, const std::string &crs,
                  std::map<std::uint32_t, std::string> &texts,
                  std::map<std::uint32_t, std::string> &problems)
{
    texts.clear();
    problems.clear();
    const Loaded &library = loaded();
    if (library.labels == nullptr) {
        problems[0] = library.why;
        return;
    }
    LabelTraceCall call{&cells, rows, cols,   cell_geotransform, outline,
                        clip,   &crs, &texts, &problems};
    library.labels(&call);
}

}  // namespace bathyra
