// The reading of the texts that name a CRS: references (codes, URNs, the
// register's addresses) and WKT, by PROJ's parser where it is built in,
// with the answers kept per text; the reading by hand of the forms it
// refuses and of every form without PROJ is in crs_hand_reading.cpp.
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "crs_hand_reading.hpp"
#include "proj_context.hpp"
#include "proj_lookup.hpp"

namespace bathyra {

namespace {

#ifdef BATHYRA_HAVE_PROJ

// What PROJ's parser made of one text.
struct ParsedText {
    CrsReference reference;  // kind none: no reference PROJ reads
    WktFacts wkt;            // not found: no WKT PROJ reads
};

// PROJ's answers by text, misses included, and the bytes they take.
// Allocated once and never freed, as the cache of codes; bounded as it is
// (cache_entry_limit, cache_byte_limit), and a text longer than any CRS
// written out is never kept: past the bounds a text is parsed every time.
struct TextCache {
    std::mutex mutex;
    std::map<std::string, ParsedText> answers;
    std::size_t bytes = 0;
};

constexpr std::size_t longest_kept_text = 64u << 10;

TextCache &text_cache()
{
    static TextCache *instance = new TextCache;
    return *instance;
}

// The bytes that one answer takes in the cache: its strings and the node
// of the map.
std::size_t footprint(const std::string &text, const ParsedText &answer)
{
    return sizeof(std::map<std::string, ParsedText>::value_type) +
           4 * sizeof(void *) + text.size() +
           answer.reference.authority.size() + answer.reference.code.size() +
           answer.wkt.horizontal.size() + answer.wkt.vertical.name.size() +
           answer.wkt.vertical.datum_name.size();
}

// The longest reference that goes to PROJ's parser: the register's
// addresses and URNs are far shorter.
constexpr std::size_t longest_reference = 256;

// Whether `text` holds a run of digits longer than any code (of a CRS, a
// datum or a version): no reference of the register.
bool holds_long_number(const std::string &text)
{
    std::size_t run = 0;
    for (char c : text) {
        run = c >= '0' && c <= '9' ? run + 1 : 0;
        if (run > 10)
            return true;
    }
    return false;
}

// Whether `text` goes to PROJ's parser as a reference: one short word
// with a colon and no number longer than a code, neither WKT nor
// PROJJSON.  (PROJ searches its database for any
// other text as a name; and a CRS written out in full is no reference,
// whatever identifier it carries.)
bool reference_shaped(PJ_CONTEXT *context, const std::string &text)
{
    if (text.empty() || text.size() > longest_reference || text[0] == '{' ||
        text.find(':') == std::string::npos || holds_long_number(text))
        return false;
    for (char c : text)
        if (c == '\0' || hand::is_space(c))
            return false;
    return proj_context_guess_wkt_dialect(context, text.c_str()) ==
           PJ_GUESSED_NOT_WKT;
}

bool is_datum(PJ_TYPE type)
{
    return type == PJ_TYPE_GEODETIC_REFERENCE_FRAME ||
           type == PJ_TYPE_DYNAMIC_GEODETIC_REFERENCE_FRAME ||
           type == PJ_TYPE_VERTICAL_REFERENCE_FRAME ||
           type == PJ_TYPE_DYNAMIC_VERTICAL_REFERENCE_FRAME;
}

// The EPSG CRS or datum that PROJ reads `text` as, if any.
CrsReference parse_reference(PJ_CONTEXT *context, const std::string &text)
{
    CrsReference found;
    if (!reference_shaped(context, text))
        return found;
    proj::Object object(proj_create(context, text.c_str()));
    if (!object)
        return found;
    const char *authority = proj_get_id_auth_name(object.get(), 0);
    const char *code = proj_get_id_code(object.get(), 0);
    if (authority == nullptr || code == nullptr ||
        !proj::equals_ignoring_case(authority, "EPSG") ||
        !hand::read_code(code, found.code))
        return found;
    found.authority = "EPSG";
    if (proj_is_crs(object.get()))
        found.kind = CrsReference::Kind::crs;
    else if (is_datum(proj_get_type(object.get())))
        found.kind = CrsReference::Kind::datum;
    return found;
}

// A WKT 1 CRS with TOWGS84 and a WKT 2 BOUNDCRS stand for their source
// CRS: the source of `crs` when it is bound, else null.
PJ *source_of(PJ_CONTEXT *context, const PJ *crs)
{
    return proj_get_type(crs) == PJ_TYPE_BOUND_CRS
               ? proj_get_source_crs(context, crs)
               : nullptr;
}

// Fills in what a CRS that is not compound tells.
void describe_part(PJ_CONTEXT *context, const PJ *part, WktFacts &facts)
{
    proj::Object source(source_of(context, part));
    const PJ *crs = source ? source.get() : part;
    if (proj_get_type(crs) != PJ_TYPE_VERTICAL_CRS) {
        if (facts.horizontal.empty())
            facts.horizontal = proj::name_of(crs);
        return;
    }
    if (facts.vertical.found)
        return;
    VerticalCrsFacts vertical;
    proj::describe_vertical(context, crs, vertical);
    WktVertical &described = facts.vertical;
    described.found = !vertical.name.empty();
    described.name = vertical.name;
    described.datum_name = vertical.datum_name;
    described.direction = vertical.direction == AxisDirection::down
                              ? AxisDirection::down
                              : AxisDirection::up;
    described.to_metres = vertical.to_metres;
}

// What PROJ reads in a WKT text, if it reads one.
WktFacts parse_wkt(PJ_CONTEXT *context, const std::string &text)
{
    WktFacts facts;
    const PJ_GUESSED_WKT_DIALECT dialect =
        proj_context_guess_wkt_dialect(context, text.c_str());
    if (dialect == PJ_GUESSED_NOT_WKT || dialect == PJ_GUESSED_WKT1_ESRI)
        return facts;
    proj::Object crs(proj_create_from_wkt(context, text.c_str(), nullptr,
                                          nullptr, nullptr));
    if (!crs || !proj_is_crs(crs.get()))
        return facts;
    if (proj_get_type(crs.get()) == PJ_TYPE_COMPOUND_CRS) {
        for (int index = 0;; ++index) {
            proj::Object part(proj_crs_get_sub_crs(context, crs.get(), index));
            if (!part)
                break;
            describe_part(context, part.get(), facts);
        }
    } else {
        describe_part(context, crs.get(), facts);
    }
    facts.found = !facts.horizontal.empty() || facts.vertical.found;
    return facts;
}

// PROJ's reading of `text`, from the cache or made now; null when there
// is no PROJ context.
const ParsedText *parsed(const std::string &text, ParsedText &made)
{
    TextCache &cache = text_cache();
    {
        std::lock_guard<std::mutex> guard(cache.mutex);
        auto found = cache.answers.find(text);
        if (found != cache.answers.end())
            return &found->second;
    }
    PJ_CONTEXT *context = proj::thread_context();
    if (context == nullptr)
        return nullptr;
    // Parsed without the lock, on this thread's context; when two threads
    // parse the same new text, the first answer stored is kept (both are
    // the same).
    made.reference = parse_reference(context, text);
    if (made.reference.kind == CrsReference::Kind::none)
        made.wkt = parse_wkt(context, text);
    if (text.size() > longest_kept_text)
        return &made;
    const std::size_t bytes = footprint(text, made);
    std::lock_guard<std::mutex> guard(cache.mutex);
    if (cache.answers.size() < cache_entry_limit &&
        cache.bytes + bytes <= cache_byte_limit) {
        // Entries are never removed: what the map holds stays valid.
        auto stored = cache.answers.emplace(text, made);
        if (stored.second)
            cache.bytes += bytes;
        return &stored.first->second;
    }
    return &made;
}

#endif

}  // namespace

CacheUsage text_cache_usage()
{
    CacheUsage usage;
#ifdef BATHYRA_HAVE_PROJ
    TextCache &cache = text_cache();
    std::lock_guard<std::mutex> guard(cache.mutex);
    usage.entries = cache.answers.size();
    usage.bytes = cache.bytes;
#endif
    return usage;
}

CrsReference read_crs_reference(const std::string &text,
                                const std::string &default_authority,
                                const std::string &link)
{
    try {
#ifdef BATHYRA_HAVE_PROJ
        ParsedText made;
        const ParsedText *by_proj = parsed(hand::trimmed(text), made);
        if (by_proj && by_proj->reference.kind != CrsReference::Kind::none)
            return by_proj->reference;
#endif
        CrsReference found;
        if (parse_crs_reference(text, default_authority, found.authority,
                                found.code) ||
            find_crs_reference(text, found.authority, found.code)) {
            found.kind = CrsReference::Kind::crs;
        } else if (!link.empty()) {
#ifdef BATHYRA_HAVE_PROJ
            const ParsedText *link_by_proj = parsed(hand::trimmed(link), made);
            if (link_by_proj &&
                link_by_proj->reference.kind != CrsReference::Kind::none)
                return link_by_proj->reference;
#endif
            if (find_crs_reference(link, found.authority, found.code))
                found.kind = CrsReference::Kind::crs;
        }
        if (found.kind != CrsReference::Kind::none &&
            (hand::holds_datum_urn(text) || hand::holds_datum_urn(link)))
            found.kind = CrsReference::Kind::datum;
        return found;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return CrsReference();
    }
}

WktFacts read_wkt(const std::string &text)
{
    try {
#ifdef BATHYRA_HAVE_PROJ
        ParsedText made;
        const ParsedText *by_proj = parsed(hand::trimmed(text), made);
        if (by_proj && by_proj->wkt.found)
            return by_proj->wkt;
#endif
        return hand::read_wkt(text);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return WktFacts();
    }
}

}  // namespace bathyra
