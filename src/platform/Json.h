#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace th {

// Member order matters to the service and the register: every JSON value keeps it.
using Json = nlohmann::ordered_json;

// Compact JSON text (no blanks), non-ASCII written as itself. Invalid UTF-8 in a string is
// replaced rather than raised, so a broken register answer can never abort a cycle.
std::string dumpCompact(const Json& value);

// The body format of the dispatcher API: compact, with \b \t \n \f \r \" \/ \\ escaped,
// other characters unchanged (other control characters as \u00XX, which JSON requires).
std::string dumpDispatcher(const Json& value);

// Parses text; nullopt when it is not JSON. Never throws. Nesting deeper than
// kMaxJsonDepth is refused as not JSON, so hostile input cannot exhaust the stack.
inline constexpr int kMaxJsonDepth = 512;
std::optional<Json> parseJson(std::string_view text, int maxDepth = kMaxJsonDepth);
// Whether brackets outside strings nest no deeper than maxDepth (found without recursion).
bool jsonNestingWithin(std::string_view text, int maxDepth);

// A stretch [begin, end) of a JSON text.
struct JsonSpan {
    size_t begin = 0;
    size_t end = 0;
    std::string_view in(std::string_view text) const { return text.substr(begin, end - begin); }
};

// What a look at a text's structure found, without building any value: whether it is one
// well-formed JSON value (strings closed, escapes and numbers in JSON's grammar, brackets,
// commas and colons in place) and where the value at a dotted path lies, with the spans of
// its elements when it is an array. The bytes inside strings, the size of numbers and the
// depth of nesting are not judged, and any depth is scanned without recursion: one bad
// element of a list can then be told apart from a text that is no JSON at all. When a name
// repeats in an object the last one counts, as it does for parseJson.
struct JsonScan {
    bool wellFormed = false;
    std::optional<JsonSpan> value;
    std::vector<JsonSpan> elements;
};
JsonScan scanJson(std::string_view text, std::string_view dottedPath);

// Copy by serialising and parsing again, as the system copies its values.
Json copyJson(const Json& value);

// The member at a dotted path such as "data.token"; nullptr when any step is missing or
// not an object.
const Json* findPath(const Json& root, std::string_view dottedPath);

// The text of a value: a string's characters or a number's decimal text; nullopt otherwise.
std::optional<std::string> valueText(const Json& value);
std::optional<std::string> textAt(const Json& root, std::string_view dottedPath);

// A JSON true or false at the path; nullopt when missing or of another type.
std::optional<bool> boolAt(const Json& root, std::string_view dottedPath);

}  // namespace th
