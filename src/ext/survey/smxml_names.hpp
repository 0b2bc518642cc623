// The legacy smXML metadata of BAG 1.0 to 1.4, read through the field
// rules of ISO 19139: each smXML element stands for the ISO 19139 element
// of the same role, so that one rule table serves both.
//
// smXML is the draft from which ISO 19139 grew: its class elements
// (smXML:CI_Citation) carry the namespace, its property elements (title,
// extent) carry none, and most names are the ISO ones.  A property that
// holds a value holds it as its own text, where ISO 19139 wraps it in a
// value element (gco:CharacterString, gco:Decimal, a code list element);
// the mapping names that value element too, so that the pass can stand it
// in.
#pragma once

#include <string>
#include <string_view>

namespace bathyra {
namespace survey {
namespace smxml {

// The namespace of smXML.
constexpr std::string_view namespace_name = "http://metadata.dgiwg.org/smXML";

// The ISO 19139 names that an smXML element stands for, as the field
// rules write them ("gmd:title"): the element, and the value element that
// its text stands in for (empty when it holds no value of its own).
struct IsoNames {
    std::string element;
    const char *value;
};

// Whether an element named `name` ("uri}local", or "local" without a
// namespace) is an element of an smXML document: in its namespace, or in
// none.
bool is_smxml_element(std::string_view name);

// The ISO names of the smXML element `name` (see is_smxml_element).
IsoNames iso_names(std::string_view name);

}  // namespace smxml
}  // namespace survey
}  // namespace bathyra
