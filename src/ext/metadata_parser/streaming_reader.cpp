// The streamed way: one expat pass that keeps the texts of the elements
// the routine's paths select, with the path semantics of the element
// tree's searches:
//   * `.//x` never selects the root element;
//   * `.//a/b` with find: the first b child of the first a (in the order of
//     start tags) that has a b child;
//   * `.//a//b` with find: the first b below any a (the first a that has a
//     b below it is the outermost open one when that b starts);
//   * `.//a//b` with findall: for each a in start order, the b below it in
//     start order, so that a b below two nested a comes twice.
// The text of an element is the character data between its start tag and
// its first child's start tag or its end tag; comments and processing
// instructions are not reported, so the data around them joins, as in the
// tree builder.
//
// PathCollector applies these rules to start tags, end tags and character
// data; the shared expat pass feeds it.
#include "streaming_reader.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "expat_pass.hpp"
#include "module_state.hpp"
#include "xml_library_access.hpp"

namespace bathyra {

namespace {

struct Text {
    bool has_data = false;  // character data arrived, possibly empty
    Vector<char> utf8;
    void reset()
    {
        has_data = false;
        utf8.clear();
    }
};

// A character string below acquisition elements: its text is a slice of
// one shared arena, since a text is collected in one stretch.
struct Entry {
    bool has_data = false;
    size_t offset = 0;
    size_t length = 0;
};

struct Found {
    bool present = false;
    int64_t rank = 0;  // start index of the element that decides the choice
    Text text;
};

// The single elements that the routine finds, in this order.
enum Target : int {
    begin_target,
    end_target,
    minimum_target,
    maximum_target,
    citation_target,
    target_count
};

enum Kind : uint8_t {
    other,
    begin_position,
    end_position,
    minimum_value,
    maximum_value,
    real,
    acquisition,
    character_string,
    citation,
};

struct OpenElement {
    Kind kind;
    bool has_real_child;
    bool counted;  // counts among the open acquisition elements
    int64_t index;
};

bool same(const char *text, size_t length, const char *literal,
          size_t literal_length)
{
    return length == literal_length && std::memcmp(text, literal, length) == 0;
}

template <size_t N>
bool is(const char *text, size_t length, const char (&literal)[N])
{
    return same(text, length, literal, N - 1);
}

// Names arrive as "namespace}local" (or "local" without a namespace).
Kind classify(const char *name)
{
    const char *separator = std::strrchr(name, '}');
    if (!separator)
        return other;
    size_t uri_length = static_cast<size_t>(separator - name);
    const char *local = separator + 1;
    size_t local_length = std::strlen(local);
    if (is(name, uri_length, gml_namespace)) {
        if (is(local, local_length, "beginPosition"))
            return begin_position;
        if (is(local, local_length, "endPosition"))
            return end_position;
        return other;
    }
    if (is(name, uri_length, gco_namespace)) {
        if (is(local, local_length, "CharacterString"))
            return character_string;
        if (is(local, local_length, "Real"))
            return real;
        return other;
    }
    if (is(name, uri_length, gmd_namespace)) {
        if (is(local, local_length, "minimumValue"))
            return minimum_value;
        if (is(local, local_length, "maximumValue"))
            return maximum_value;
        if (is(local, local_length, "CI_Citation"))
            return citation;
        return other;
    }
    if (is(name, uri_length, gmi_namespace) &&
        is(local, local_length, "acquisitionInformation"))
        return acquisition;
    return other;
}

constexpr size_t no_entry = static_cast<size_t>(-1);

bool is_placeholder(const char *data, size_t length)
{
    return is(data, length, platform_name_placeholder) ||
           is(data, length, instrument_placeholder) ||
           is(data, length, instrument_type_placeholder);
}

// The path rules and what they found.  Its bookkeeping allocates through
// the host allocator and throws std::bad_alloc when that fails.
class PathCollector {
  public:
    // A start tag; returns whether its character data is wanted.
    bool start(const char *name, const char **)
    {
        stop_collecting();
        const Kind kind = classify(name);
        const bool is_root = open_.empty();
        const int64_t index = next_index_++;
        bool counted = false;
        switch (kind) {
        case begin_position:
            if (!is_root && !found_[begin_target].present)
                choose(found_[begin_target], index);
            break;
        case end_position:
            if (!is_root && !found_[end_target].present)
                choose(found_[end_target], index);
            break;
        case real: {
            // The root is never selected, so neither are its children as
            // children of a selected element.
            if (open_.size() < 2)
                break;
            OpenElement &parent = open_.back();
            if (!parent.has_real_child && (parent.kind == minimum_value ||
                                           parent.kind == maximum_value)) {
                parent.has_real_child = true;
                choose(found_[parent.kind == minimum_value ? minimum_target
                                                           : maximum_target],
                       parent.index);
            }
            break;
        }
        case character_string:
            if (!open_acquisition_.empty()) {
                size_t entry = entries_.size();
                entries_.emplace_back();
                entries_.back().offset = arena_.size();
                for (int64_t owner : open_acquisition_)
                    memberships_.emplace_back(owner, entry);
                entry_target_ = entry;
            }
            if (open_citations_ > 0 && !found_[citation_target].present)
                choose(found_[citation_target], index);
            break;
        case acquisition:
            if (!is_root) {
                open_acquisition_.push_back(index);
                counted = true;
            }
            break;
        case citation:
            if (!is_root) {
                ++open_citations_;
                counted = true;
            }
            break;
        default:
            break;
        }
        open_.push_back(OpenElement{kind, false, counted, index});
        return collecting();
    }

