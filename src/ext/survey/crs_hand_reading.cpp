// The reading by hand of CRS references and WKT texts.
#include "crs_hand_reading.hpp"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace bathyra {

namespace hand {

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trimmed(const std::string &text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin != end && is_space(text[begin]))
        ++begin;
    while (end != begin && is_space(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace hand

namespace {

char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upper_case(const std::string &text)
{
    std::string result(text);
    for (char &c : result)
        c = ascii_upper(c);
    return result;
}

std::string lower_case(const std::string &text)
{
    std::string result(text);
    for (char &c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

using hand::is_space;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A cursor over a text, with case-insensitive matching of ASCII literals.
class Scanner {
  public:
    Scanner(const std::string &text, std::size_t begin, std::size_t end)
        : text_(text), pos_(begin), end_(end)
    {
    }

    // Moves past `literal` when the text continues with it.
    bool take(const char *literal)
    {
        std::size_t pos = pos_;
        for (; *literal != '\0'; ++literal, ++pos) {
            if (pos == end_ ||
                ascii_upper(text_[pos]) != ascii_upper(*literal))
                return false;
        }
        pos_ = pos;
        return true;
    }

    // Moves past a version such as "6.6" or "0" (possibly empty).
    void skip_version()
    {
        while (pos_ != end_ && (is_digit(text_[pos_]) || text_[pos_] == '.'))
            ++pos_;
    }

    // Reads the rest of the text as a code: decimal digits, of which the
    // leading zeros are dropped; at least one other digit is required.
    bool take_code(std::string &code)
    {
        std::size_t first = pos_;
        for (std::size_t pos = pos_; pos != end_; ++pos) {
            if (!is_digit(text_[pos]))
                return false;
        }
        while (first != end_ && text_[first] == '0')
            ++first;
        if (first == end_)
            return false;
        code.assign(text_, first, end_ - first);
        pos_ = end_;
        return true;
    }

  private:
    const std::string &text_;
    std::size_t pos_;
    std::size_t end_;
};

// Reads `text` as a reference to an EPSG code, or, when `default_authority`
// is not empty, as a bare code of that authority.
bool parse_reference(const std::string &text,
                     const std::string &default_authority,
                     std::string &authority, std::string &code)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin != end && is_space(text[begin]))
        ++begin;
    while (end != begin && is_space(text[end - 1]))
        --end;

    std::string found_code;
    std::string found_authority = "EPSG";
    Scanner scan(text, begin, end);
    bool ok;
    if (scan.take("urn:ogc:def:crs:EPSG:") ||
        scan.take("urn:x-ogc:def:crs:EPSG:")) {
        scan.skip_version();
        ok = scan.take(":") && scan.take_code(found_code);
    } else if (scan.take("http://www.opengis.net/") ||
               scan.take("https://www.opengis.net/")) {
        if (scan.take("def/crs/EPSG/")) {
            scan.skip_version();
            ok = scan.take("/") && scan.take_code(found_code);
        } else {
            ok = scan.take("gml/srs/epsg.xml#") && scan.take_code(found_code);
        }
    } else if (scan.take("EPSG:")) {
        scan.take(":");
        ok = scan.take_code(found_code);
    } else {
        found_authority = upper_case(default_authority);
        ok = !found_authority.empty() && scan.take_code(found_code);
    }
    if (!ok)
        return false;
    authority = std::move(found_authority);
    code = std::move(found_code);
    return true;
}

// XML's white space around a text (a WKT's quoted name).
std::string xml_trimmed(const std::string &text)
{
    auto white = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    };
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && white(text[first]))
        ++first;
    while (last > first && white(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// The first quoted text after `keyword` (lower case) in a WKT text.
std::string quoted_after(const std::string &text, const std::string &keyword)
{
    size_t at = lower_case(text).find(keyword);
    if (at == std::string::npos)
        return "";
    size_t open = text.find('"', at);
    size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos)
        return "";
    return xml_trimmed(text.substr(open + 1, close - open - 1));
}

// The name of a WKT CRS (the first quoted text) and whether it is a
// vertical one; empty when `text` is no WKT.
std::string wkt_name(const std::string &text, bool &vertical)
{
    size_t bracket = text.find('[');
    if (bracket == std::string::npos || bracket == 0 || bracket > 20)
        return "";
    std::string keyword = lower_case(text.substr(0, bracket));
    for (char c : keyword)
        if (!std::isalpha(static_cast<unsigned char>(c)) && c != '_')
            return "";
    size_t open = text.find('"', bracket);
    size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos)
        return "";
    vertical = keyword.find("vert") != std::string::npos;
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
            return text.substr(inner_open + 1, inner_close - inner_open - 1);
    }
    return text.substr(open + 1, close - open - 1);
}

}  // namespace

namespace hand {

bool read_code(const std::string &text, std::string &code)
{
    Scanner scan(text, 0, text.size());
    return scan.take_code(code);
}

bool holds_datum_urn(const std::string &text)
{
    return lower_case(text).find("def:datum") != std::string::npos;
}

WktFacts read_wkt(const std::string &text)
{
    WktFacts facts;
    bool vertical = false;
    std::string name = wkt_name(text, vertical);
    facts.found = !name.empty();
    if (!facts.found)
        return facts;
    if (!vertical) {
        facts.horizontal = std::move(name);
        return facts;
    }
    WktVertical &crs = facts.vertical;
    crs.found = true;
    crs.name = std::move(name);
    crs.datum_name = quoted_after(text, "vert_datum[");
    if (crs.datum_name.empty())
        crs.datum_name = quoted_after(text, "vdatum[");
    // WKT 1 gives a vertical CRS without an axis the axis of heights.
    const std::string folded = lower_case(text);
    crs.direction = folded.find(",down]") != std::string::npos ||
                            folded.find(", down]") != std::string::npos
                        ? AxisDirection::down
                        : AxisDirection::up;
    return facts;
}

}  // namespace hand

bool parse_crs_reference(const std::string &text, std::string &authority,
                         std::string &code)
{
    try {
        return parse_reference(text, std::string(), authority, code);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return false;
    }
}

bool parse_crs_reference(const std::string &text,
                         const std::string &default_authority,
                         std::string &authority, std::string &code)
{
    try {
        return parse_reference(text, default_authority, authority, code);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return false;
    }
}

bool find_crs_reference(const std::string &text, std::string &authority,
                        std::string &code)
{
    try {
        // "[EPSG: 6341]": white space after a colon is no separator of its
        // own.
        std::string compact;
        for (char c : text)
            if (!(is_space(c) && !compact.empty() && compact.back() == ':'))
                compact += c;
        std::string folded = compact;
        for (char &c : folded)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        const std::string allowed = "0123456789:/#.xml";
        for (size_t at = folded.find("epsg"); at != std::string::npos;
             at = folded.find("epsg", at + 4)) {
            size_t end = at + 4;
            while (end < folded.size() &&
                   allowed.find(folded[end]) != std::string::npos)
                ++end;
            if (end < folded.size() &&
                (is_digit(folded[end]) ||
                 (folded[end] >= 'a' && folded[end] <= 'z')))
                continue;
            size_t digits = end;
            while (digits > at + 4 && is_digit(folded[digits - 1]))
                --digits;
            if (digits == end || digits == at + 4 || end - digits > 9 ||
                std::string(":/#").find(folded[digits - 1]) ==
                    std::string::npos)
                continue;
            std::string number = compact.substr(digits, end - digits);
            number.erase(
                0, std::min(number.find_first_not_of('0'), number.size() - 1));
            authority = "EPSG";
            code = number;
            return true;
        }
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
    }
    return false;
}

}  // namespace bathyra
