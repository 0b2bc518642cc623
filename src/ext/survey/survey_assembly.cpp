// The rules that make fields of captures: which identification, which of
// several extents, the sign of depths, placeholders, roles.
#include "survey_assembly.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <unordered_set>

#include "proj_lookup.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

// ASCII letters in lower case, whatever the locale; other bytes kept.
std::string lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A text in quotes, long ones shortened at a character boundary.
std::string quoted(const std::string &text)
{
    if (text.size() <= 60)
        return "\"" + text + "\"";
    size_t cut = 57;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return "\"" + text.substr(0, cut) + "...\"";
}

// A decimal number as XML writes it (and NaN, INF); nullopt otherwise.
std::optional<double> number(const std::string &raw)
{
    std::string text = trimmed(raw);
    if (!text.empty() && text[0] == '+')
        text.erase(0, 1);
    double value = 0;
    const char *end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// `text` with every ".csar" removed, as str.replace(".csar", "") does:
// one pass, whatever the text repeats.
std::string without_csar(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    for (size_t found; (found = text.find(".csar", at)) != std::string::npos;
         at = found + 5)
        out.append(text, at, found - at);
    out.append(text, at, std::string::npos);
    return out;
}

bool is_placeholder(const std::string &text)
{
    const std::string folded = lower(text);
    return folded.empty() || folded == "platform name" ||
           folded == "instrument unknown" ||
           folded == "instrument type unknown" || folded == "unknown";
}

// Captures grouped: group start index -> captures, in document order.
using Groups = std::map<int64_t, std::vector<const Capture *>>;

const std::string *first_value(const std::vector<const Capture *> &group,
                               Field field)
{
    for (const Capture *capture : group)
        if (capture->field == field)
            return &capture->value;
    return nullptr;
}

class Assembler {
  public:
    Assembler(const Collected &collected, bool is_bag)
        : collected_(collected), is_bag_(is_bag)
    {
        has_data_identification_ = collected.has_data_identification;
    }

    Fields run()
    {
        read_title();
        read_period();
        read_reference_systems();
        read_depths();
        read_platforms();
        read_authority();
        read_box();
        return std::move(fields_);
    }

  private:
    const Collected &collected_;
    bool is_bag_;
    bool has_data_identification_ = false;
    Fields fields_;
    // Vertical CRS codes named by the reference-system info.
    std::vector<std::string> reference_vertical_codes_;

    void problem(const char *attribute, std::string message)
    {
        fields_.problems.emplace_back(attribute, std::move(message));
    }

    bool has_problem(const char *attribute) const
    {
        for (const auto &entry : fields_.problems)
            if (entry.first == attribute)
                return true;
        return false;
    }

    // Whether a capture of an identification is to be read: those of the
    // data identifications, or of the service identification when there
    // is no data identification.
    bool readable(const Capture &capture) const
    {
        return capture.ident >= 0 &&
               capture.service != has_data_identification_;
    }

    Groups groups(std::initializer_list<Field> wanted, bool identification)
    {
        Groups found;
        for (const Capture &capture : collected_.captures) {
            if (identification && !readable(capture))
                continue;
            if (std::find(wanted.begin(), wanted.end(), capture.field) !=
                wanted.end())
                found[capture.group].push_back(&capture);
        }
        return found;
    }

    void read_title()
    {
        for (const Capture &capture : collected_.captures) {
            if (capture.field != Field::title || !readable(capture))
                continue;
            std::string title = without_csar(trimmed(capture.value));
            if (!title.empty()) {
                fields_.OBJNAM = title;
                return;
            }
        }
        problem("OBJNAM", "no title in the citation of the identification");
    }

    void read_period()
    {
        auto found =
            groups({Field::begin_position, Field::end_position,
                    Field::begin_indeterminate, Field::end_indeterminate,
                    Field::instant, Field::instant_indeterminate},
                   true);
        if (found.empty()) {
            bool metadata_date = false;
            for (const Capture &capture : collected_.captures)
                metadata_date |= capture.field == Field::metadata_date;
            const char *message =
                metadata_date ? "no survey period in the identification "
                                "(only a metadata date)"
                              : "no survey period in the identification";
            problem("SURSTA", message);
            problem("SUREND", message);
            return;
        }
        std::optional<SurveyDate> start, end;
        std::string start_problem, end_problem;
        // One open end among several extents leaves the survey's end open.
        bool start_open = false;
        bool end_open = false;
        for (const auto &entry : found) {
            const auto &group = entry.second;
            bool instant = first_value(group, Field::instant) ||
                           first_value(group, Field::instant_indeterminate);
            Field begin = instant ? Field::instant : Field::begin_position;
            Field begin_open = instant ? Field::instant_indeterminate
                                       : Field::begin_indeterminate;
            Field finish = instant ? Field::instant : Field::end_position;
            Field finish_open = instant ? Field::instant_indeterminate
                                        : Field::end_indeterminate;
            take_date(group, begin, begin_open, false, start, start_problem,
                      start_open);
            take_date(group, finish, finish_open, true, end, end_problem,
                      end_open);
        }
        if (start_open)
            start.reset();
        if (end_open)
            end.reset();
        if (start)
            fields_.SURSTA = start->s57;
        else
            problem("SURSTA", start_problem.empty()
                                  ? "no survey start in the identification"
                                  : start_problem);
        if (end)
            fields_.SUREND = end->s57;
        else
            problem("SUREND", end_problem.empty()
                                  ? "no survey end in the identification"
                                  : end_problem);
    }

    // Keeps the earliest start or the latest end of the period's dates.
    void take_date(const std::vector<const Capture *> &group, Field field,
                   Field open_field, bool as_end,
                   std::optional<SurveyDate> &kept, std::string &reason,
                   bool &open_seen)
    {
        const char *which = as_end ? "survey end" : "survey start";
        const std::string *open = first_value(group, open_field);
        const std::string *text = first_value(group, field);
        if (open && !trimmed(*open).empty()) {
            reason = std::string(which) + " is open (" +
                     quoted(trimmed(*open)) + ")";
            open_seen = true;
            return;
        }
        if (!text || trimmed(*text).empty()) {
            if (reason.empty())
                reason = std::string(which) + " is empty";
            return;
        }
        const std::string value = trimmed(*text);
        if (lower(value) == "now" || lower(value) == "unknown") {
            if (reason.empty())
                reason =
                    std::string(which) + " is open (" + quoted(value) + ")";
            return;
        }
        SurveyDate date = read_survey_date(value);
        if (!date.ok) {
            if (reason.empty())
                reason = std::string(which) + " " + date.reason;
            return;
        }
        if (!kept ||
            (as_end ? date_order(date, true) > date_order(*kept, true)
                    : date_order(date, false) < date_order(*kept, false)))
            kept = date;
    }

    // The reference-system info: the first horizontal CRS, and the codes of
    // vertical CRSs for depths without a CRS of their own.
    void read_reference_systems()
    {
        auto found =
            groups({Field::reference_code, Field::reference_code_href,
                    Field::reference_code_space, Field::reference_title},
                   false);
        for (const auto &entry : found) {
            const auto &group = entry.second;
            const std::string *code =
                first_value(group, Field::reference_code);
            const std::string *href =
                first_value(group, Field::reference_code_href);
            const std::string *space =
                first_value(group, Field::reference_code_space);
            std::string text = code ? trimmed(*code) : std::string();
            std::string authority, number;
            const std::string default_authority =
                space && lower(trimmed(*space)).find("epsg") !=
                             std::string::npos
                    ? "EPSG"
                    : "";
            bool coded =
                parse_crs_reference(text, default_authority, authority,
                                    number) ||
                find_crs_reference(text, authority, number) ||
                (href && find_crs_reference(*href, authority, number));
            if (coded && lower(text + (href ? *href : std::string()))
                                 .find("def:datum") != std::string::npos) {
                // A datum, not a CRS: a vertical one names the datum.
                std::string datum = vertical_datum(authority, number);
                if (!datum.empty() && reference_vertical_datum_.empty())
                    reference_vertical_datum_ = datum;
                continue;
            }
            if (coded) {
                VerticalCrsFacts vertical = vertical_crs(authority, number);
                if (vertical.found)
                    reference_vertical_codes_.push_back(number);
                HorizontalCrsFacts horizontal =
                    horizontal_crs(authority, number);
                if (!fields_.horizontal_crs &&
                    (horizontal.found || !proj_available()))
                    fields_.horizontal_crs = authority + ":" + number;
                continue;
            }
            if (is_placeholder(text))
                continue;
            std::string kind;
            std::string name = wkt_name(text, kind);
            if (!name.empty() && is_placeholder(name))
                continue;  // a WKT for an unknown CRS
            const std::string *title =
                first_value(group, Field::reference_title);
            if (name.empty() && names_vertical(text, title)) {
                // A vertical reference named in words ("MHHW", "Local Lake
                // datum"), or titled so ("Mean Higher High Water height").
                if (reference_vertical_name_.empty())
                    reference_vertical_name_ = text;
                continue;
            }
            if (!name.empty()) {
                if (kind == "vertical" && wkt_vertical_name_.empty()) {
                    wkt_vertical_name_ = name;
                    wkt_vertical_datum_ = quoted_after(text, "vert_datum[");
                    if (wkt_vertical_datum_.empty())
                        wkt_vertical_datum_ = quoted_after(text, "vdatum[");
                    // WKT 1 gives a vertical CRS without an axis the axis
                    // of heights.
                    const std::string folded = lower(text);
                    wkt_vertical_axis_ =
                        folded.find(",down]") != std::string::npos ||
                                folded.find(", down]") != std::string::npos
                            ? AxisDirection::down
                            : AxisDirection::up;
                } else if (!fields_.horizontal_crs)
                    fields_.horizontal_crs = name;
            } else if (!fields_.horizontal_crs) {
                fields_.horizontal_crs = text;
            }
        }
        if (!fields_.horizontal_crs)
            problem("horizontal_crs", "no horizontal reference system");
    }

    std::string wkt_vertical_name_;
    std::string wkt_vertical_datum_;
    std::string reference_vertical_name_;
    std::string reference_vertical_datum_;

    // Whether a reference system given in words is a vertical one: its
    // text names a tidal datum, or its text or title speaks of heights,
    // depths or a datum.
    static bool names_vertical(const std::string &text,
                               const std::string *title)
    {
        if (verdat_code(text))
            return true;
        for (const std::string &words :
             {lower(text), title ? lower(*title) : std::string()})
            for (const char *word : {"height", "depth", "datum"})
                if (words.find(word) != std::string::npos)
                    return true;
        return false;
    }
    AxisDirection wkt_vertical_axis_ = AxisDirection::unknown;

    // The first quoted text after `keyword` (lower case) in a WKT text.
    static std::string quoted_after(const std::string &text,
                                    const std::string &keyword)
    {
        size_t at = lower(text).find(keyword);
        if (at == std::string::npos)
            return "";
        size_t open = text.find('"', at);
        size_t close =
            open == std::string::npos ? open : text.find('"', open + 1);
        if (close == std::string::npos)
            return "";
        return trimmed(text.substr(open + 1, close - open - 1));
    }

    // The name of a WKT CRS (the first quoted text) and whether it is a
    // vertical one; empty when `text` is no WKT.
    static std::string wkt_name(const std::string &text, std::string &kind)
    {
        size_t bracket = text.find('[');
        if (bracket == std::string::npos || bracket == 0 || bracket > 20)
            return "";
        std::string keyword = lower(text.substr(0, bracket));
        for (char c : keyword)
            if (!std::isalpha(static_cast<unsigned char>(c)) && c != '_')
                return "";
        size_t open = text.find('"', bracket);
        size_t close =
            open == std::string::npos ? open : text.find('"', open + 1);
        if (close == std::string::npos)
            return "";
        kind = keyword.find("vert") != std::string::npos ? "vertical"
                                                         : "horizontal";
        if (keyword.find("compd") != std::string::npos ||
            keyword.find("compound") != std::string::npos) {
            // The horizontal part is the first CRS inside.
            size_t inner = text.find('[', close);
            size_t inner_open =
                inner == std::string::npos ? inner : text.find('"', inner);
            size_t inner_close = inner_open == std::string::npos
                                     ? inner_open
                                     : text.find('"', inner_open + 1);
            if (inner_close != std::string::npos)
                return text.substr(inner_open + 1,
                                   inner_close - inner_open - 1);
        }
        return text.substr(open + 1, close - open - 1);
    }

    void read_depths()
    {
        auto found =
            groups({Field::minimum_value, Field::maximum_value,
                    Field::vertical_crs_href, Field::vertical_crs_title,
                    Field::vertical_crs_code, Field::vertical_crs_name,
                    Field::axis_direction, Field::axis_unit, Field::datum_name,
                    Field::vertical_crs_id},
                   true);
        const std::vector<const Capture *> *chosen = nullptr;
        std::string bad;
        for (const auto &entry : found) {
            const std::string *low =
                first_value(entry.second, Field::minimum_value);
            const std::string *high =
                first_value(entry.second, Field::maximum_value);
            if (!low || !high || trimmed(*low).empty() ||
                trimmed(*high).empty())
                continue;
            if (!number(*low) || !number(*high)) {
                if (bad.empty())
                    bad = "the depth range is not a number (minimum " +
                          quoted(trimmed(*low)) + ", maximum " +
                          quoted(trimmed(*high)) + ")";
                continue;
            }
            chosen = &entry.second;
            break;
        }
        if (!chosen) {
            const std::string message =
                bad.empty() ? "no depth range in the identification" : bad;
            problem("DRVAL1", message);
            problem("DRVAL2", message);
            read_vertical_reference(nullptr);
            return;
        }
        double low = *number(*first_value(*chosen, Field::minimum_value));
        double high = *number(*first_value(*chosen, Field::maximum_value));
        const Direction direction = read_vertical_reference(chosen);
        if (std::isnan(low) || std::isnan(high)) {
            // Whatever the direction, no depth is given.
            fields_.problems.erase(
                std::remove_if(fields_.problems.begin(),
                               fields_.problems.end(),
                               [](const auto &entry) {
                                   return entry.first.rfind("DRVAL", 0) == 0;
                               }),
                fields_.problems.end());
            problem("DRVAL1", "the depth range holds NaN");
            problem("DRVAL2", "the depth range holds NaN");
            return;
        }
        low *= direction.to_metres;
        high *= direction.to_metres;
        if (direction.up) {
            low = -low;
            high = -high;
        }
        // +0.0: no negative zero in a record.
        fields_.DRVAL1 = std::min(low, high) + 0.0;
        fields_.DRVAL2 = std::max(low, high) + 0.0;
    }

    struct Direction {
        bool up = true;
        double to_metres = 1.0;
    };

    // The vertical CRS, its datum and VERDAT; the direction and unit of
    // depths.  `group` is the chosen vertical extent, or null.
    Direction
    read_vertical_reference(const std::vector<const Capture *> *group)
    {
        Direction direction;
        AxisDirection axis = AxisDirection::unknown;
        std::string unresolved;
        if (group) {
            const std::string *axis_text =
                first_value(*group, Field::axis_direction);
            if (axis_text) {
                std::string folded = lower(trimmed(*axis_text));
                if (folded == "up")
                    axis = AxisDirection::up;
                else if (folded == "down")
                    axis = AxisDirection::down;
            }
            if (const std::string *unit =
                    first_value(*group, Field::axis_unit))
                direction.to_metres = unit_factor(trimmed(*unit));
            const std::string *name =
                first_value(*group, Field::vertical_crs_name);
            const std::string *datum = first_value(*group, Field::datum_name);
            if (datum && !trimmed(*datum).empty())
                fields_.vertical_datum = trimmed(*datum);
            std::string authority, code;
            bool coded = false;
            for (Field field :
                 {Field::vertical_crs_code, Field::vertical_crs_id,
                  Field::vertical_crs_href}) {
                const std::string *text = first_value(*group, field);
                if (text &&
                    (parse_crs_reference(trimmed(*text), authority, code) ||
                     find_crs_reference(*text, authority, code) ||
                     (field == Field::vertical_crs_href &&
                      parse_crs_reference(trimmed(*text), "EPSG", authority,
                                          code)))) {
                    coded = true;
                    break;
                }
            }
            if (coded) {
                apply_code(authority, code, axis, direction, unresolved);
            } else if (name && !trimmed(*name).empty()) {
                fields_.vertical_crs = trimmed(*name);
            } else if (const std::string *title =
                           first_value(*group, Field::vertical_crs_title)) {
                if (!trimmed(*title).empty())
                    fields_.vertical_crs = trimmed(*title);
            }
        }
        if (axis == AxisDirection::unknown && !fields_.vertical_crs) {
            for (const std::string &code : reference_vertical_codes_) {
                apply_code("EPSG", code, axis, direction, unresolved);
                if (axis != AxisDirection::unknown)
                    break;
            }
            if (!fields_.vertical_crs && !reference_vertical_name_.empty())
                fields_.vertical_crs = reference_vertical_name_;
            if (!fields_.vertical_datum && !reference_vertical_datum_.empty())
                fields_.vertical_datum = reference_vertical_datum_;
            if (!fields_.vertical_crs && !wkt_vertical_name_.empty()) {
                fields_.vertical_crs = wkt_vertical_name_;
                if (!fields_.vertical_datum && !wkt_vertical_datum_.empty())
                    fields_.vertical_datum = wkt_vertical_datum_;
                if (axis == AxisDirection::unknown)
                    axis = wkt_vertical_axis_;
            }
        }
        if (!fields_.vertical_crs && !has_problem("vertical_crs"))
            problem("vertical_crs", "no vertical CRS");
        read_verdat();
        if (!group)
            return direction;
        if (axis == AxisDirection::down) {
            direction.up = false;
        } else if (axis == AxisDirection::unknown) {
            if (is_bag_) {
                // BAG files store elevations: positive up.
            } else {
                std::string message =
                    unresolved.empty()
                        ? "vertical CRS unknown: depths taken from heights"
                        : unresolved + ": depths taken from heights";
                problem("DRVAL1", message);
                problem("DRVAL2", message);
            }
        }
        return direction;
    }

    void apply_code(const std::string &authority, const std::string &code,
                    AxisDirection &axis, Direction &direction,
                    std::string &unresolved)
    {
        const std::string name = authority + ":" + code;
        if (!proj_available()) {
            fields_.vertical_crs = name;
            unresolved =
                "PROJ is not available to resolve the vertical CRS " + name;
            problem("vertical_crs", unresolved);
            return;
        }
        VerticalCrsFacts facts = vertical_crs(authority, code);
        if (!facts.found) {
            unresolved = "the vertical CRS reference " + name +
                         " names no vertical CRS";
            problem("vertical_crs", unresolved);
            return;
        }
        fields_.vertical_crs = name;
        if (!facts.datum_name.empty())
            fields_.vertical_datum = facts.datum_name;
        if (axis == AxisDirection::unknown) {
            axis = facts.direction;
            direction.to_metres = facts.to_metres;
        }
    }

    static double unit_factor(const std::string &unit)
    {
        const std::string folded = lower(unit);
        if (folded == "ft" || folded == "foot" || folded == "feet" ||
            folded.find("epsg::9002") != std::string::npos)
            return 0.3048;
        if (folded == "ftus" || folded == "us-ft" ||
            folded == "us survey foot" ||
            folded.find("epsg::9003") != std::string::npos)
            return 1200.0 / 3937.0;
        if (folded == "fathom" || folded == "fm")
            return 1.8288;
        return 1.0;
    }

    void read_verdat()
    {
        // A CRS named after its datum ("MLLW depth", "MHHW") names it too.
        if (!fields_.vertical_datum && fields_.vertical_crs &&
            verdat_code(*fields_.vertical_crs))
            fields_.VERDAT = verdat_code(*fields_.vertical_crs);
        if (!fields_.vertical_datum)
            return;
        int code = verdat_code(*fields_.vertical_datum);
        if (code)
            fields_.VERDAT = code;
        else
            problem("VERDAT", "the vertical datum " +
                                  quoted(*fields_.vertical_datum) +
                                  " has no S-57 VERDAT code");
    }

    void read_platforms()
    {
        auto platforms =
            groups({Field::platform_code, Field::platform_description}, false);
        auto instruments =
            groups({Field::instrument_code, Field::instrument_description,
                    Field::instrument_type},
                   false);
        name_each(platforms,
                  {Field::platform_code, Field::platform_description},
                  fields_.platforms);
        name_each(instruments,
                  {Field::instrument_code, Field::instrument_description,
                   Field::instrument_type},
                  fields_.instruments);
        const auto &named = fields_.platforms.empty() ? fields_.instruments
                                                      : fields_.platforms;
        if (named.empty()) {
            problem("planam", "no platform or instrument named");
            return;
        }
        std::string joined;
        for (const std::string &name : named)
            joined += (joined.empty() ? "" : ", ") + name;
        fields_.planam = joined;
    }

    // Per group, the first field of `order` that holds a name; no
    // placeholders and no repeats.
    static void name_each(const Groups &found,
                          std::initializer_list<Field> order,
                          std::vector<std::string> &names)
    {
        std::unordered_set<std::string> seen;
        for (const auto &entry : found) {
            for (Field field : order) {
                std::string name;
                for (const Capture *capture : entry.second)
                    if (capture->field == field &&
                        !is_placeholder(trimmed(capture->value))) {
                        name = trimmed(capture->value);
                        break;
                    }
                if (name.empty())
                    continue;
                if (seen.insert(name).second)
                    names.push_back(name);
                break;
            }
        }
    }

    void read_authority()
    {
        static const char *const roles[] = {"originator",
                                            "principalinvestigator", "owner",
                                            "custodian", "pointofcontact"};
        auto found =
            groups({Field::party_organisation, Field::party_role}, true);
        for (const char *role : roles) {
            for (const auto &entry : found) {
                const std::string *value =
                    first_value(entry.second, Field::party_role);
                const std::string *organisation =
                    first_value(entry.second, Field::party_organisation);
                if (value && organisation && lower(trimmed(*value)) == role &&
                    !trimmed(*organisation).empty()) {
                    fields_.SURATH = trimmed(*organisation);
                    return;
                }
            }
        }
        problem("SURATH", "no organisation in a responsible role (originator, "
                          "principal investigator, owner, custodian, point of "
                          "contact) of the identification");
    }

    void read_box()
    {
        auto found = groups(
            {Field::west, Field::east, Field::south, Field::north}, true);
        for (const auto &entry : found) {
            std::vector<double> box;
            for (Field field :
                 {Field::west, Field::south, Field::east, Field::north}) {
                const std::string *text = first_value(entry.second, field);
                std::optional<double> value =
                    text ? number(*text) : std::nullopt;
                if (!value || std::isnan(*value))
                    break;
                box.push_back(*value + 0.0);
            }
            if (box.size() != 4)
                continue;
            if (box[0] == 0 && box[1] == 0 && box[2] == 0 && box[3] == 0) {
                problem("bbox", "the bounding box is all zeros (a "
                                "placeholder)");
                return;
            }
            fields_.bbox = box;
            return;
        }
        problem("bbox", "no geographic bounding box in the identification");
    }
};

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

Fields assemble(const Collected &collected, bool is_bag)
{
    return Assembler(collected, is_bag).run();
}

}  // namespace survey
}  // namespace bathyra
