// What the rules of the assembly share: the captures they read, the fields
// they fill, and what the reference-system info tells the depth rule.  Each
// rule lives in the unit named after it; assemble() (survey_assembly.cpp)
// applies them in order, which is also the order of the problems.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "problem_quotes.hpp"
#include "proj_lookup.hpp"
#include "survey_assembly.hpp"

namespace bathyra {
namespace survey {

// The captures of one group element, in document order.
using Group = std::vector<const Capture *>;
// Groups by the start index of their element, in document order.
using Groups = std::map<int64_t, Group>;

// The vertical reference that the metadata's reference systems give, for
// depths whose extent names none.
struct ReferenceVertical {
    std::vector<std::string> codes;  // EPSG codes of vertical CRSs
    std::string name;                // a reference named in words
    std::string datum;               // a vertical datum named by code
    WktVertical wkt;                 // a vertical CRS given as WKT
};

struct Context {
    const Collected &collected;
    bool is_bag;  // a BAG file's document: depths are elevations
    Fields fields;
    ReferenceVertical reference;

    void problem(Key attribute, std::string message);
    bool has_problem(Key attribute) const;
    // Whether a capture of an identification is read: those of the data
    // identifications, or of the service identification when there is
    // no data identification.
    bool readable(const Capture &capture) const;
    // The captures of the fields `wanted` by group; of the readable
    // identifications only when `identification`.
    Groups groups(std::initializer_list<Field> wanted,
                  bool identification) const;
};

// The value of the first capture of `field` in `group`, or null.
const Text *first_value(const Group &group, Field field);

// ASCII letters in lower case, whatever the locale; other bytes kept.
std::string lower(std::string_view text);
// A decimal number as XML writes it, surrounding white space ignored:
// finite, or not (NaN, INF, Infinity in any case and with a sign, and a
// value beyond the range of a double, taken as infinite; one too small
// for it is a zero); nullopt for a text that is no number.
std::optional<double> number(std::string_view raw);
// Empty, or a writer's stand-in for a name ("unknown", "Platform Name").
bool is_placeholder(std::string_view text);

// The rules (survey_names.cpp, survey_period.cpp, survey_box.cpp,
// survey_depths.cpp).
void read_title(Context &context);
void read_period(Context &context);
void read_reference_systems(Context &context);
void read_depths(Context &context);
// VERDAT from the vertical datum, or from a CRS named after its datum
// (survey_verdat.cpp); part of the depth rule.
void read_verdat(Context &context);
void read_platforms(Context &context);
void read_authority(Context &context);
void read_box(Context &context);
// Where the metadata places its grid (survey_grid.cpp); after the box and
// the reference systems, which it uses.
void read_grid_placement(Context &context);
// What the vertical uncertainty of a BAG's grid measures, as its metadata
// says (survey_grid.cpp).
void read_uncertainty_type(Context &context);

}  // namespace survey
}  // namespace bathyra
