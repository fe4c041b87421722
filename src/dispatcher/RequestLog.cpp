#include "dispatcher/RequestLog.h"

#include <algorithm>
#include <memory>

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

}  // namespace

std::string requestLogLine(const std::string& command, const Json& data, size_t maxBytes) {
    std::string line = command + " ";
    const size_t prefixBytes = line.size();
    // Serialised like dumpCompact, into a sink that stops keeping text at the limit.
    auto sink = std::make_shared<BoundedText>(line, maxBytes + 1);
    nlohmann::detail::serializer<Json> serializer(sink, ' ', Json::error_handler_t::replace);
    serializer.dump(data, false, false, 0);
    const size_t total = prefixBytes + sink->total();
    if (total <= maxBytes)
        return line;
    line.resize(std::min(line.size(), maxBytes));
    dropSplitCharacter(line);
    return line + " … (обрезано, всего " + std::to_string(total) + " байт)";
}

}  // namespace th
