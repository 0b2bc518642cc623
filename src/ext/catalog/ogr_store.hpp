// A store of features in one OGR dataset (the survey catalogue's
// GeoPackage, PostGIS database, FlatGeobuf folder...): layers of typed
// fields, their transactions, features written from typed values and a
// GeoJSON geometry, deleted by an attribute filter, read back by column,
// box and filter.  Plain C++ over GDAL's C API with no interpreter in it,
// so that the module calls it without the interpreter lock.  Every
// function that fails returns false with the reason in `error`, in words
// followed by GDAL's own message.  One Store is for one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gdal_handles.hpp"

namespace bathyra {
namespace catalog {

enum class FieldKind { text, real, integer, date, datetime };

struct FieldSpec {
    std::string name;
    FieldKind kind;
};

// A layer as the catalogue wants it: with a MultiPolygon geometry in
// longitude and latitude on WGS 84, or none (a table).
struct LayerSpec {
    std::string name;
    bool geometry = false;
    std::vector<FieldSpec> fields;
};

// One field's value.  A date or a date and time is text in ISO 8601
// ("2019-03-14", "2019-03-14T08:30:00Z"), as OGR reads and writes it.
struct Value {
    enum Kind { none, words, number, whole } kind = none;
    std::string text;
    double real = 0.0;
    int64_t integer = 0;
};

using Row = std::vector<Value>;

// A feature read back: its values in the order of the columns asked for,
// and its geometry as GeoJSON when asked for and present.
struct Found {
    Row values;
    bool has_geometry = false;
    std::string geometry;
};

// What to read: columns by name, optionally within a box (west, south,
// east, north: the layer's spatial index) and an OGR SQL filter.
struct Selection {
    std::vector<std::string> columns;
    bool has_box = false;
    double box[4] = {0, 0, 0, 0};
    std::string where;
    bool with_geometry = false;
};

// How a dataset is opened: to be read, for update, or for update and made
// with the driver named when it cannot be opened.
enum class Mode { read, update, create };

class Store {
  public:
    Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    // Closes the dataset quietly (what the driver writes at the end may
    // fail, and has no one left to tell).
    ~Store() { close(); }

    bool open(const std::string &destination, const std::string &driver,
              Mode mode, std::string &error);
    // The layer of `spec`, its index for the other calls.  Opened for
    // update, a layer that is missing is created with its fields and the
    // driver's layer creation `options` ("KEY=VALUE"), and fields it
    // lacks are added; opened to be read, it must be there.
    bool layer(const LayerSpec &spec, const std::vector<std::string> &options,
               int &index, std::string &error);
    // Whether the layer's driver deletes features (a FlatGeobuf file is
    // only ever written whole).
    bool deletes(int layer) const;
    bool has_transactions() const;
    bool begin(std::string &error);
    bool commit(std::string &error);
    bool rollback(std::string &error);
    // Writes a feature: `values` in the order of the layer's fields;
    // `geometry` GeoJSON text (a Polygon becomes a one-part MultiPolygon)
    // or null.
    bool insert(int layer, const Row &values, const std::string *geometry,
                std::string &error);
    // Deletes the features that the OGR SQL filter `where` selects (all
    // when empty); their count in `removed`.
    bool remove(int layer, const std::string &where, int64_t &removed,
                std::string &error);
    bool read(int layer, const Selection &selection, std::vector<Found> &rows,
              std::string &error);
    // Runs an SQL statement in the dataset's own dialect (index and view
    // creation, a database's lock); the first value of its result, when it
    // has one, in `first`.
    bool execute(const std::string &sql, Value &first, std::string &error);
    // The names of the layer's geometry and FID columns ("" when none).
    std::string geometry_column(int layer) const;
    std::string fid_column(int layer) const;
    std::string driver_name() const;
    void close();
    bool is_open() const { return dataset_ != nullptr; }

  private:
    struct Open {
        OGRLayerH handle;
        std::vector<int> fields;  // OGR's index of each field of the spec
        std::vector<FieldKind> kinds;
    };
    bool valid(int layer, std::string &error) const;

    gdal::Dataset dataset_;
    bool read_only_ = false;
    std::vector<Open> layers_;
};

}  // namespace catalog
}  // namespace bathyra
