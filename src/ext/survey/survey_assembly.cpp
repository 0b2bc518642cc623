// The assembly of a survey's fields: the order of the rules, and what they
// share (the grouping of captures, the wording of values).
#include <algorithm>
#include <charconv>
#include <cmath>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

void Context::problem(Key attribute, std::string message)
{
    fields.problems.emplace_back(attribute, std::move(message));
}

bool Context::has_problem(Key attribute) const
{
    for (const auto &entry : fields.problems)
        if (entry.first == attribute)
            return true;
    return false;
}

bool Context::readable(const Capture &capture) const
{
    return capture.ident >= 0 &&
           capture.service != collected.has_data_identification;
}

Groups Context::groups(std::initializer_list<Field> wanted,
                       bool identification) const
{
    Groups found;
    for (const Capture &capture : collected.captures) {
        if (identification && !readable(capture))
            continue;
        if (std::find(wanted.begin(), wanted.end(), capture.field) !=
            wanted.end())
            found[capture.group].push_back(&capture);
    }
    return found;
}

const Text *first_value(const Group &group, Field field)
{
    for (const Capture *capture : group)
        if (capture->field == field)
            return &capture->value;
    return nullptr;
}

std::string lower(std::string_view text)
{
    std::string folded(text);
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

namespace {

// For a decimal number beyond the range of a double, as std::from_chars
// reads it ([-]digits[.digits][e[sign]digits]): whether it is too large
// for it, rather than too small.
bool too_large(std::string_view text)
{
    size_t at = text.empty() || text[0] != '-' ? 0 : 1;
    // The power of ten of the first significant digit.
    long long lead = 0;
    bool significant = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (significant)
            ++lead;
        significant |= text[at] != '0';
    }
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9';
             ++at) {
            if (significant)
                continue;
            --lead;
            significant = text[at] != '0';
        }
    }
    long long exponent = 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        const bool negative = at < text.size() && text[at] == '-';
        if (at < text.size() && (text[at] == '-' || text[at] == '+'))
            ++at;
        // Saturated: far beyond any double either way.
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
            exponent =
                std::min(exponent * 10 + (text[at] - '0'), 1000000000000LL);
        exponent = negative ? -exponent : exponent;
    }
    return significant && lead + exponent > 0;
}

}  // namespace

std::optional<double> number(std::string_view raw)
{
    std::string text = trimmed(raw);
    if (!text.empty() && text[0] == '+') {
        text.erase(0, 1);
        if (!text.empty() && text[0] == '-')
            return std::nullopt;  // "+-1": one sign only
    }
    double value = 0;
    const char *end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || stop != end)
        return std::nullopt;
    if (failure == std::errc::result_out_of_range) {
        const bool negative = text[0] == '-';
        if (too_large(text))
            return negative ? -HUGE_VAL : HUGE_VAL;
        return negative ? -0.0 : 0.0;
    }
    if (failure != std::errc())
        return std::nullopt;
    return value;
}

bool is_placeholder(std::string_view text)
{
    const std::string folded = lower(text);
    return folded.empty() || folded == "platform name" ||
           folded == "instrument unknown" ||
           folded == "instrument type unknown" || folded == "unknown";
}

Fields assemble(const Collected &collected, bool is_bag)
{
    Context context{collected, is_bag, {}, {}};
    read_title(context);
    read_period(context);
    read_reference_systems(context);
    read_depths(context);
    read_platforms(context);
    read_authority(context);
    read_box(context);
    read_grid_placement(context);
    read_uncertainty_type(context);
    if (!collected.has_identification) {
        // A record without identification: one reason for every field
        // that would come from it, said once rather than field by field.
        for (auto &entry : context.fields.problems)
            if (entry.second.find("identification") != std::string::npos)
                entry.second = "the record has no identification (data or "
                               "service identification)";
    }
    return std::move(context.fields);
}

}  // namespace survey
}  // namespace bathyra
