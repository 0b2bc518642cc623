// The S-57 VERDAT code of a survey's vertical datum: the list of S-57
// values, and the reading of datum names (and abbreviations) against it.
#include <cstring>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

struct Verdat {
    int code;
    const char *name;
    const char *abbreviation;
};

// The S-57 list of VERDAT values.
constexpr Verdat verdat_values[] = {
    {1, "mean low water springs", "mlws"},
    {2, "mean lower low water springs", "mllws"},
    {3, "mean sea level", "msl"},
    {4, "lowest low water", "llw"},
    {5, "mean low water", "mlw"},
    {6, "lowest low water springs", "llws"},
    {7, "approximate mean low water springs", ""},
    {8, "indian spring low water", "islw"},
    {9, "low water springs", "lws"},
    {10, "approximate lowest astronomical tide", ""},
    {11, "nearly lowest low water", "nllw"},
    {12, "mean lower low water", "mllw"},
    {13, "low water", "lw"},
    {14, "approximate mean low water", ""},
    {15, "approximate mean lower low water", ""},
    {16, "mean high water", "mhw"},
    {17, "mean high water springs", "mhws"},
    {18, "high water", "hw"},
    {19, "approximate mean sea level", ""},
    {20, "high water springs", "hws"},
    {21, "mean higher high water", "mhhw"},
    {22, "equinoctial spring low water", "eslw"},
    {23, "lowest astronomical tide", "lat"},
    {24, "local datum", ""},
    {25, "international great lakes datum 1985", "igld 1985"},
    {26, "mean water level", "mwl"},
    {27, "lower low water large tide", "lllt"},
    {28, "higher high water large tide", "hhwlt"},
    {29, "nearly highest high water", "nhhw"},
    {30, "highest astronomical tide", "hat"},
};

}  // namespace

int verdat_code(const std::string &datum)
{
    std::string folded = lower(trimmed(datum));
    // "Mean Sea Level depth", "MLLW height": the datum is named first.
    for (const char *suffix : {" depth", " height", " datum"})
        if (folded.size() > std::strlen(suffix) &&
            folded.compare(folded.size() - std::strlen(suffix),
                           std::string::npos, suffix) == 0)
            folded.erase(folded.size() - std::strlen(suffix));
    for (const Verdat &value : verdat_values)
        if (folded == value.name ||
            (value.abbreviation[0] && folded == value.abbreviation))
            return value.code;
    return 0;
}

void read_verdat(Context &context)
{
    Fields &fields = context.fields;
    // A CRS named after its datum ("MLLW depth", "MHHW") names it too.
    if (!fields.vertical_datum && fields.vertical_crs &&
        verdat_code(*fields.vertical_crs))
        fields.VERDAT = verdat_code(*fields.vertical_crs);
    if (!fields.vertical_datum)
        return;
    int code = verdat_code(*fields.vertical_datum);
    if (code)
        fields.VERDAT = code;
    else
        context.problem(Key::VERDAT, "the vertical datum " +
                                         quoted(*fields.vertical_datum) +
                                         " has no S-57 VERDAT code");
}

}  // namespace survey
}  // namespace bathyra
