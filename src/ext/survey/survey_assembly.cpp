// The assembly of a survey's fields: the order of the rules, and what they
// share (the grouping of captures, the wording of values).
#include <algorithm>
#include <charconv>

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

std::optional<double> number(std::string_view raw)
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
    return std::move(context.fields);
}

}  // namespace survey
}  // namespace bathyra
