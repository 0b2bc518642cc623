// The survey reader's collector: the field rules compiled into a matcher
// over the stack of open elements.
#include "survey_collector.hpp"

#include "smxml_names.hpp"

#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace bathyra {
namespace survey {

namespace {

constexpr uint16_t unknown_element = 0;

// One step of a compiled path: the elements it accepts, or any number of
// elements (**).
struct Step {
    bool any_depth = false;
    std::vector<uint16_t> elements;
    bool accepts(uint16_t id) const
    {
        for (uint16_t element : elements)
            if (element == id)
                return true;
        return false;
    }
};

struct CompiledRule {
    Field field;
    std::vector<Step> steps;
    std::string attribute;  // empty: the character data
    int group;
};

// The rules compiled once per process: element names by (namespace,
// local name), and for each element the rules whose path ends there.
class Matcher {
  public:
    Matcher()
    {
        names_.emplace_back();  // unknown_element
        root_ = alternatives(metadata_roots);
        data_ = alternatives(data_identifications);
        service_ = alternatives(service_identifications);
        for (const ClassOfProperty &entry : classes_of_properties)
            classes_of_properties_.emplace_back(element(entry.property),
                                                element(entry.element));
        for (const Rule &rule : rules)
            compile(rule);
        for (uint16_t id : alternatives("mdb:MD_Metadata"))
            iso19115_3_roots_.push_back(id);
    }

    // The element id of an expanded name "uri}local".
    uint16_t classify(std::string_view name) const
    {
        size_t separator = name.rfind('}');
        if (separator == std::string_view::npos)
            return unknown_element;
        std::string_view uri = name.substr(0, separator);
        std::string_view local = name.substr(separator + 1);
        int prefix = prefix_of(uri);
        if (prefix < 0)
            return unknown_element;
        auto found = by_name_.find(key(prefix, local));
        return found == by_name_.end() ? unknown_element : found->second;
    }

    // The element id of a name as the rules write it ("gmd:title", also
    // the class an isoType attribute names), or unknown_element when no
    // rule names it.
    uint16_t id_of(std::string_view token) const
    {
        const size_t colon = token.find(':');
        const int prefix = prefix_index(token.substr(0, colon));
        if (colon == std::string_view::npos || prefix < 0)
            return unknown_element;
        auto found = by_name_.find(key(prefix, token.substr(colon + 1)));
        return found == by_name_.end() ? unknown_element : found->second;
    }

    // The class that an element of any name stands for under `property`,
    // or unknown_element.
    uint16_t class_under(uint16_t property) const
    {
        for (const auto &entry : classes_of_properties_)
            if (entry.first == property)
                return entry.second;
        return unknown_element;
    }

    const std::vector<uint16_t> &rules_ending_at(uint16_t id) const
    {
        return ending_at_[id];
    }
    const CompiledRule &rule(uint16_t index) const { return compiled_[index]; }
    bool is_root(uint16_t id) const { return contains(root_, id); }
    bool is_iso19115_3_root(uint16_t id) const
    {
        return contains(iso19115_3_roots_, id);
    }
    bool is_data_identification(uint16_t id) const
    {
        return contains(data_, id);
    }
    bool is_service_identification(uint16_t id) const
    {
        return contains(service_, id);
    }

  private:
    std::vector<std::string> names_;  // by id: "prefix:local"
    std::unordered_map<std::string, uint16_t> by_name_;
    std::vector<std::vector<uint16_t>> ending_at_;
    std::vector<CompiledRule> compiled_;
    std::vector<uint16_t> root_, data_, service_, iso19115_3_roots_;
    std::vector<std::pair<uint16_t, uint16_t>> classes_of_properties_;

    static bool contains(const std::vector<uint16_t> &ids, uint16_t id)
    {
        for (uint16_t candidate : ids)
            if (candidate == id)
                return true;
        return false;
    }

    static std::string key(int prefix, std::string_view local)
    {
        std::string made(1, static_cast<char>('A' + prefix));
        made.append(local.data(), local.size());
        return made;
    }

    static int prefix_of(std::string_view uri)
    {
        int index = 0;
        for (const Prefix &prefix : prefixes) {
            for (const char *candidate : prefix.namespaces) {
                if (!candidate)
                    break;
                std::string_view name(candidate);
                if (name.back() == '/' ? uri.substr(0, name.size()) == name
                                       : uri == name)
                    return index;
            }
            ++index;
        }
        return -1;
    }

