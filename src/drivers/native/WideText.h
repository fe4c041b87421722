#pragma once

#include <string>
#include <string_view>

namespace th {

// The vendor's library speaks wchar_t (UTF-32 on Linux); the rest of the program speaks
// UTF-8. Malformed input on either side becomes U+FFFD rather than an error, as the JSON
// layer treats a register's broken text.
std::wstring utf8ToWide(std::string_view text);
std::string wideToUtf8(std::wstring_view text);

}  // namespace th
