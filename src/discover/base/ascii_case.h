// Letter case in ASCII only, the same whatever locale the live view has set:
// the names compared this way (MACs, host names) are ASCII on the wire.
#pragma once

#include <algorithm>
#include <string_view>

namespace quorvellan::discover {

inline char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool ascii_equal_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

}  // namespace quorvellan::discover
