// The survey reader's pass over a document: one expat pass that applies
// the field rules (survey_rules.hpp) and keeps what they capture, in
// document order, with the group each capture belongs to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "expat_pass.hpp"
#include "survey_rules.hpp"

namespace bathyra {
namespace survey {

struct Capture {
    Field field;
    int64_t group;  // start index of the group element
    int64_t ident;  // start index of the identification, or -1
    bool service;   // the identification is a service identification
    std::string value;
};

enum class Standard { none, iso19139, iso19115_3 };

struct Collected {
    std::vector<Capture> captures;
    std::string root_name;  // the document's root element, "uri}local"
    Standard standard = Standard::none;
    // A data identification was read (a service identification's fields
    // are read only when there is none), whether or not it held fields.
    bool has_data_identification = false;
};

// Reads `bytes` (a str's UTF-8 when `as_utf8`).  On a malformed outcome,
// `error` holds expat's reason with its line and column.
expat::Outcome collect(const expat::Library &library, const char *bytes,
                       Py_ssize_t length, bool as_utf8, Collected &out,
                       std::string &error);

}  // namespace survey
}  // namespace bathyra
