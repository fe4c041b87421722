#include "platform/Json.h"

#include <cctype>

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

}  // namespace

// Rejects nesting beyond the limit before the recursive parser sees the text.
bool jsonNestingWithin(std::string_view text, int maxDepth) {
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
            if (++depth > maxDepth)
                return false;
        } else if (c == ']' || c == '}')
            --depth;
    }
    return true;
}

std::string dumpDispatcher(const Json& value) {
    std::string out;
    appendDispatcher(out, value);
    return out;
}

std::optional<Json> parseJson(std::string_view text, int maxDepth) {
    if (!jsonNestingWithin(text, maxDepth)) {
        return std::nullopt;
    }
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

namespace {

// Reads one JSON text token by token with an explicit stack, following one dotted path.
class StructureScanner {
public:
    StructureScanner(std::string_view text, std::string_view dottedPath) : text_(text) {
        size_t start = 0;
        while (true) {
            const size_t dot = dottedPath.find('.', start);
            path_.push_back(dottedPath.substr(
                start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
            if (dot == std::string_view::npos)
                break;
            start = dot + 1;
        }
    }

    JsonScan scan() {
        skipByteOrderMark();
        result_.wellFormed = scanValues() && (skipBlanks(), at_ == text_.size());
        if (!result_.wellFormed) {
            result_.value.reset();
            result_.elements.clear();
        }
        return std::move(result_);
    }

private:
    // An open object or array; `matched` counts the path's names that lead to it (-1: off
    // the path), `start` is where it began.
    struct Frame {
        bool object = false;
        int matched = -1;
        size_t start = 0;
        bool target = false;         // the value at the path
        bool targetElement = false;  // an element of the value at the path
        bool empty = true;           // nothing read inside it yet
    };

    // The whole text: values inside containers, in order, until the outermost closes.
    bool scanValues() {
        int nextMatched = path_.empty() ? -1 : 0;
        bool nextTarget = false;
        while (true) {
            skipBlanks();
            if (at_ >= text_.size())
                return false;
            const size_t start = at_;
            const bool element = !stack_.empty() && stack_.back().target && !stack_.back().object;
            const char c = text_[at_];
            if (c == '{' || c == '[') {
                ++at_;
                stack_.push_back(Frame{c == '{', nextMatched, start, nextTarget, element, true});
                if (nextTarget)
                    result_.elements.clear();
            } else {
                if (!scalar())
                    return false;
                if (nextTarget)
                    result_.value = JsonSpan{start, at_};
                if (element)
                    result_.elements.push_back({start, at_});
            }
            nextMatched = -1;
            nextTarget = false;
            // Closes what ends here and finds where the next value goes.
            while (true) {
                if (stack_.empty())
                    return true;
                skipBlanks();
                if (at_ >= text_.size())
                    return false;
                Frame& frame = stack_.back();
                if (text_[at_] == (frame.object ? '}' : ']')) {
                    closeFrame();
                    continue;
                }
                if (!frame.empty) {
                    if (text_[at_] != ',')
                        return false;
                    ++at_;
                    skipBlanks();
                }
                frame.empty = false;
                if (frame.object && !readKey(frame, nextMatched, nextTarget))
                    return false;
                break;
            }
        }
    }

    void closeFrame() {
        const Frame frame = stack_.back();
        ++at_;
        stack_.pop_back();
        if (frame.target)
            result_.value = JsonSpan{frame.start, at_};
        if (frame.targetElement)
            result_.elements.push_back({frame.start, at_});
    }

    // "key": in an object; tells whether the value after it is on the path.
    bool readKey(Frame& frame, int& nextMatched, bool& nextTarget) {
        if (at_ >= text_.size() || text_[at_] != '"')
            return false;
        const size_t start = at_;
        if (!string())
            return false;
        const std::string_view key = text_.substr(start, at_ - start);
        skipBlanks();
        if (at_ >= text_.size() || text_[at_] != ':')
            return false;
        ++at_;
        if (frame.matched >= 0 && frame.matched < static_cast<int>(path_.size()) &&
            keyIs(key, path_[frame.matched])) {
            nextMatched = frame.matched + 1;
            nextTarget = nextMatched == static_cast<int>(path_.size());
            // A repeated name replaces what the earlier one held.
            result_.value.reset();
            result_.elements.clear();
        }
        return true;
    }

    static bool keyIs(std::string_view token, std::string_view name) {
        const std::string_view raw = token.substr(1, token.size() - 2);
        if (raw.find('\\') == std::string_view::npos)
            return raw == name;
        const std::optional<Json> decoded = parseJson(token);
        return decoded && decoded->is_string() && decoded->get_ref<const std::string&>() == name;
    }

    bool scalar() {
        const char c = text_[at_];
        if (c == '"')
            return string();
        if (c == '-' || (c >= '0' && c <= '9'))
            return number();
        return literal("true") || literal("false") || literal("null");
    }

    bool string() {
        ++at_;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"')
                return true;
            if (c != '\\')
                continue;
            if (at_ >= text_.size())
                return false;
            const char escape = text_[at_++];
            if (escape == 'u') {
                for (int n = 0; n < 4; ++n, ++at_)
                    if (at_ >= text_.size() ||
                        !std::isxdigit(static_cast<unsigned char>(text_[at_])))
                        return false;
            } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }

    bool digits() {
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        return at_ > start;
    }

    bool number() {
        if (text_[at_] == '-')
            ++at_;
        if (at_ < text_.size() && text_[at_] == '0')
            ++at_;
        else if (!digits())
            return false;
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!digits())
                return false;
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-'))
                ++at_;
            if (!digits())
                return false;
        }
        return true;
    }

    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    void skipBlanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    void skipByteOrderMark() {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF")
            at_ = 3;
    }

    std::string_view text_;
    std::vector<std::string_view> path_;
    std::vector<Frame> stack_;
    size_t at_ = 0;
    JsonScan result_;
};

}  // namespace

JsonScan scanJson(std::string_view text, std::string_view dottedPath) {
    return StructureScanner(text, dottedPath).scan();
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