    static int prefix_index(std::string_view prefix)
    {
        int index = 0;
        for (const Prefix &known : prefixes) {
            if (prefix == known.prefix)
                return index;
            ++index;
        }
        return -1;
    }

    uint16_t element(std::string_view token)
    {
        size_t colon = token.find(':');
        int prefix = prefix_index(token.substr(0, colon));
        if (colon == std::string_view::npos || prefix < 0)
            throw std::logic_error("unknown prefix in a field rule");
        std::string made = key(prefix, token.substr(colon + 1));
        auto found = by_name_.find(made);
        if (found != by_name_.end())
            return found->second;
        uint16_t id = static_cast<uint16_t>(names_.size());
        names_.emplace_back(token);
        by_name_.emplace(made, id);
        return id;
    }

    std::vector<uint16_t> alternatives(std::string_view tokens)
    {
        std::vector<uint16_t> ids;
        while (!tokens.empty()) {
            size_t bar = tokens.find('|');
            ids.push_back(element(tokens.substr(0, bar)));
            tokens = bar == std::string_view::npos ? std::string_view()
                                                   : tokens.substr(bar + 1);
        }
        return ids;
    }

    void compile(const Rule &rule)
    {
        CompiledRule compiled{
            rule.field, {}, rule.attribute ? rule.attribute : "", rule.group};
        std::string_view path(rule.path);
        while (!path.empty()) {
            size_t slash = path.find('/');
            std::string_view token = path.substr(0, slash);
            path = slash == std::string_view::npos ? std::string_view()
                                                   : path.substr(slash + 1);
            Step step;
            if (token == "**") {
                if (compiled.steps.size() != 1)
                    throw std::logic_error("** only after a rule's anchor");
                step.any_depth = true;
            } else if (token == "root")
                step.elements = root_;
            else if (token == "ident") {
                step.elements = data_;
                step.elements.insert(step.elements.end(), service_.begin(),
                                     service_.end());
            } else if (token == "text")
                step.elements = alternatives(text_elements);
            else
                step.elements = alternatives(token);
            compiled.steps.push_back(std::move(step));
        }
        uint16_t index = static_cast<uint16_t>(compiled_.size());
        compiled_.push_back(std::move(compiled));
        ending_at_.resize(names_.size());
        for (uint16_t id : compiled_.back().steps.back().elements)
            ending_at_[id].push_back(index);
    }
};

const Matcher &matcher()
{
    static const Matcher compiled;
    return compiled;
}

struct Open {
    uint16_t id;
    int64_t ordinal;
    // An ISO 19139 value element inserted for the text of an smXML
    // property (the element below it on the stack).
    bool inserted = false;
};

// Expanded names classified before, per thread: names repeat within and
// across documents.  Bounded, so that documents of made-up names cannot
// grow it without end; past the bound a name is classified every time.
class NameCache {
  public:
    uint16_t classify(const Matcher &matcher, const char *name)
    {
        std::string_view full(name);
        auto cached = ids_.find(full);
        if (cached != ids_.end())
            return cached->second;
        const uint16_t id = matcher.classify(full);
        // Long names are not kept: none of the rules' names is long, and a
        // document of long made-up names must not fill the cache.
        if (ids_.size() < capacity && full.size() <= longest_kept) {
            names_.emplace_back(full);
            ids_.emplace(names_.back(), id);
        }
        return id;
    }

  private:
    static constexpr size_t capacity = 4096;
    static constexpr size_t longest_kept = 256;
    std::deque<std::string> names_;  // the keys of ids_
    std::unordered_map<std::string_view, uint16_t> ids_;
};

NameCache &names()
{
    thread_local NameCache cache;
    return cache;
}

class Collector {
  public:
    // Collects the first record into records.back(), or with `every`
    // each record into an element of its own.
    Collector(const Matcher &matcher, Vector<Collected> &records, bool every)
        : matcher_(matcher), records_(records), out_(&records.back()),
          every_(every)
    {
    }

    // Whether an allocation failed: the pass then stops.
    bool out_of_memory() const { return out_of_memory_; }

    bool start(const char *name, const char **attributes)
    {
        try {
            return open(name, attributes);
        } catch (const std::bad_alloc &) {
            out_of_memory_ = true;
            throw;
        }
    }

    void end()
    {
        texts_.clear();
        if (open_.back().inserted)
            open_.pop_back();
        if (!idents_.empty() &&
            idents_.back() == static_cast<int64_t>(open_.size()) - 1)
            idents_.pop_back();
        if (root_at_ >= 0 &&
            static_cast<int64_t>(open_.size()) - 1 == root_at_) {
            root_at_ = -1;
            finished_ = !every_;
        }
        open_.pop_back();
    }

