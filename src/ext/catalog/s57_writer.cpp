// The S-57 exchange file of meta-objects over GDAL's S57 driver: the
// areas' rings as connected nodes and edges, the objects that reference
// them, the coverage over their union, and the record counts that the
// data set structure information (DSSI) states.
#include "s57_writer.hpp"

#include "s57_areas.hpp"

#include <cpl_string.h>

#include <map>
#include <mutex>

namespace bathyra {
namespace catalog {
namespace {

using namespace gdal;

// The S-57 record names of the vector records and their usage codes.
constexpr int connected_node = 120;
constexpr int edge_record = 130;
constexpr int forward = 1, reverse = 2;
constexpr int exterior = 1, interior = 2;
constexpr int not_given = 255;
constexpr int area_primitive = 3;
constexpr int meta_group = 2;

// Whether the file at `path` reads back with `expected` objects of each
// class: GDAL's S57 driver does not report a write that failed (a full
// disk) until the file is read.
bool reads_back(const std::string &path,
                const std::map<std::string, GIntBig> &expected)
{
    const char *const drivers[] = {"S57", nullptr};
    Dataset back(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY,
                            drivers, nullptr, nullptr));
    if (!back)
        return false;
    for (const auto &entry : expected) {
        OGRLayerH layer =
            GDALDatasetGetLayerByName(back.get(), entry.first.c_str());
        if (!layer || OGR_L_GetFeatureCount(layer, TRUE) != entry.second)
            return false;
    }
    return true;
}

bool set_integer(OGRFeatureH feature, const char *name, int value)
{
    int field = OGR_F_GetFieldIndex(feature, name);
    if (field < 0)
        return false;
    OGR_F_SetFieldInteger(feature, field, value);
    return true;
}

// An attribute by acronym, as the layer's field takes it (a list field
// from "1,3"); text in ISO 8859-1 when `latin1` (lexical level 1), else
// as given.  False when the class has no such attribute.
bool set_attribute(OGRFeatureH feature, const std::string &name,
                   const Value &value, bool latin1)
{
    int field = OGR_F_GetFieldIndex(feature, name.c_str());
    if (field < 0)
        return false;
    OGRFieldType type = OGR_Fld_GetType(OGR_F_GetFieldDefnRef(feature, field));
    if (value.kind == Value::words && type == OFTStringList) {
        char **items = CSLTokenizeString2(value.text.c_str(), ",", 0);
        OGR_F_SetFieldStringList(feature, field, items);
        CSLDestroy(items);
    } else if (value.kind == Value::words && latin1) {
        Text text(
            CPLRecode(value.text.c_str(), CPL_ENC_UTF8, CPL_ENC_ISO8859_1));
        OGR_F_SetFieldString(feature, field, text.get());
    } else if (value.kind == Value::words) {
        OGR_F_SetFieldString(feature, field, value.text.c_str());
    } else if (value.kind == Value::number) {
        OGR_F_SetFieldDouble(feature, field, value.real);
    } else if (value.kind == Value::whole) {
        OGR_F_SetFieldInteger64(feature, field, value.integer);
    }
    return true;
}

// The file being written: its layers and the next record identifiers.
class Writer {
  public:
    Writer(void *dataset, int agency, bool latin1)
        : dataset_(dataset), agency_(agency), latin1_(latin1)
    {
    }

