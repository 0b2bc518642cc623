// The survey reader's pass over a document: one expat pass that applies
// the field rules (survey_rules.hpp) and keeps what they capture, in
// document order, with the group each capture belongs to.
//
// What the pass keeps of a document (the captures and their texts, the
// open elements) is allocated through the host allocator, with the
// interpreter lock held, and freed before the call returns; a failed
// allocation makes the outcome no_memory.  The compiled rules and the
// per-thread cache of element names outlive calls (a thread's end, the
// process's exit may free them without the lock) and use the default
// allocator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "expat_pass.hpp"
#include "survey_rules.hpp"

namespace bathyra {
namespace survey {

// A text of a document, in the host allocator.
using Text =
    std::basic_string<char, std::char_traits<char>, HostAllocator<char>>;

struct Capture {
    Field field;
    int64_t group;  // start index of the group element
    int64_t ident;  // start index of the identification, or -1
    bool service;   // the identification is a service identification
    Text value;
};

// smxml: the legacy smXML of BAG 1.0 to 1.4, read through the ISO 19139
// rules (smxml_names.hpp).
enum class Standard { none, iso19139, iso19115_3, smxml };

struct Collected {
    Vector<Capture> captures;
    Text root_name;  // the document's root element, "uri}local"
    Standard standard = Standard::none;
    // A data identification was read (a service identification's fields
    // are read only when there is none), whether or not it held fields.
    bool has_data_identification = false;
    // Any identification was read, data or service.
    bool has_identification = false;
};

enum class Outcome {
    read,       // the whole document, well-formed
    refused,    // a document type declaration, or an encoding that expat
                // does not know by itself: the XML library's turn
    malformed,  // a syntax error
    no_memory,  // an allocation failed, expat's or the pass's
};

// Reads `bytes` (a str's UTF-8 when `as_utf8`).  On a malformed outcome,
// `error` holds expat's reason with its line and column.
Outcome collect(const expat::Library &library, const char *bytes,
                Py_ssize_t length, bool as_utf8, Collected &out,
                std::string &error);

// The same for every metadata record of the document (a catalogue's
// response holds several, one after another): one Collected per record,
// in document order; one (standard none) when there is no record.
Outcome collect_all(const expat::Library &library, const char *bytes,
                    Py_ssize_t length, bool as_utf8, Vector<Collected> &out,
                    std::string &error);

}  // namespace survey
}  // namespace bathyra
