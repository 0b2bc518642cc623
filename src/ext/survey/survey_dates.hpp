// Survey dates: the ISO 8601 forms that temporal extents are written in,
// read into S-57 dates ("YYYYMMDD", or "YYYYMM" and "YYYY" when the
// document gives only that precision).  The date is taken as written:
// a time of day and a zone are checked and dropped, never converted.
#pragma once

#include <string>
#include <string_view>

namespace bathyra {

struct SurveyDate {
    bool ok = false;
    std::string s57;  // "20190314", "201903" or "2019"
    int year = 0;     // for ordering; month and day 0 when not given
    int month = 0;
    int day = 0;
    std::string reason;  // when not ok, for a hydrographer
};

// Reads one position text (surrounding white space ignored):
//   2019  2019-03  2019-03-14  20190314  2019-03-14Z  2019-03-14+02:00
//   2019-03-14T10:00  2019-03-14T10:00:00.5Z  20190314T100000+0200 ...
// A year before 0001 (0000, or a sign) and a date that does not exist
// are refused with their reason.
SurveyDate read_survey_date(const std::string &text);

// `text` without surrounding white space.
std::string trimmed(std::string_view text);

// Ordering of dates of different precision: a start is the first day of
// what it names, an end the last.
long date_order(const SurveyDate &date, bool as_end);

}  // namespace bathyra