    // The node and edge of each ring; the spatial pointers of an area
    // object to them in `pointers` (record identifier and orientation).
    bool rings(const std::vector<Ring> &rings,
               std::vector<std::pair<int, int>> &pointers,
               std::vector<int> &usage, std::string &error)
    {
        OGRLayerH nodes = GDALDatasetGetLayerByName(dataset_, "ConnectedNode");
        OGRLayerH edges = GDALDatasetGetLayerByName(dataset_, "Edge");
        if (!nodes || !edges)
            return fail(error, "the S-57 driver gave no layer of nodes or "
                               "edges");
        for (const Ring &ring : rings) {
            int id = ++vector_records_;
            Feature node(OGR_F_Create(OGR_L_GetLayerDefn(nodes)));
            Feature edge(OGR_F_Create(OGR_L_GetLayerDefn(edges)));
            Geometry point(OGR_G_CreateGeometry(wkbPoint));
            Geometry line(OGR_G_CreateGeometry(wkbLineString));
            if (!node || !edge || !point || !line)
                return fail(error, "cannot make a node or an edge");
            OGR_G_SetPoint_2D(point.get(), 0, ring.x[0], ring.y[0]);
            // The edge holds the positions between its nodes only.
            for (size_t i = 1; i + 1 < ring.x.size(); ++i)
                OGR_G_AddPoint_2D(line.get(), ring.x[i], ring.y[i]);
            bool named = set_integer(node.get(), "RCID", id) &&
                         set_integer(edge.get(), "RCID", id);
            for (int end = 0; named && end < 2; ++end) {
                std::string at = "_" + std::to_string(end);
                named =
                    set_integer(edge.get(), ("NAME_RCNM" + at).c_str(),
                                connected_node) &&
                    set_integer(edge.get(), ("NAME_RCID" + at).c_str(), id) &&
                    set_integer(edge.get(), ("ORNT" + at).c_str(),
                                not_given) &&
                    set_integer(edge.get(), ("USAG" + at).c_str(),
                                not_given) &&
                    set_integer(edge.get(), ("TOPI" + at).c_str(), end + 1) &&
                    set_integer(edge.get(), ("MASK" + at).c_str(), not_given);
            }
            if (!named)
                return fail(error, "the S-57 driver's edges lack the fields "
                                   "of their nodes");
            if (OGR_F_SetGeometryDirectly(node.get(), point.release()) !=
                    OGRERR_NONE ||
                OGR_F_SetGeometryDirectly(edge.get(), line.release()) !=
                    OGRERR_NONE)
                return fail(error, "cannot set a node's or an edge's "
                                   "geometry");
            if (OGR_L_CreateFeature(nodes, node.get()) != OGRERR_NONE ||
                OGR_L_CreateFeature(edges, edge.get()) != OGRERR_NONE)
                return fail(error, "cannot write a node or an edge");
            // S-57 runs an exterior boundary clockwise, a hole the other
            // way round.
            bool counterclockwise = signed_area(ring) > 0;
            pointers.emplace_back(
                id, counterclockwise == ring.outer ? reverse : forward);
            usage.push_back(ring.outer ? exterior : interior);
        }
        return true;
    }

    bool object(const S57Object &object,
                const std::vector<std::pair<int, int>> &pointers,
                const std::vector<int> &usage, std::string &error)
    {
        OGRLayerH layer =
            GDALDatasetGetLayerByName(dataset_, object.object_class.c_str());
        if (!layer)
            return fail(error, "the S-57 object catalogue has no class " +
                                   object.object_class);
        Feature feature(OGR_F_Create(OGR_L_GetLayerDefn(layer)));
        if (!feature)
            return fail(error, "cannot make a feature");
        int id = ++feature_records_;
        if (!set_integer(feature.get(), "RCID", id) ||
            !set_integer(feature.get(), "PRIM", area_primitive) ||
            !set_integer(feature.get(), "GRUP", meta_group) ||
            !set_integer(feature.get(), "AGEN", agency_) ||
            !set_integer(feature.get(), "FIDN", id) ||
            !set_integer(feature.get(), "FIDS", 1))
            return fail(error, "the S-57 driver's " + object.object_class +
                                   " lacks the fields of a feature record");
        for (size_t i = 0; i < object.names.size(); ++i)
            if (!set_attribute(feature.get(), object.names[i],
                               object.values[i], latin1_))
                return fail(error, object.object_class + " takes no " +
                                       object.names[i]);
        std::vector<int> names(pointers.size(), edge_record), ids, turns,
            masks(pointers.size(), not_given);
        for (const auto &pointer : pointers) {
            ids.push_back(pointer.first);
            turns.push_back(pointer.second);
        }
        int count = static_cast<int>(pointers.size());
        const char *lists[] = {"NAME_RCNM", "NAME_RCID", "ORNT", "USAG",
                               "MASK"};
        const std::vector<int> *values[] = {&names, &ids, &turns, &usage,
                                            &masks};
        for (int i = 0; i < 5; ++i) {
            int field = OGR_F_GetFieldIndex(feature.get(), lists[i]);
            if (field < 0)
                return fail(error, "the S-57 driver's features lack their "
                                   "spatial pointers");
            OGR_F_SetFieldIntegerList(feature.get(), field, count,
                                      values[i]->data());
        }
        if (OGR_L_CreateFeature(layer, feature.get()) != OGRERR_NONE)
            return fail(error, "cannot write the " + object.object_class);
        return true;
    }

