// The catalogue's store over GDAL/OGR's C API: the dataset, its layers and
// their fields, transactions, and the features written, deleted and read.
// GDAL's messages go to a quiet handler for the calling thread and end up
// in the reasons of failures.
#include "ogr_store.hpp"

#include <cinttypes>
#include <cstdio>
#include <mutex>

namespace bathyra {
namespace catalog {
namespace {

using namespace gdal;

void register_drivers()
{
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

OGRFieldType ogr_type(FieldKind kind)
{
    switch (kind) {
    case FieldKind::real:
        return OFTReal;
    case FieldKind::integer:
        return OFTInteger64;
    case FieldKind::date:
        return OFTDate;
    case FieldKind::datetime:
        return OFTDateTime;
    case FieldKind::text:
        break;
    }
    return OFTString;
}

// WGS 84 with longitude first, as GeoJSON has it.
Reference wgs84()
{
    Reference srs(OSRNewSpatialReference(nullptr));
    if (!srs || OSRImportFromEPSG(srs.get(), 4326) != OGRERR_NONE)
        return nullptr;
    OSRSetAxisMappingStrategy(srs.get(), OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
}

bool set_value(OGRFeatureH feature, int field, const Value &value)
{
    switch (value.kind) {
    case Value::none:
        OGR_F_SetFieldNull(feature, field);
        return true;
    case Value::words:
        OGR_F_SetFieldString(feature, field, value.text.c_str());
        return true;
    case Value::number:
        OGR_F_SetFieldDouble(feature, field, value.real);
        return true;
    case Value::whole:
        OGR_F_SetFieldInteger64(feature, field, value.integer);
        return true;
    }
    return false;
}

// A date (and time) field as ISO 8601 text.
std::string date_text(OGRFeatureH feature, int field, bool with_time)
{
    int year, month, day, hour, minute, zone;
    float second;
    if (!OGR_F_GetFieldAsDateTimeEx(feature, field, &year, &month, &day, &hour,
                                    &minute, &second, &zone))
        return std::string();
    char text[40];
    if (!with_time)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%s",
                      year, month, day, hour, minute, static_cast<int>(second),
                      zone == 100 ? "Z" : "");
    return text;
}

Value read_value(OGRFeatureH feature, int field, OGRFieldType type)
{
    Value value;
    if (!OGR_F_IsFieldSetAndNotNull(feature, field))
        return value;
    switch (type) {
    case OFTInteger:
    case OFTInteger64:
        value.kind = Value::whole;
        value.integer = OGR_F_GetFieldAsInteger64(feature, field);
        break;
    case OFTReal:
        value.kind = Value::number;
        value.real = OGR_F_GetFieldAsDouble(feature, field);
        break;
    case OFTDate:
    case OFTDateTime:
        value.kind = Value::words;
        value.text = date_text(feature, field, type == OFTDateTime);
        break;
    default:
        value.kind = Value::words;
        value.text = OGR_F_GetFieldAsString(feature, field);
        break;
    }
    return value;
}

}  // namespace

bool Store::open(const std::string &destination, const std::string &driver,
                 Mode mode, std::string &error)
{
    register_drivers();
    QuietErrors quiet;
    read_only_ = mode == Mode::read;
    unsigned flags = GDAL_OF_VECTOR | (read_only_ ? 0 : GDAL_OF_UPDATE);
    dataset_.reset(
        GDALOpenEx(destination.c_str(), flags, nullptr, nullptr, nullptr));
    if (dataset_)
        return true;
    if (mode != Mode::create)
        return fail(error, read_only_ ? "cannot open the catalogue"
                                      : "cannot open the catalogue for "
                                        "writing");
    GDALDriverH handle = GDALGetDriverByName(driver.c_str());
    if (!handle)
        return fail(error, "GDAL has no driver " + driver);
    CPLErrorReset();
    dataset_.reset(GDALCreate(handle, destination.c_str(), 0, 0, 0,
                              GDT_Unknown, nullptr));
    if (!dataset_)
        return fail(error, "cannot create the catalogue");
    return true;
}

bool Store::valid(int layer, std::string &error) const
{
    if (dataset_ && layer >= 0 && static_cast<size_t>(layer) < layers_.size())
        return true;
    error = dataset_ ? "no such layer" : "the catalogue is closed";
    return false;
}

bool Store::layer(const LayerSpec &spec,
                  const std::vector<std::string> &options, int &index,
                  std::string &error)
{
    if (!dataset_) {
        error = "the catalogue is closed";
        return false;
    }
    QuietErrors quiet;
    OGRLayerH handle =
        GDALDatasetGetLayerByName(dataset_.get(), spec.name.c_str());
    if (!handle && read_only_) {
        error = "not a survey catalogue: it has no layer " + spec.name;
        return false;
    }
    if (!handle) {
        CPLErrorReset();
        Reference srs;
        if (spec.geometry && !(srs = wgs84()))
            return fail(error, "no WGS 84 in PROJ's database");
        std::vector<char *> list;
        for (const std::string &option : options)
            list.push_back(const_cast<char *>(option.c_str()));
        list.push_back(nullptr);
        handle = GDALDatasetCreateLayer(
            dataset_.get(), spec.name.c_str(), srs.get(),
            spec.geometry ? wkbMultiPolygon : wkbNone, list.data());
        if (!handle)
            return fail(error, "cannot create the layer " + spec.name);
    }
    Open open{handle, {}, {}};
    OGRFeatureDefnH definition = OGR_L_GetLayerDefn(handle);
    for (const FieldSpec &field : spec.fields) {
        int at = OGR_FD_GetFieldIndex(definition, field.name.c_str());
        if (at < 0 && read_only_) {
            error = "the layer " + spec.name + " has no column " + field.name;
            return false;
        }
        if (at < 0) {
            OGRFieldDefnH made =
                OGR_Fld_Create(field.name.c_str(), ogr_type(field.kind));
            if (!made)
                return fail(error, "cannot define the field " + field.name);
            OGRErr created = OGR_L_CreateField(handle, made, TRUE);
            OGR_Fld_Destroy(made);
            at = OGR_FD_GetFieldIndex(definition, field.name.c_str());
            if (created != OGRERR_NONE || at < 0)
                return fail(error, "cannot add the field " + field.name +
                                       " to the layer " + spec.name);
        }
        open.fields.push_back(at);
        open.kinds.push_back(field.kind);
    }
    layers_.push_back(std::move(open));
    index = static_cast<int>(layers_.size() - 1);
    return true;
}

bool Store::deletes(int layer) const
{
    std::string error;
    return valid(layer, error) &&
           OGR_L_TestCapability(layers_[static_cast<size_t>(layer)].handle,
                                OLCDeleteFeature);
}

bool Store::has_transactions() const
{
    return dataset_ &&
           GDALDatasetTestCapability(dataset_.get(), ODsCTransactions);
}

bool Store::begin(std::string &error)
{
    QuietErrors quiet;
    if (!dataset_ ||
        GDALDatasetStartTransaction(dataset_.get(), FALSE) != OGRERR_NONE)
        return fail(error, "cannot begin a transaction");
    return true;
}

bool Store::commit(std::string &error)
{
    QuietErrors quiet;
    if (!dataset_ ||
        GDALDatasetCommitTransaction(dataset_.get()) != OGRERR_NONE)
        return fail(error, "cannot commit the transaction");
    return true;
}

bool Store::rollback(std::string &error)
{
    QuietErrors quiet;
    if (!dataset_ ||
        GDALDatasetRollbackTransaction(dataset_.get()) != OGRERR_NONE)
        return fail(error, "cannot roll the transaction back");
    return true;
}

bool Store::insert(int layer, const Row &values, const std::string *geometry,
                   std::string &error)
{
    if (!valid(layer, error))
        return false;
    const Open &open = layers_[static_cast<size_t>(layer)];
    if (values.size() != open.fields.size()) {
        error = "the values do not match the layer's fields";
        return false;
    }
    QuietErrors quiet;
    Feature feature(OGR_F_Create(OGR_L_GetLayerDefn(open.handle)));
    if (!feature)
        return fail(error, "cannot make a feature");
    for (size_t i = 0; i < values.size(); ++i)
        if (!set_value(feature.get(), open.fields[i], values[i]))
            return fail(error, "a value of an unknown kind");
    if (geometry) {
        Geometry shape(OGR_G_CreateGeometryFromJson(geometry->c_str()));
        if (!shape)
            return fail(error, "the geometry is no GeoJSON geometry");
        // Takes the geometry and gives back the MultiPolygon.
        Geometry multi(OGR_G_ForceToMultiPolygon(shape.release()));
        if (!multi ||
            wkbFlatten(OGR_G_GetGeometryType(multi.get())) != wkbMultiPolygon)
            return fail(error, "the geometry is no polygon");
        if (OGR_F_SetGeometryDirectly(feature.get(), multi.release()) !=
            OGRERR_NONE)
            return fail(error, "cannot set the geometry");
    }
    if (OGR_L_CreateFeature(open.handle, feature.get()) != OGRERR_NONE)
        return fail(error, "cannot write the feature");
    return true;
}

bool Store::remove(int layer, const std::string &where, int64_t &removed,
                   std::string &error)
{
    if (!valid(layer, error))
        return false;
    OGRLayerH handle = layers_[static_cast<size_t>(layer)].handle;
    QuietErrors quiet;
    if (OGR_L_SetAttributeFilter(
            handle, where.empty() ? nullptr : where.c_str()) != OGRERR_NONE)
        return fail(error, "the filter is not OGR SQL");
    // The keys first: a layer is not changed while it is read.  A filter
    // that the driver hands on to its database fails only there.
    std::vector<GIntBig> fids;
    CPLErrorReset();
    OGR_L_ResetReading(handle);
    for (Feature feature(OGR_L_GetNextFeature(handle)); feature;
         feature.reset(OGR_L_GetNextFeature(handle)))
        fids.push_back(OGR_F_GetFID(feature.get()));
    bool read_all = CPLGetLastErrorType() < CE_Failure;
    if (!read_all)
        fail(error, "cannot select the features to delete");
    OGR_L_SetAttributeFilter(handle, nullptr);
    if (!read_all)
        return false;
    for (GIntBig fid : fids)
        if (OGR_L_DeleteFeature(handle, fid) != OGRERR_NONE)
            return fail(error, "cannot delete a feature");
    removed = static_cast<int64_t>(fids.size());
    return true;
}

bool Store::read(int layer, const Selection &selection,
                 std::vector<Found> &rows, std::string &error)
{
    if (!valid(layer, error))
        return false;
    OGRLayerH handle = layers_[static_cast<size_t>(layer)].handle;
    OGRFeatureDefnH definition = OGR_L_GetLayerDefn(handle);
    QuietErrors quiet;
    std::vector<int> fields;
    std::vector<OGRFieldType> types;
    for (const std::string &name : selection.columns) {
        int at = OGR_FD_GetFieldIndex(definition, name.c_str());
        if (at < 0) {
            error = "the layer has no column " + name;
            return false;
        }
        fields.push_back(at);
        types.push_back(OGR_Fld_GetType(OGR_FD_GetFieldDefn(definition, at)));
    }
    if (selection.has_box)
        OGR_L_SetSpatialFilterRect(handle, selection.box[0], selection.box[1],
                                   selection.box[2], selection.box[3]);
    bool filtered = OGR_L_SetAttributeFilter(
                        handle, selection.where.empty()
                                    ? nullptr
                                    : selection.where.c_str()) == OGRERR_NONE;
    bool read_all = filtered;
    if (filtered) {
        CPLErrorReset();
        OGR_L_ResetReading(handle);
        for (Feature feature(OGR_L_GetNextFeature(handle)); feature;
             feature.reset(OGR_L_GetNextFeature(handle))) {
            Found found;
            for (size_t i = 0; i < fields.size(); ++i)
                found.values.push_back(
                    read_value(feature.get(), fields[i], types[i]));
            OGRGeometryH shape = OGR_F_GetGeometryRef(feature.get());
            if (selection.with_geometry && shape) {
                Text json(OGR_G_ExportToJson(shape));
                if (!json) {
                    read_all = false;
                    break;
                }
                found.has_geometry = true;
                found.geometry = json.get();
            }
            rows.push_back(std::move(found));
        }
    }
    std::string what = !filtered  ? "the filter is not OGR SQL"
                       : read_all ? "cannot read the layer"
                                  : "cannot write a geometry as GeoJSON";
    // A filter that the driver hands on to its database fails only there.
    if (read_all && CPLGetLastErrorType() >= CE_Failure)
        read_all = false;
    if (!read_all)
        fail(error, what);
    OGR_L_SetAttributeFilter(handle, nullptr);
    OGR_L_SetSpatialFilter(handle, nullptr);
    return read_all;
}

bool Store::execute(const std::string &sql, Value &first, std::string &error)
{
    if (!dataset_) {
        error = "the catalogue is closed";
        return false;
    }
    QuietErrors quiet;
    OGRLayerH result =
        GDALDatasetExecuteSQL(dataset_.get(), sql.c_str(), nullptr, nullptr);
    if (result) {
        Feature feature(OGR_L_GetNextFeature(result));
        OGRFeatureDefnH definition = OGR_L_GetLayerDefn(result);
        if (feature && OGR_FD_GetFieldCount(definition) > 0)
            first = read_value(
                feature.get(), 0,
                OGR_Fld_GetType(OGR_FD_GetFieldDefn(definition, 0)));
        feature.reset();
        GDALDatasetReleaseResultSet(dataset_.get(), result);
    }
    if (CPLGetLastErrorType() >= CE_Failure)
        return fail(error, "the statement failed");
    return true;
}

std::string Store::geometry_column(int layer) const
{
    std::string error;
    if (!valid(layer, error))
        return std::string();
    const char *name =
        OGR_L_GetGeometryColumn(layers_[static_cast<size_t>(layer)].handle);
    return name ? name : "";
}

std::string Store::fid_column(int layer) const
{
    std::string error;
    if (!valid(layer, error))
        return std::string();
    const char *name =
        OGR_L_GetFIDColumn(layers_[static_cast<size_t>(layer)].handle);
    return name ? name : "";
}

std::string Store::driver_name() const
{
    if (!dataset_)
        return std::string();
    GDALDriverH driver = GDALGetDatasetDriver(dataset_.get());
    return driver ? GDALGetDriverShortName(driver) : "";
}

void Store::close()
{
    layers_.clear();
    QuietErrors quiet;
    dataset_.reset();
}

}  // namespace catalog
}  // namespace bathyra