    void data(const char *text, int length)
    {
        try {
            for (size_t index : texts_)
                out_->captures[index].value.append(
                    text, static_cast<size_t>(length));
        } catch (const std::bad_alloc &) {
            out_of_memory_ = true;
            throw;
        }
    }

  private:
    const Matcher &matcher_;
    Vector<Collected> &records_;
    Collected *out_;  // the record being read
    bool every_;
    Vector<Open> open_;
    Vector<size_t> texts_;    // captures that take the character data
    Vector<int64_t> idents_;  // stack indexes of open identifications
    int64_t next_ordinal_ = 0;
    int64_t root_at_ = -1;  // stack index of the metadata record
    bool smxml_ = false;    // the record is an smXML one
    bool finished_ = false;
    bool out_of_memory_ = false;
    // Set by a successful match: the group, the identification.
    int64_t group_ = -1;
    int64_t ident_ = -1;
    bool service_ = false;

    bool open(const char *name, const char **attributes)
    {
        if (open_.empty())
            out_->root_name = name;
        // An smXML element before the record (the record's own, or one
        // around it): the record is an smXML one, whose properties carry
        // no namespace.
        if (!smxml_ && root_at_ < 0 && !finished_) {
            const std::string_view full(name);
            smxml_ = full.find('}') != std::string_view::npos &&
                     smxml::is_smxml_element(full);
        }
        uint16_t id;
        uint16_t value = unknown_element;
        const bool mapped = smxml_ && smxml::is_smxml_element(name);
        if (mapped) {
            const smxml::IsoNames iso = smxml::iso_names(name);
            id = matcher_.id_of(iso.element);
            if (iso.value[0])
                value = matcher_.id_of(iso.value);
        } else
            id = stand_in(names().classify(matcher_, name), attributes);
        const int64_t ordinal = next_ordinal_++;
        texts_.clear();
        if (root_at_ < 0 && !finished_ && matcher_.is_root(id)) {
            if (out_->standard != Standard::none) {
                // A record after the first (only when every one is read).
                records_.emplace_back();
                out_ = &records_.back();
            }
            root_at_ = static_cast<int64_t>(open_.size());
            out_->standard = mapped ? Standard::smxml
                             : matcher_.is_iso19115_3_root(id)
                                 ? Standard::iso19115_3
                                 : Standard::iso19139;
        }
        open_.push_back(Open{id, ordinal});
        if (root_at_ < 0)
            return false;
        if (id != unknown_element) {
            if (matcher_.is_data_identification(id) ||
                matcher_.is_service_identification(id)) {
                idents_.push_back(static_cast<int64_t>(open_.size()) - 1);
                out_->has_identification = true;
            }
            if (matcher_.is_data_identification(id))
                out_->has_data_identification = true;
            apply_rules(id, attributes, false);
        }
        if (value != unknown_element) {
            open_.push_back(Open{value, next_ordinal_++, true});
            apply_rules(value, nullptr, true);
        }
        return !texts_.empty();
    }

    // Captures what the rules that end at the element just opened (`id`)
    // take.  An inserted value element's rules all take its text: it holds
    // as text what an ISO 19139 element holds in an attribute (a role
    // code's value).
    void apply_rules(uint16_t id, const char **attributes, bool inserted)
    {
        const uint16_t parent =
            open_.size() >= 2 ? open_[open_.size() - 2].id : unknown_element;
        for (uint16_t index : matcher_.rules_ending_at(id)) {
            const CompiledRule &rule = matcher_.rule(index);
            // Most candidates fail on the parent: tested first, inline.
            const Step &before = rule.steps[rule.steps.size() - 2];
            if (!before.any_depth && !before.accepts(parent))
                continue;
            if (!matches(rule))
                continue;
            Capture capture{rule.field, group_, ident_, service_, {}};
            if (rule.attribute.empty() || inserted) {
                texts_.push_back(out_->captures.size());
                out_->captures.push_back(std::move(capture));
            } else if (const char *value = attribute(attributes, rule)) {
                capture.value = value;
                out_->captures.push_back(std::move(capture));
            }
        }
    }

