// Look-ups of coordinate reference systems in PROJ's database, and the
// reading of the references by which documents name them.
#include "proj_lookup.hpp"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

#ifdef BATHYRA_HAVE_PROJ
#include <proj.h>
#endif

namespace bathyra {

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

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

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

// What one code gives: a vertical CRS gives the vertical facts, a
// horizontal one the horizontal facts, a compound CRS both.
struct CrsFacts {
    VerticalCrsFacts vertical;
    HorizontalCrsFacts horizontal;
    std::string vertical_datum;  // when the code names a vertical datum
};

#ifdef BATHYRA_HAVE_PROJ

// The PROJ context of the calling thread: a context must not be used by
// two threads at a time, and each keeps its own connection to the
// database.  Created on the thread's first look-up, destroyed when the
// thread ends.  (The module that holds this code is never unloaded, so the
// destructor is still there when a thread ends.)
class ThreadContext {
  public:
    ThreadContext() = default;
    ThreadContext(const ThreadContext &) = delete;
    ThreadContext &operator=(const ThreadContext &) = delete;
    ~ThreadContext()
    {
        if (context_ != nullptr)
            proj_context_destroy(context_);
    }

    // The context, or null when it could not be created (a later call
    // tries again).
    PJ_CONTEXT *get()
    {
        if (context_ == nullptr) {
            context_ = proj_context_create();
            if (context_ != nullptr) {
                // Not found is an answer here, not an error to print.
                proj_log_level(context_, PJ_LOG_NONE);
#if PROJ_VERSION_MAJOR >= 7
                // Only the installed database is read, never a server.
                proj_context_set_enable_network(context_, 0);
#endif
            }
        }
        return context_;
    }

