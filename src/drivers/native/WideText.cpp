#include "drivers/native/WideText.h"

#include <QString>

namespace th {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isCodePoint(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::wstring utf8ToWide(std::string_view text) {
    static_assert(sizeof(wchar_t) == 4, "the vendor's wide strings are UTF-32 here");
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toStdWString();
}

// Written out here rather than through QString, which turns a value that is no code point
// into question marks instead of the replacement character.
std::string wideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        auto c = static_cast<char32_t>(w);
        appendUtf8(out, isCodePoint(c) ? c : kReplacement);
    }
    return out;
}

}  // namespace th
