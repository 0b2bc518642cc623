// The table of the survey reader's own strings: the keys of the record
// that parse() returns, which are also the attributes that problems name,
// and the names of the standards.  One row per string gives its id, its
// text and whether the host str is interned (identifiers are, the other
// texts are not); the module makes every one once, when it is imported.
#pragma once

namespace bathyra {
namespace survey {

// X(id, text, interned)
// clang-format off
#define BATHYRA_SURVEY_STRING_TABLE(X)                                       \
    /* record keys, and attributes of problems */                            \
    X(standard, "standard", true)                                            \
    X(SURSTA, "SURSTA", true)                                                \
    X(SUREND, "SUREND", true)                                                \
    X(DRVAL1, "DRVAL1", true)                                                \
    X(DRVAL2, "DRVAL2", true)                                                \
    X(vertical_crs, "vertical_crs", true)                                    \
    X(vertical_datum, "vertical_datum", true)                                \
    X(VERDAT, "VERDAT", true)                                                \
    X(OBJNAM, "OBJNAM", true)                                                \
    X(platforms, "platforms", true)                                          \
    X(instruments, "instruments", true)                                      \
    X(planam, "planam", true)                                                \
    X(SURATH, "SURATH", true)                                                \
    X(bbox, "bbox", true)                                                    \
    X(horizontal_crs, "horizontal_crs", true)                                \
    X(problems, "problems", true)                                            \
    X(georeferencing, "georeferencing", true)                                \
    X(uncertainty_type, "uncertainty_type", true)                            \
    /* values of "standard" */                                               \
    X(iso19139, "ISO 19139", false)                                          \
    X(iso19115_3, "ISO 19115-3", false)                                     \
    X(smxml, "smXML", false)
// clang-format on

enum class Key : unsigned char {
#define BATHYRA_SURVEY_KEY_ENUM(id, text, interned) id,
    BATHYRA_SURVEY_STRING_TABLE(BATHYRA_SURVEY_KEY_ENUM)
#undef BATHYRA_SURVEY_KEY_ENUM
        count_
};

constexpr int key_count = static_cast<int>(Key::count_);

}  // namespace survey
}  // namespace bathyra
