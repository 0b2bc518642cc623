// The six namespace pairs of XML_NS, in the table's order: made into
// XML_NS at import, registered with the XML library at every call, and
// what the streaming reader checks the table and the library's registry
// against.
#pragma once

#include "string_constants.hpp"

namespace bathyra {

struct NamespacePair {
    Str prefix;
    Str uri;
};

constexpr NamespacePair namespace_pairs[] = {
    {Str::gmi, Str::ns_gmi}, {Str::gmd, Str::ns_gmd},
    {Str::xsi, Str::ns_xsi}, {Str::gml, Str::ns_gml},
    {Str::gco, Str::ns_gco}, {Str::xlink, Str::ns_xlink},
};

constexpr int namespace_pair_count =
    sizeof namespace_pairs / sizeof namespace_pairs[0];

}  // namespace bathyra
