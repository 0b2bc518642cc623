// The reading by hand of the texts that name a CRS: what bathyra_proj
// reads without PROJ, and, with it, the forms that PROJ's parser refuses
// (EPSG::5715, a bare code of a known code space, a reference inside a
// register's address, a WKT 1 VERT_CS without UNIT, ESRI's WKT).
#pragma once

#include <string>

#include "proj_lookup.hpp"

namespace bathyra {
namespace hand {

// ASCII white space (space, tab to carriage return).
bool is_space(char c);

// `text` without the white space around it.
std::string trimmed(const std::string &text);

// Reads `text` as a code: decimal digits, of which the leading zeros are
// dropped, with at least one other digit.  Sets `code` and returns true,
// or leaves it alone.
bool read_code(const std::string &text, std::string &code);

// Whether `text` holds "def:datum" (in any case): a datum's URN.
bool holds_datum_urn(const std::string &text);

// The WKT facts of `text` as its words give them (see read_wkt).
WktFacts read_wkt(const std::string &text);

}  // namespace hand
}  // namespace bathyra
