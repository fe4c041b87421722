#include "platform/Json.h"

namespace th {

std::string dumpCompact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

void appendEscaped(std::string& out, const std::string& text) {
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '/':
                out += "\\/";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20) {
                    static const char* hex = "0123456789abcdef";
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void appendDispatcher(std::string& out, const Json& value) {
    switch (value.type()) {
        case Json::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first)
                    out.push_back(',');
                first = false;
                appendEscaped(out, it.key());
                out.push_back(':');
                appendDispatcher(out, it.value());
            }
            out.push_back('}');
            break;
        }
        case Json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& item : value) {
                if (!first)
                    out.push_back(',');
                first = false;
                appendDispatcher(out, item);
            }
            out.push_back(']');
            break;
        }
        case Json::value_t::string:
            appendEscaped(out, value.get_ref<const std::string&>());
            break;
        default:
            out += dumpCompact(value);
    }
}

// Rejects nesting beyond the limit before the recursive parser sees the text.
bool nestingWithinLimit(std::string_view text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth)
                return false;
        } else if (c == ']' || c == '}')
            --depth;
    }
    return true;
}

}  // namespace

std::string dumpDispatcher(const Json& value) {
    std::string out;
    appendDispatcher(out, value);
    return out;
}

std::optional<Json> parseJson(std::string_view text) {
    if (!nestingWithinLimit(text)) {
        return std::nullopt;
    }
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

Json copyJson(const Json& value) {
    auto copy = parseJson(dumpCompact(value));
    return copy ? *copy : Json();
}

const Json* findPath(const Json& root, std::string_view dottedPath) {
    const Json* node = &root;
    size_t start = 0;
    while (true) {
        size_t dot = dottedPath.find('.', start);
        std::string_view name = dottedPath.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (!node->is_object())
            return nullptr;
        auto it = node->find(std::string(name));
        if (it == node->end())
            return nullptr;
        node = &*it;
        if (dot == std::string_view::npos)
            return node;
        start = dot + 1;
    }
}

std::optional<std::string> valueText(const Json& value) {
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_number())
        return dumpCompact(value);
    return std::nullopt;
}

std::optional<std::string> textAt(const Json& root, std::string_view dottedPath) {
    const Json* node = findPath(root, dottedPath);
    return node ? valueText(*node) : std::nullopt;
}

std::optional<bool> boolAt(const Json& root, std::string_view dottedPath) {
    const Json* node = findPath(root, dottedPath);
    if (node && node->is_boolean())
        return node->get<bool>();
    return std::nullopt;
}

}  // namespace th
