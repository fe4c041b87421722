#include "dispatcher/RequestLog.h"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <utility>

namespace th {

namespace {

// Receives serialised JSON, keeps the first `keep` bytes and counts all of them.
class BoundedText : public nlohmann::detail::output_adapter_protocol<char> {
public:
    BoundedText(std::string& kept, size_t keep) : kept_(kept), keep_(keep) {}

    void write_character(char c) override { write_characters(&c, 1); }
    void write_characters(const char* text, std::size_t length) override {
        total_ += length;
        if (kept_.size() < keep_)
            kept_.append(text, std::min(length, keep_ - kept_.size()));
    }
    size_t total() const { return total_; }

private:
    std::string& kept_;
    size_t keep_;
    size_t total_ = 0;
};

// The number of bytes of a UTF-8 sequence by its first byte (1 for anything else).
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

// Drops a character that the cut split at the end of text.
void dropSplitCharacter(std::string& text) {
    size_t start = text.size();
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0)
        return;
    const size_t lead = start - 1;
    if (sequenceLength(static_cast<unsigned char>(text[lead])) > text.size() - lead)
        text.resize(lead);
}

// Where secrets sit in a logged value: members of these names at this level, members to
// look into, and what to look for in each element of an array.
struct SecretPlaces {
    std::initializer_list<const char*> names;
    std::initializer_list<std::pair<const char*, const SecretPlaces*>> members;
    const SecretPlaces* elements = nullptr;
};

// Each register's token in the elements of the "getsalepoints" answer.
const SecretPlaces kSalePointSecrets{{"token"}, {}, nullptr};
// The account's token in the "authorize" answer; the sale points' tokens.
const SecretPlaces kAnswerDataSecrets{{"token"}, {}, &kSalePointSecrets};
// The password of "authorize" and the register's token of "tasks"; the answers' data.
const SecretPlaces kLineSecrets{{"password", "Token"}, {{"data", &kAnswerDataSecrets}}, nullptr};

bool isSecretName(const SecretPlaces& places, const std::string& name) {
    for (const char* secret : places.names)
        if (name == secret)
            return true;
    return false;
}

const SecretPlaces* placesInside(const SecretPlaces& places, const std::string& name) {
    for (const auto& [member, inside] : places.members)
        if (name == member)
            return inside;
    return nullptr;
}

bool holdsSecret(const Json& value, const SecretPlaces& places) {
    if (value.is_object()) {
        for (const auto& [name, member] : value.items()) {
            if (isSecretName(places, name))
                return true;
            const SecretPlaces* inside = placesInside(places, name);
            if (inside && holdsSecret(member, *inside))
                return true;
        }
    } else if (value.is_array() && places.elements) {
        for (const Json& element : value)
            if (holdsSecret(element, *places.elements))
                return true;
    }
    return false;
}

// The first four characters of the secret's text and "…": enough to tell two apart, too
// little to use one. A secret of four characters or fewer shows none of them.
Json maskedSecret(const Json& secret) {
    const std::string text = secret.is_string() ? secret.get<std::string>() : dumpCompact(secret);
    size_t end = 0;
    int characters = 0;
    while (end < text.size() && characters < 4) {
        end += sequenceLength(static_cast<unsigned char>(text[end]));
        ++characters;
    }
    if (end >= text.size())
        return "…";
    return text.substr(0, end) + "…";
}

using Serializer = nlohmann::detail::serializer<Json>;

// Writes value as dumpCompact does, with each secret masked.
void dumpMasked(Serializer& serializer, BoundedText& sink, const Json& value,
                const SecretPlaces& places) {
    if (!holdsSecret(value, places)) {
        serializer.dump(value, false, false, 0);
        return;
    }
    if (value.is_array()) {
        sink.write_character('[');
        bool first = true;
        for (const Json& element : value) {
            if (!first)
                sink.write_character(',');
            first = false;
            dumpMasked(serializer, sink, element, *places.elements);
        }
        sink.write_character(']');
        return;
    }
    sink.write_character('{');
    bool first = true;
    for (const auto& [name, member] : value.items()) {
        if (!first)
            sink.write_character(',');
        first = false;
        serializer.dump(Json(name), false, false, 0);
        sink.write_character(':');
        const SecretPlaces* inside = placesInside(places, name);
        if (isSecretName(places, name))
            serializer.dump(maskedSecret(member), false, false, 0);
        else if (inside)
            dumpMasked(serializer, sink, member, *inside);
        else
            serializer.dump(member, false, false, 0);
    }
    sink.write_character('}');
}

}  // namespace

std::string requestLogLine(const std::string& command, const Json& data, size_t maxBytes) {
    std::string line = command + " ";
    const size_t prefixBytes = line.size();
    // Serialised like dumpCompact, into a sink that stops keeping text at the limit.
    auto sink = std::make_shared<BoundedText>(line, maxBytes + 1);
    Serializer serializer(sink, ' ', Json::error_handler_t::replace);
    dumpMasked(serializer, *sink, data, kLineSecrets);
    const size_t total = prefixBytes + sink->total();
    if (total <= maxBytes)
        return line;
    line.resize(std::min(line.size(), maxBytes));
    dropSplitCharacter(line);
    return line + " … (обрезано, всего " + std::to_string(total) + " байт)";
}

}  // namespace th
