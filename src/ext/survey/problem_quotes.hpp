// How the survey reader's messages quote the document.  A text of any
// length is cut to a few dozen bytes, on a UTF-8 character boundary, so
// that a message stays short whatever the document holds: every problem
// and every document error that quotes document text (names, codes,
// datums, dates, numbers, namespaces) quotes it through these two.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bathyra {

// The longest text quoted whole, in bytes; a longer one is cut.
constexpr std::size_t quote_limit = 60;

// `text` itself when it is at most quote_limit bytes long; else its first
// bytes up to a character boundary, and "...", quote_limit bytes at most.
std::string shortened(std::string_view text);

// shortened(text) in double quotes.
std::string quoted(std::string_view text);

}  // namespace bathyra
