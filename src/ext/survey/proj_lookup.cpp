// Look-ups of coordinate reference systems in PROJ's database by code,
// with the cache of their answers, and the PROJ context of each thread.
#include "proj_lookup.hpp"

#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "proj_context.hpp"

namespace bathyra {

namespace {

// What one code gives: a vertical CRS gives the vertical facts, a
// horizontal one the horizontal facts, a compound CRS both.
struct CrsFacts {
    VerticalCrsFacts vertical;
    HorizontalCrsFacts horizontal;
    std::string vertical_datum;  // when the code names a vertical datum
};

}  // namespace

#ifdef BATHYRA_HAVE_PROJ

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

}  // namespace

namespace proj {

namespace {

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

}  // namespace

PJ_CONTEXT *thread_context()
{
    thread_local ThreadContext context;
    return context.get();
}

std::string name_of(const PJ *object)
{
    const char *name = proj_get_name(object);
    return name != nullptr ? std::string(name) : std::string();
}

bool equals_ignoring_case(const char *text, const char *literal)
{
    for (; *literal != '\0'; ++text, ++literal) {
        if (*text == '\0' || ascii_upper(*text) != ascii_upper(*literal))
            return false;
    }
    return *text == '\0';
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

}  // namespace proj

namespace {

using proj::name_of;
using proj::Object;
using proj::thread_context;

// Fills in what a CRS that is not compound tells; returns whether it was
// of a kind described here.
bool describe_simple(PJ_CONTEXT *context, const PJ *crs, CrsFacts &facts)
{
    switch (proj_get_type(crs)) {
    case PJ_TYPE_VERTICAL_CRS:
        if (!facts.vertical.found)
            proj::describe_vertical(context, crs, facts.vertical);
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

// Whether `authority` can be one of PROJ's: a short word of ASCII
// letters, digits and underscores ("EPSG", "IAU_2015").
bool is_authority(const std::string &authority)
{
    if (authority.empty() || authority.size() > 32)
        return false;
    for (char c : authority)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

using Key = std::pair<std::string, std::string>;

// The answers so far, by (upper-cased authority, code), and the bytes
// they take.  Allocated once and never freed: a thread of the host may
// still look a code up while the process exits.
struct Cache {
    std::mutex mutex;
    std::map<Key, CrsFacts> answers;
    std::size_t bytes = 0;
};

// The bytes that one answer takes in the cache: its strings and the
// node of the map.
std::size_t footprint(const Key &key, const CrsFacts &facts)
{
    return sizeof(std::map<Key, CrsFacts>::value_type) + 4 * sizeof(void *) +
           key.first.size() + key.second.size() + facts.vertical.name.size() +
           facts.vertical.unit_name.size() + facts.vertical.datum_name.size() +
           facts.horizontal.name.size() + facts.vertical_datum.size();
}

Cache &cache()
{
    static Cache *instance = new Cache;
    return *instance;
}

CrsFacts look_up(const std::string &authority, const std::string &code)
{
    try {
        if (!is_authority(authority) || !is_crs_code(code))
            return CrsFacts();
        Key key(upper_case(authority), code);
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
        const std::size_t bytes = footprint(key, facts);
        std::lock_guard<std::mutex> guard(known.mutex);
        if (known.answers.size() < cache_entry_limit &&
            known.bytes + bytes <= cache_byte_limit &&
            known.answers.emplace(std::move(key), facts).second)
            known.bytes += bytes;
        return facts;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return CrsFacts();
    }
}

}  // namespace

CacheUsage code_cache_usage()
{
    Cache &known = cache();
    std::lock_guard<std::mutex> guard(known.mutex);
    CacheUsage usage;
    usage.entries = known.answers.size();
    usage.bytes = known.bytes;
    return usage;
}

#else  // no PROJ

namespace {

CrsFacts look_up(const std::string &, const std::string &)
{
    return CrsFacts();
}

}  // namespace

CacheUsage code_cache_usage()
{
    return CacheUsage();
}

#endif

bool is_crs_code(const std::string &code)
{
    if (code.empty() || code.size() > 10)
        return false;
    for (char c : code)
        if (c < '0' || c > '9')
            return false;
    return true;
}

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
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return VerticalCrsFacts();
    }
}

std::string vertical_datum(const std::string &authority,
                           const std::string &code)
{
    try {
        return look_up(authority, code).vertical_datum;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return std::string();
    }
}

HorizontalCrsFacts horizontal_crs(const std::string &authority,
                                  const std::string &code)
{
    try {
        return look_up(authority, code).horizontal;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return HorizontalCrsFacts();
    }
}

}  // namespace bathyra
