#pragma once

#include <cctype>
#include <cstddef>
#include <string>

namespace th::test {

// A parameterised case's name for ctest and gtest: its number, then the text it is about
// with every character that may not stand in a test name written as '_' ("3_0x1g",
// "10_empty"). The number keeps names unique where two texts differ only in punctuation.
inline std::string caseName(std::size_t index, const std::string& text) {
    std::string name = std::to_string(index) + "_";
    if (text.empty())
        return name + "empty";
    for (char c : text)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

}  // namespace th::test