    // An end tag.
    void end()
    {
        stop_collecting();
        OpenElement &closing = open_.back();
        if (closing.counted) {
            if (closing.kind == acquisition)
                open_acquisition_.pop_back();
            else
                --open_citations_;
        }
        open_.pop_back();
    }

    // Character data of the element that started last.
    void data(const char *text, int length)
    {
        for (int i = 0; i < target_count_; ++i) {
            targets_[i]->has_data = true;
            targets_[i]->utf8.insert(targets_[i]->utf8.end(), text,
                                     text + length);
        }
        if (entry_target_ != no_entry) {
            Entry &entry = entries_[entry_target_];
            entry.has_data = true;
            arena_.insert(arena_.end(), text, text + length);
            entry.length += static_cast<size_t>(length);
        }
    }

    const Found &found(Target target) const { return found_[target]; }

    // The platform texts in the order of findall, each followed by ",".
    void join_platforms(Vector<char> &joined)
    {
        // Grouped by acquisition element in start order, each group in
        // the start order of its strings (already so without nesting).
        auto by_owner = [](const std::pair<int64_t, size_t> &a,
                           const std::pair<int64_t, size_t> &b) {
            return a.first < b.first;
        };
        if (!std::is_sorted(memberships_.begin(), memberships_.end(),
                            by_owner))
            std::stable_sort(memberships_.begin(), memberships_.end(),
                             by_owner);
        auto accepted = [this](const Entry &entry) {
            return entry.has_data &&
                   !is_placeholder(arena_.data() + entry.offset, entry.length);
        };
        size_t total = 0;
        for (const auto &membership : memberships_) {
            const Entry &entry = entries_[membership.second];
            if (accepted(entry))
                total += entry.length + 1;
        }
        joined.reserve(total);
        for (const auto &membership : memberships_) {
            const Entry &entry = entries_[membership.second];
            if (!accepted(entry))
                continue;
            const char *data = arena_.data() + entry.offset;
            joined.insert(joined.end(), data, data + entry.length);
            joined.push_back(',');
        }
    }

  private:
    Found found_[target_count];
    Vector<Entry> entries_;
    Vector<char> arena_;  // the texts of the entries, one after the other
    // (start index of an acquisition element, entry), in start order of
    // the entries.
    Vector<std::pair<int64_t, size_t>> memberships_;
    Vector<OpenElement> open_;
    Vector<int64_t> open_acquisition_;
    int64_t open_citations_ = 0;
    int64_t next_index_ = 0;
    Text *targets_[2] = {nullptr, nullptr};
    int target_count_ = 0;
    size_t entry_target_ = no_entry;

