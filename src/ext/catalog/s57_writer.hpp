// An S-57 exchange file of meta-objects written through GDAL's S57 driver:
// areas (a survey's footprint) each with the objects that share it (its
// M_QUAL and M_SREL), and an M_COVR over the union of the areas.  Every
// ring of an area becomes one connected node and one closed edge, which
// the area objects reference (chain-node topology, as the driver reads
// areas back).  Plain C++ over GDAL's C API with no interpreter in it.
#pragma once

#include <string>
#include <vector>

#include "ogr_store.hpp"

namespace bathyra {
namespace catalog {

// An object of the S-57 object catalogue ("M_QUAL") and its attributes by
// acronym; a text value for a list attribute (TECSOU) is "1,3".  Values
// of kind none are left out.
struct S57Object {
    std::string object_class;
    std::vector<std::string> names;
    Row values;
};

// A GeoJSON Polygon or MultiPolygon (longitude, latitude on WGS 84) and
// the objects whose area it is.
struct S57Area {
    std::string geometry;
    std::vector<S57Object> objects;
};

struct ExchangeFile {
    // The driver's dataset creation options ("S57_AGEN=..."), but for the
    // record counts, which the writer states itself; with "S57_AALL=1"
    // the attributes' texts are written in ISO 8859-1.
    std::vector<std::string> options;
    int agency = 0;  // the producing agency of the objects' identifiers
    std::vector<S57Area> areas;
    // Written over the union of the areas when it has a class.
    S57Object coverage;
};

// Writes the file at `path` (replacing it).  False with the reason in
// `error`, in words followed by GDAL's message.
bool write_exchange_file(const std::string &path, const ExchangeFile &file,
                         std::string &error);

}  // namespace catalog
}  // namespace bathyra