  private:
    PJ_CONTEXT *context_ = nullptr;
};

PJ_CONTEXT *thread_context()
{
    thread_local ThreadContext context;
    return context.get();
}

// Owns a PROJ object.
class Object {
  public:
    explicit Object(PJ *object) : object_(object) {}
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    ~Object()
    {
        if (object_ != nullptr)
            proj_destroy(object_);
    }
    PJ *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PJ *object_;
};

std::string name_of(const PJ *object)
{
    const char *name = proj_get_name(object);
    return name != nullptr ? std::string(name) : std::string();
}

bool equals_ignoring_case(const char *text, const char *lower)
{
    for (; *lower != '\0'; ++text, ++lower) {
        if (*text == '\0' || ascii_upper(*text) != ascii_upper(*lower))
            return false;
    }
    return *text == '\0';
}

// The datum of a CRS, or, when it has a datum ensemble instead, a datum
// standing for the ensemble (named as the ensemble).
PJ *datum_of(PJ_CONTEXT *context, const PJ *crs)
{
#if PROJ_VERSION_MAJOR > 8 ||                                                 \
    (PROJ_VERSION_MAJOR == 8 && PROJ_VERSION_MINOR >= 1)
    return proj_crs_get_datum_forced(context, crs);
#else
    return proj_crs_get_datum(context, crs);
#endif
}

void describe_vertical(PJ_CONTEXT *context, const PJ *crs,
                       VerticalCrsFacts &facts)
{
    facts.found = true;
    facts.name = name_of(crs);
    Object system(proj_crs_get_coordinate_system(context, crs));
    const char *direction = nullptr;
    const char *unit_name = nullptr;
    double factor = 0.0;
    if (system && proj_cs_get_axis_count(context, system.get()) >= 1 &&
        proj_cs_get_axis_info(context, system.get(), 0, nullptr, nullptr,
                              &direction, &factor, &unit_name, nullptr,
                              nullptr)) {
        if (direction != nullptr && equals_ignoring_case(direction, "up"))
            facts.direction = AxisDirection::up;
        else if (direction != nullptr &&
                 equals_ignoring_case(direction, "down"))
            facts.direction = AxisDirection::down;
        if (factor > 0.0)
            facts.to_metres = factor;
        if (unit_name != nullptr)
            facts.unit_name = unit_name;
    }
    Object datum(datum_of(context, crs));
    if (datum)
        facts.datum_name = name_of(datum.get());
}

// Fills in what a CRS that is not compound tells; returns whether it was
// of a kind described here.
bool describe_simple(PJ_CONTEXT *context, const PJ *crs, CrsFacts &facts)
{
    switch (proj_get_type(crs)) {
    case PJ_TYPE_VERTICAL_CRS:
        if (!facts.vertical.found)
            describe_vertical(context, crs, facts.vertical);
        return true;
    case PJ_TYPE_GEOGRAPHIC_2D_CRS:
    case PJ_TYPE_GEOGRAPHIC_3D_CRS:
    case PJ_TYPE_PROJECTED_CRS:
        if (!facts.horizontal.found) {
            facts.horizontal.found = true;
            facts.horizontal.name = name_of(crs);
        }
        return true;
    default:
        return false;
    }
}

// Queries the database.  Returns false when there was no answer (no
// context), true with `facts` otherwise, "not found" included.
bool query(const std::string &authority, const std::string &code,
           CrsFacts &facts)
{
    PJ_CONTEXT *context = thread_context();
    if (context == nullptr)
        return false;
    Object crs(proj_create_from_database(context, authority.c_str(),
                                         code.c_str(), PJ_CATEGORY_CRS, 0,
                                         nullptr));
    if (!crs) {
        // Not a CRS: perhaps a vertical datum (the same codes number both).
        Object datum(proj_create_from_database(context, authority.c_str(),
                                               code.c_str(), PJ_CATEGORY_DATUM,
                                               0, nullptr));
        if (datum &&
            (proj_get_type(datum.get()) == PJ_TYPE_VERTICAL_REFERENCE_FRAME ||
             proj_get_type(datum.get()) ==
                 PJ_TYPE_DYNAMIC_VERTICAL_REFERENCE_FRAME))
            facts.vertical_datum = name_of(datum.get());
        return true;
    }
    if (proj_get_type(crs.get()) == PJ_TYPE_COMPOUND_CRS) {
        for (int index = 0;; ++index) {
            Object part(proj_crs_get_sub_crs(context, crs.get(), index));
            if (!part)
                break;
            describe_simple(context, part.get(), facts);
        }
    } else {
        describe_simple(context, crs.get(), facts);
    }
    return true;
}

// The answers so far, by (upper-cased authority, code).  Allocated once
// and never freed: a thread of the host may still look a code up while
// the process exits.
struct Cache {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, CrsFacts> answers;
};

// Beyond this many codes, new answers are no longer kept: a stream of
// distinct junk codes does not grow the process without bound.
constexpr std::size_t cache_limit = 4096;

Cache &cache()
{
    static Cache *instance = new Cache;
    return *instance;
}

CrsFacts look_up(const std::string &authority, const std::string &code)
{
    try {
        if (authority.empty() || code.empty() ||
            authority.find('\0') != std::string::npos ||
            code.find('\0') != std::string::npos)
            return CrsFacts();
        std::pair<std::string, std::string> key(upper_case(authority), code);
        Cache &known = cache();
        {
            std::lock_guard<std::mutex> guard(known.mutex);
            auto found = known.answers.find(key);
            if (found != known.answers.end())
                return found->second;
        }
        // The query runs without the lock, on this thread's context; when
        // two threads ask for the same new code, the first answer stored
        // is kept (both are the same).
        CrsFacts facts;
        if (!query(key.first, key.second, facts))
            return CrsFacts();
        std::lock_guard<std::mutex> guard(known.mutex);
        if (known.answers.size() < cache_limit)
            known.answers.emplace(std::move(key), facts);
        return facts;
    } catch (const std::exception &) {
        return CrsFacts();
    }
}

#else  // no PROJ

CrsFacts look_up(const std::string &, const std::string &)
{
    return CrsFacts();
}

#endif

}  // namespace

bool proj_available()
{
#ifdef BATHYRA_HAVE_PROJ
    return true;
#else
    return false;
#endif
}

VerticalCrsFacts vertical_crs(const std::string &authority,
                              const std::string &code)
{
    try {
        return look_up(authority, code).vertical;
    } catch (const std::exception &) {
        return VerticalCrsFacts();
    }
}

std::string vertical_datum(const std::string &authority,
                           const std::string &code)
{
    try {
        return look_up(authority, code).vertical_datum;
    } catch (const std::exception &) {
        return std::string();
    }
}

HorizontalCrsFacts horizontal_crs(const std::string &authority,
                                  const std::string &code)
{
    try {
        return look_up(authority, code).horizontal;
    } catch (const std::exception &) {
        return HorizontalCrsFacts();
    }
}

bool parse_crs_reference(const std::string &text, std::string &authority,
                         std::string &code)
{
    try {
        return parse_reference(text, std::string(), authority, code);
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
    } catch (const std::exception &) {
        return false;
    }
}

bool find_crs_reference(const std::string &text, std::string &authority,
                        std::string &code)
{
    try {
        std::string folded = text;
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
            std::string number = text.substr(digits, end - digits);
            number.erase(
                0, std::min(number.find_first_not_of('0'), number.size() - 1));
            authority = "EPSG";
            code = number;
            return true;
        }
    } catch (const std::exception &) {
    }
    return false;
}

}  // namespace bathyra