    bool collecting() const
    {
        return target_count_ > 0 || entry_target_ != no_entry;
    }

    void stop_collecting()
    {
        target_count_ = 0;
        entry_target_ = no_entry;
    }

    // Takes the element as the found one when nothing was found yet, or
    // when it is decided by an element that started earlier.
    void choose(Found &found, int64_t rank)
    {
        if (found.present && found.rank <= rank)
            return;
        found.present = true;
        found.rank = rank;
        found.text.reset();
        targets_[target_count_++] = &found.text;
    }
};

// The text as the tree builder makes it: None without character data.
PyObject *text_object(const Text &text)
{
    if (!text.has_data) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return PyUnicode_DecodeUTF8(
        text.utf8.data(), static_cast<Py_ssize_t>(text.utf8.size()), nullptr);
}

// Fills `field` from what was found; returns 0 or -1.
int take(const Found &found, OwnedRef &field)
{
    if (!found.present)
        return 0;
    field.reset(text_object(found.text));
    return field ? 0 : -1;
}

// The platform text, less its leading and trailing commas: stripping it
// again in the routine then gives the same str, without a copy, and it is
// empty exactly when stripping the whole text would give "".  Returns 0 or
// -1.
int take_platforms(PathCollector &collector, OwnedRef &field)
{
    Vector<char> joined;
    try {
        collector.join_platforms(joined);
    } catch (const std::exception &) {
        PyErr_NoMemory();
        return -1;
    }
    // A comma is one byte in UTF-8 and never part of another character.
    size_t start = 0;
    size_t end = joined.size();
    while (start < end && joined[start] == ',')
        ++start;
    while (end > start && joined[end - 1] == ',')
        --end;
    field.reset(PyUnicode_DecodeUTF8(
        joined.data() + start, static_cast<Py_ssize_t>(end - start), nullptr));
    return field ? 0 : -1;
}

}  // namespace

bool load_expat()
{
    return expat::load(state.expat, str(Str::module_name));
}

int StreamedReader::read(PyObject *document)
{
    if (!state.expat.capi)
        return 0;
    const char *bytes;
    Py_ssize_t length;
    const bool is_text = PyUnicode_CheckExact(document);
    if (!expat::document_bytes(document, is_text, bytes, length)) {
        // Not encodable (lone surrogates): the library's parser fails on
        // it, and reports it as it does.
        PyErr_Clear();
        return 0;
    }
    try {
        PathCollector collector;
        expat::Pass<PathCollector> pass(state.expat, collector);
        if (!pass.ready() ||
            pass.run(bytes, length, is_text) != expat::Outcome::read)
            return 0;
        if (take(collector.found(begin_target), extents_[0]) < 0 ||
            take(collector.found(end_target), extents_[1]) < 0 ||
            take(collector.found(minimum_target), extents_[2]) < 0 ||
            take(collector.found(maximum_target), extents_[3]) < 0 ||
            take(collector.found(citation_target), citation_) < 0 ||
            take_platforms(collector, platform_text_) < 0)
            return -1;
        return 1;
    } catch (const std::exception &) {
        // Only the reader's bookkeeping throws (no memory): the host's
        // parser takes over.
        return 0;
    }
}

Line StreamedReader::extent_text(ExtentField field, OwnedRef &text)
{
    static constexpr Line lines[] = {
        Line::find_begin_position, Line::find_end_position,
        Line::find_minimum_value, Line::find_maximum_value};
    const int index = static_cast<int>(field);
    if (!extents_[index]) {
        // Reading `text` from None, as the library way would.
        OwnedRef none_text(element_text(Py_None));
        return lines[index];
    }
    text = std::move(extents_[index]);
    return no_failure;
}

Line StreamedReader::platform_text(OwnedRef &text)
{
    text = std::move(platform_text_);
    return no_failure;
}

Line StreamedReader::citation_text(OwnedRef &text)
{
    text =
        citation_ ? std::move(citation_) : OwnedRef::borrow(str(Str::VACIO));
    return no_failure;
}

}  // namespace bathyra