    // An element of no known name read as the class it stands for: the
    // one its isoType names, or the one its parent property holds.
    uint16_t stand_in(uint16_t id, const char **attributes) const
    {
        if (id != unknown_element)
            return id;
        for (const char **at = attributes; at && *at; at += 2)
            if (std::strcmp(at[0], iso_type_attribute) == 0) {
                std::string_view type(at[1]);
                const size_t begin = type.find_first_not_of(" \t\r\n");
                const size_t end = type.find_last_not_of(" \t\r\n");
                if (begin != std::string_view::npos)
                    id = matcher_.id_of(type.substr(begin, end + 1 - begin));
                if (id != unknown_element)
                    return id;
            }
        return open_.empty() ? unknown_element
                             : matcher_.class_under(open_.back().id);
    }

    static const char *attribute(const char **attributes,
                                 const CompiledRule &rule)
    {
        for (const char **at = attributes; at && *at; at += 2)
            if (rule.attribute == at[0])
                return at[1];
        return nullptr;
    }

    // The stack index of the innermost open element that the rule's first
    // step accepts (the record, or an identification), or -1.
    int64_t anchor_position(const CompiledRule &rule) const
    {
        const Step &first = rule.steps.front();
        if (root_at_ >= 0 && first.accepts(open_[root_at_].id))
            return root_at_;
        for (auto it = idents_.rbegin(); it != idents_.rend(); ++it)
            if (first.accepts(open_[*it].id))
                return *it;
        return -1;
    }

    // Whether the open elements, from the metadata record down, end in
    // the rule's path; fills the group and identification.
    bool matches(const CompiledRule &rule)
    {
        const int64_t top = static_cast<int64_t>(open_.size()) - 1;
        return match_step(rule, static_cast<int>(rule.steps.size()) - 1, top);
    }

    bool match_step(const CompiledRule &rule, int step, int64_t at)
    {
        if (step < 0)
            return true;
        const Step &wanted = rule.steps[static_cast<size_t>(step)];
        if (wanted.any_depth) {
            // Any number of elements between the anchor (the step before,
            // always the first) and the rest: only the innermost open
            // anchor can start the path, so no search is needed, however
            // deep the document nests.
            int64_t anchor = anchor_position(rule);
            return anchor >= 0 && anchor <= at &&
                   match_step(rule, step - 1, anchor);
        }
        if (at < root_at_ || !wanted.accepts(open_[at].id))
            return false;
        if (step == 0 && at != root_at_ && matcher_.is_root(open_[at].id))
            return false;
        if (!match_step(rule, step - 1, at - 1))
            return false;
        if (step == rule.group)
            group_ = open_[at].ordinal;
        if (step == 0) {
            const uint16_t id = open_[at].id;
            const bool ident = matcher_.is_data_identification(id) ||
                               matcher_.is_service_identification(id);
            ident_ = ident ? open_[at].ordinal : -1;
            service_ = matcher_.is_service_identification(id);
        }
        return true;
    }
};

}  // namespace

namespace {

Outcome run(const expat::Library &library, const char *bytes,
            Py_ssize_t length, bool as_utf8, Vector<Collected> &records,
            bool every, std::string &error)
{
    const unsigned long failures = expat::failed_allocations();
    Collector collector(matcher(), records, every);
    expat::Pass<Collector> pass(library, collector);
    // Expat fails to make a parser only for want of memory.
    if (!pass.ready())
        return Outcome::no_memory;
    const expat::Outcome outcome = pass.run(bytes, length, as_utf8);
    if (collector.out_of_memory() || expat::failed_allocations() != failures)
        return Outcome::no_memory;
    switch (outcome) {
    case expat::Outcome::read:
        return Outcome::read;
    case expat::Outcome::refused:
        return Outcome::refused;
    case expat::Outcome::malformed:
        break;
    }
    if (pass.error_code() == expat::error_no_memory)
        return Outcome::no_memory;  // (counted above as well, as a rule)
    error = std::string(pass.error_text()) + " at line " +
            std::to_string(pass.error_line()) + ", column " +
            std::to_string(pass.error_column());
    return Outcome::malformed;
}

}  // namespace

Outcome collect(const expat::Library &library, const char *bytes,
                Py_ssize_t length, bool as_utf8, Collected &out,
                std::string &error)
{
    Vector<Collected> records;
    records.emplace_back();
    const Outcome outcome =
        run(library, bytes, length, as_utf8, records, false, error);
    out = std::move(records.front());
    return outcome;
}

Outcome collect_all(const expat::Library &library, const char *bytes,
                    Py_ssize_t length, bool as_utf8, Vector<Collected> &out,
                    std::string &error)
{
    out.clear();
    out.emplace_back();
    return run(library, bytes, length, as_utf8, out, true, error);
}

}  // namespace survey
}  // namespace bathyra
