// The rule of the survey period: SURSTA and SUREND from the temporal
// extents of the identification (periods, or instants that stand for a
// whole extent), the earliest start and the latest end among several.
#include "assembly_context.hpp"
#include "survey_dates.hpp"

namespace bathyra {
namespace survey {

namespace {

// One end of the period over the extents: the date kept so far, why there
// is none, and whether an extent left it open.
struct PeriodEnd {
    bool as_end;
    std::optional<SurveyDate> kept;
    std::string reason;
    // One open end among several extents leaves the survey's end open.
    bool open = false;

    const char *which() const
    {
        return as_end ? "survey end" : "survey start";
    }

    // Keeps the earliest start or the latest end of the extent's dates.
    void take(const Group &group, Field field, Field open_field)
    {
        const Text *open_text = first_value(group, open_field);
        const Text *text = first_value(group, field);
        if (open_text && !trimmed(*open_text).empty()) {
            reason = std::string(which()) + " is open (" +
                     quoted(trimmed(*open_text)) + ")";
            open = true;
            return;
        }
        if (!text || trimmed(*text).empty()) {
            if (reason.empty())
                reason = std::string(which()) + " is empty";
            return;
        }
        const std::string value = trimmed(*text);
        if (lower(value) == "now" || lower(value) == "unknown") {
            if (reason.empty())
                reason =
                    std::string(which()) + " is open (" + quoted(value) + ")";
            return;
        }
        SurveyDate date = read_survey_date(value);
        if (!date.ok) {
            if (reason.empty())
                reason = std::string(which()) + " " + date.reason;
            return;
        }
        if (!kept ||
            (as_end ? date_order(date, true) > date_order(*kept, true)
                    : date_order(date, false) < date_order(*kept, false)))
            kept = date;
    }

    // The field, or its problem.
    void finish(Context &context, Key attribute,
                std::optional<std::string> &field) const
    {
        if (kept && !open)
            field = kept->s57;
        else
            context.problem(attribute, reason.empty()
                                           ? std::string("no ") + which() +
                                                 " in the identification"
                                           : reason);
    }
};

}  // namespace

void read_period(Context &context)
{
    auto found =
        context.groups({Field::begin_position, Field::end_position,
                        Field::begin_indeterminate, Field::end_indeterminate,
                        Field::instant, Field::instant_indeterminate},
                       true);
    if (found.empty()) {
        bool metadata_date = false;
        for (const Capture &capture : context.collected.captures)
            metadata_date |= capture.field == Field::metadata_date &&
                             !trimmed(capture.value).empty();
        const char *message = metadata_date
                                  ? "no survey period in the identification "
                                    "(only a metadata date)"
                                  : "no survey period in the identification";
        context.problem(Key::SURSTA, message);
        context.problem(Key::SUREND, message);
        return;
    }
    PeriodEnd start{false, {}, {}};
    PeriodEnd end{true, {}, {}};
    for (const auto &entry : found) {
        const Group &group = entry.second;
        // An instant is the start and the end of its extent.
        if (first_value(group, Field::instant) ||
            first_value(group, Field::instant_indeterminate)) {
            start.take(group, Field::instant, Field::instant_indeterminate);
            end.take(group, Field::instant, Field::instant_indeterminate);
        } else {
            start.take(group, Field::begin_position,
                       Field::begin_indeterminate);
            end.take(group, Field::end_position, Field::end_indeterminate);
        }
    }
    start.finish(context, Key::SURSTA, context.fields.SURSTA);
    end.finish(context, Key::SUREND, context.fields.SUREND);
}

}  // namespace survey
}  // namespace bathyra
