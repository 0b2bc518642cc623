// CRS names looked up in PROJ's database: whether a reference system
// written in words ("WGS 84", "NAD83 / UTM zone 10N") is the name of a
// CRS, with the answers kept per name, as bounded as the other caches.
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <unordered_map>

#include "crs_hand_reading.hpp"
#include "proj_context.hpp"
#include "proj_lookup.hpp"

namespace bathyra {

namespace {

#ifdef BATHYRA_HAVE_PROJ

// The longest name looked up: the database's names are far shorter.
constexpr std::size_t longest_name = 256;

struct NameCache {
    std::mutex mutex;
    std::unordered_map<std::string, bool> answers;
    std::size_t bytes = 0;
};

NameCache &name_cache()
{
    static NameCache *instance = new NameCache;  // never freed, as the others
    return *instance;
}

// Whether the database holds a CRS (of a kind that can be horizontal)
// named exactly `name`, in any case.
bool look_up_name(PJ_CONTEXT *context, const std::string &name)
{
    static const PJ_TYPE types[] = {
        PJ_TYPE_GEOGRAPHIC_2D_CRS, PJ_TYPE_GEOGRAPHIC_3D_CRS,
        PJ_TYPE_GEOCENTRIC_CRS,    PJ_TYPE_PROJECTED_CRS,
        PJ_TYPE_COMPOUND_CRS,      PJ_TYPE_ENGINEERING_CRS,
    };
    PJ_OBJ_LIST *found =
        proj_create_from_name(context, nullptr, name.c_str(), types,
                              sizeof types / sizeof types[0], 0, 1, nullptr);
    if (found == nullptr)
        return false;
    bool crs = false;
    if (proj_list_get_count(found) > 0) {
        proj::Object first(proj_list_get(context, found, 0));
        crs = first && proj_is_crs(first.get());
    }
    proj_list_destroy(found);
    return crs;
}

#endif

}  // namespace

bool names_crs(const std::string &text)
{
#ifdef BATHYRA_HAVE_PROJ
    try {
        const std::string name = hand::trimmed(text);
        if (name.empty() || name.size() > longest_name ||
            name.find('\0') != std::string::npos)
            return false;
        NameCache &cache = name_cache();
        {
            std::lock_guard<std::mutex> guard(cache.mutex);
            auto found = cache.answers.find(name);
            if (found != cache.answers.end())
                return found->second;
        }
        PJ_CONTEXT *context = proj::thread_context();
        if (context == nullptr)
            return false;
        const bool answer = look_up_name(context, name);
        const std::size_t bytes = name.size() + 8 * sizeof(void *);
        std::lock_guard<std::mutex> guard(cache.mutex);
        if (cache.answers.size() < cache_entry_limit &&
            cache.bytes + bytes <= cache_byte_limit &&
            cache.answers.emplace(name, answer).second)
            cache.bytes += bytes;
        return answer;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return false;
    }
#else
    (void)text;
    return false;
#endif
}

}  // namespace bathyra
