// The ISO 8601 date forms of temporal extents.
#include "survey_dates.hpp"

#include <cctype>

#include "problem_quotes.hpp"

namespace bathyra {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads `count` digits at `at`; returns -1 when they are not all digits.
int digits(const std::string &text, size_t at, size_t count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = text[at + i];
        if (!is_digit(c))
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

// A zone designator: Z, or a sign and hh, hh:mm or hhmm.
bool is_zone(const std::string &text, size_t at)
{
    if (at == text.size())
        return true;
    if (text[at] == 'Z' && at + 1 == text.size())
        return true;
    if (text[at] != '+' && text[at] != '-')
        return false;
    size_t rest = text.size() - at - 1;
    int hours = digits(text, at + 1, 2);
    if (hours < 0 || hours > 23)
        return false;
    if (rest == 2)
        return true;
    size_t minutes_at = at + 3;
    if (rest == 5 && text[at + 3] == ':')
        minutes_at = at + 4;
    else if (rest != 4)
        return false;
    int minutes = digits(text, minutes_at, 2);
    return minutes >= 0 && minutes < 60;
}

// A time of day after 'T': hh, hh:mm, hh:mm:ss (or basic hhmm, hhmmss),
// a fraction of the last part, then a zone.
bool is_time(const std::string &text, size_t at)
{
    int hours = digits(text, at, 2);
    if (hours < 0 || hours > 24)
        return false;
    at += 2;
    for (int part = 0; part < 2 && at < text.size(); ++part) {
        size_t next = at + (text[at] == ':' ? 1 : 0);
        int value = digits(text, next, 2);
        if (value < 0)
            break;
        if (value > (part == 0 ? 59 : 60))
            return false;
        at = next + 2;
    }
    if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        size_t start = ++at;
        while (at < text.size() && is_digit(text[at]))
            ++at;
        if (at == start)
            return false;
    }
    return is_zone(text, at);
}

SurveyDate refused(std::string reason)
{
    SurveyDate date;
    date.reason = std::move(reason);
    return date;
}

}  // namespace

// XML's white space, whatever the locale says: a locale of single-byte
// characters would count bytes of UTF-8 sequences too.
bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string trimmed(std::string_view text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && is_white(text[first]))
        ++first;
    while (last > first && is_white(text[last - 1]))
        --last;
    return std::string(text.substr(first, last - first));
}

SurveyDate read_survey_date(const std::string &raw)
{
    const std::string text = trimmed(raw);
    const std::string shown = quoted(text);
    if (text.empty())
        return refused("empty");
    if (text[0] == '-' || text[0] == '+')
        return refused(shown + " is before year 1");
    int year = digits(text, 0, 4);
    if (year < 0)
        return refused(shown + " is not a date");
    // Month and day 0 stand for "not given"; given ones are checked.
    int month = 0;
    int day = 0;
    bool has_month = false;
    bool has_day = false;
    size_t at = 4;
    if (text.size() >= 8 && digits(text, 4, 4) >= 0 &&
        (text.size() == 8 || !is_digit(text[8]))) {
        // Basic form: YYYYMMDD.
        month = digits(text, 4, 2);
        day = digits(text, 6, 2);
        has_month = has_day = true;
        at = 8;
    } else if (at < text.size() && text[at] == '-') {
        month = digits(text, 5, 2);
        if (month < 0)
            return refused(shown + " is not a date");
        has_month = true;
        at = 7;
        if (at < text.size() && text[at] == '-') {
            day = digits(text, 8, 2);
            if (day < 0)
                return refused(shown + " is not a date");
            has_day = true;
            at = 10;
        }
    }
    if (year == 0)
        return refused(shown + " is before year 1");
    if (has_month && (month < 1 || month > 12))
        return refused(shown + " is not a date (no month " +
                       std::to_string(month) + ")");
    if (has_day && (day < 1 || day > days_in_month(year, month)))
        return refused(shown + " is not a date (no such day)");
    if (month == 0 && at == 4 && text.size() > 4 && text[4] == '-')
        return refused(shown + " is not a date");
    // What follows the date: nothing, a zone, or a time (with a zone).
    bool tail_ok;
    if (at == text.size())
        tail_ok = true;
    else if (text[at] == 'T')
        tail_ok = day != 0 && is_time(text, at + 1);
    else
        tail_ok = day != 0 && is_zone(text, at);
    if (!tail_ok)
        return refused(shown + " is not a date");
    SurveyDate date;
    date.ok = true;
    date.year = year;
    date.month = month;
    date.day = day;
    date.s57 = text.substr(0, 4);
    if (month != 0) {
        date.s57 += (month < 10 ? "0" : "") + std::to_string(month);
        if (day != 0)
            date.s57 += (day < 10 ? "0" : "") + std::to_string(day);
    }
    return date;
}

long date_order(const SurveyDate &date, bool as_end)
{
    int month = date.month != 0 ? date.month : (as_end ? 12 : 1);
    int day = date.day != 0 ? date.day
                            : (as_end ? days_in_month(date.year, month) : 1);
    return (static_cast<long>(date.year) * 100 + month) * 100 + day;
}

}  // namespace bathyra