  private:
    void *dataset_;
    int agency_;
    bool latin1_;
    int vector_records_ = 0;
    int feature_records_ = 0;
};

}  // namespace

bool write_exchange_file(const std::string &path, const ExchangeFile &file,
                         std::string &error)
{
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
    QuietErrors quiet;
    GDALDriverH driver = GDALGetDriverByName("S57");
    if (!driver)
        return fail(error, "this GDAL has no S-57 driver");
    // Every area's polygons, and those of the union for the coverage.  An
    // S-57 area has one exterior boundary: an area of several polygons is
    // written as objects over each of them.
    std::vector<std::vector<std::vector<Ring>>> parts(file.areas.size());
    std::map<std::string, GIntBig> expected;
    Geometry all(OGR_G_CreateGeometry(wkbMultiPolygon));
    if (!all)
        return fail(error, "cannot make a geometry");
    size_t objects = 0, ring_count = 0;
    for (size_t i = 0; i < file.areas.size(); ++i) {
        Geometry multi;
        if (!multipolygon_from(file.areas[i].geometry, multi) ||
            !polygons_of(multi.get(), parts[i]))
            return fail(error, "an area is no polygon of three corners or "
                               "more");
        for (int p = 0; p < OGR_G_GetGeometryCount(multi.get()); ++p)
            if (OGR_G_AddGeometry(all.get(),
                                  OGR_G_GetGeometryRef(multi.get(), p)) !=
                OGRERR_NONE)
                return fail(error, "cannot gather the areas");
        for (const S57Object &object : file.areas[i].objects)
            expected[object.object_class] +=
                static_cast<GIntBig>(parts[i].size());
        objects += file.areas[i].objects.size() * parts[i].size();
        for (const std::vector<Ring> &polygon : parts[i])
            ring_count += polygon.size();
    }
    std::vector<std::vector<Ring>> covered;
    bool coverage = !file.coverage.object_class.empty() && !file.areas.empty();
    if (coverage) {
        Geometry joined(OGR_G_UnionCascaded(all.get()));
        Geometry multi(joined ? polygonal(std::move(joined)) : Geometry());
        if (!multi || !polygons_of(multi.get(), covered))
            return fail(error, "cannot make the union of the areas");
        expected[file.coverage.object_class] +=
            static_cast<GIntBig>(covered.size());
        objects += covered.size();
        for (const std::vector<Ring> &polygon : covered)
            ring_count += polygon.size();
    }
    std::vector<std::string> texts = file.options;
    texts.push_back("S57_NOMR=" + std::to_string(objects));
    texts.push_back("S57_NOGR=0");
    texts.push_back("S57_NOCN=" + std::to_string(ring_count));
    texts.push_back("S57_NOED=" + std::to_string(ring_count));
    std::vector<char *> options;
    for (std::string &text : texts)
        options.push_back(&text[0]);
    options.push_back(nullptr);
    Dataset dataset(GDALCreate(driver, path.c_str(), 0, 0, 0, GDT_Unknown,
                               options.data()));
    if (!dataset)
        return fail(error, "cannot make the S-57 file");
    bool latin1 = false;
    for (const std::string &option : file.options)
        latin1 = latin1 || option == "S57_AALL=1";
    Writer writer(dataset.get(), file.agency, latin1);
    for (size_t i = 0; i < file.areas.size(); ++i)
        for (const std::vector<Ring> &polygon : parts[i]) {
            std::vector<std::pair<int, int>> pointers;
            std::vector<int> usage;
            if (!writer.rings(polygon, pointers, usage, error))
                return false;
            for (const S57Object &object : file.areas[i].objects)
                if (!writer.object(object, pointers, usage, error))
                    return false;
        }
    for (const std::vector<Ring> &polygon : covered) {
        std::vector<std::pair<int, int>> pointers;
        std::vector<int> usage;
        if (!writer.rings(polygon, pointers, usage, error) ||
            !writer.object(file.coverage, pointers, usage, error))
            return false;
    }
    // The driver writes the last records as it closes the file.
    CPLErrorReset();
    dataset.reset();
    if (CPLGetLastErrorType() >= CE_Failure)
        return fail(error, "cannot finish the S-57 file");
    if (!reads_back(path, expected))
        return fail(error, "the S-57 file was not written whole (is the "
                           "disk full?)");
    return true;
}

}  // namespace catalog
}  // namespace bathyra
