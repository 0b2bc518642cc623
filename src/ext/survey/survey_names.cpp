// The rules of names and roles: the survey's name (OBJNAM, the citation
// title), its platforms and instruments (and planam from them), and its
// authority (SURATH, the organisation in the first role of authorship).
#include <unordered_set>

#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

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

// Per group, the first field of `order` that holds a name; no
// placeholders and no repeats.
void name_each(const Groups &found, std::initializer_list<Field> order,
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

}  // namespace

void read_title(Context &context)
{
    // The title of the first identification that has one: an empty title
    // there is no reason to take another identification's.
    int64_t ident = -1;
    for (const Capture &capture : context.collected.captures) {
        if (capture.field != Field::title || !context.readable(capture))
            continue;
        if (ident < 0)
            ident = capture.ident;
        if (capture.ident != ident)
            break;
        std::string title = without_csar(trimmed(capture.value));
        if (!title.empty()) {
            context.fields.OBJNAM = title;
            return;
        }
    }
    context.problem(Key::OBJNAM,
                    "no title in the citation of the identification");
}

void read_platforms(Context &context)
{
    Fields &fields = context.fields;
    auto platforms = context.groups(
        {Field::platform_code, Field::platform_description}, false);
    auto instruments =
        context.groups({Field::instrument_code, Field::instrument_description,
                        Field::instrument_type},
                       false);
    name_each(platforms, {Field::platform_code, Field::platform_description},
              fields.platforms);
    name_each(instruments,
              {Field::instrument_code, Field::instrument_description,
               Field::instrument_type},
              fields.instruments);
    const auto &named =
        fields.platforms.empty() ? fields.instruments : fields.platforms;
    if (named.empty()) {
        context.problem(Key::planam, "no platform or instrument named");
        return;
    }
    std::string joined;
    for (const std::string &name : named)
        joined += (joined.empty() ? "" : ", ") + name;
    fields.planam = joined;
}

void read_authority(Context &context)
{
    // The roles that state authorship of the survey, in order of
    // precedence; a point of contact answers questions, and is not taken.
    static const char *const roles[] = {"originator", "principalinvestigator",
                                        "owner", "custodian", "author"};
    auto found =
        context.groups({Field::party_organisation, Field::party_role}, true);
    std::string contact;  // the first organisation named as point of contact
    for (const char *role : roles) {
        for (const auto &entry : found) {
            const Text *value = first_value(entry.second, Field::party_role);
            const Text *organisation =
                first_value(entry.second, Field::party_organisation);
            if (!value || !organisation || trimmed(*organisation).empty())
                continue;
            const std::string folded = lower(trimmed(*value));
            if (folded == role) {
                context.fields.SURATH = trimmed(*organisation);
                return;
            }
            if (folded == "pointofcontact" && contact.empty())
                contact = trimmed(*organisation);
        }
    }
    const std::string no_author =
        "no organisation in a role of authorship (originator, principal "
        "investigator, owner, custodian, author) of the identification";
    context.problem(Key::SURATH,
                    contact.empty()
                        ? no_author
                        : "the organisation " + quoted(contact) +
                              " is named as point of contact only, not "
                              "taken as the survey authority: " +
                              no_author);
}

}  // namespace survey
}  // namespace bathyra
