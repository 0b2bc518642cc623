// The quoting of document text in messages (see problem_quotes.hpp).
#include "problem_quotes.hpp"

namespace bathyra {

namespace {

constexpr std::string_view ellipsis = "...";

bool is_continuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::string shortened(std::string_view text)
{
    if (text.size() <= quote_limit)
        return std::string(text);
    // The cut falls before a byte that starts a character: no sequence
    // of UTF-8 is split.
    std::size_t cut = quote_limit - ellipsis.size();
    while (cut > 0 && is_continuation(text[cut]))
        --cut;
    std::string out(text.substr(0, cut));
    out.append(ellipsis);
    return out;
}

std::string quoted(std::string_view text)
{
    return "\"" + shortened(text) + "\"";
}

}  // namespace bathyra
