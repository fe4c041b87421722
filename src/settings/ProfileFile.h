#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Errors.h"

namespace th {

TH_DECLARE_ERROR(SettingsError, Error);

// An INI file read and written the way the Windows profile calls do it: every read and
// every write opens the file on its own; section and key names match without regard to
// case; values are trimmed of blanks and one pair of enclosing quotes and cut to 2047
// characters. A write replaces the whole file atomically (new file, then rename), touching
// nothing but the one key, so comments and foreign sections survive. A symbolic link is
// followed and the file it names replaced; a file this process may not both read and write
// is left as it is and the write fails.
class ProfileFile {
public:
    static constexpr size_t kMaxValue = 2047;

    explicit ProfileFile(std::filesystem::path path);

    std::string readString(const std::string& section, const std::string& key,
                           const std::string& fallback = "") const;
    // Whole number, decimal or 0x-hex, true when not 0; missing or not a number (also when
    // anything follows the digits): false.
    bool readBool(const std::string& section, const std::string& key) const;

    // Raises SettingsError "Unable to write to <path>" when the file cannot be replaced.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeBool(const std::string& section, const std::string& key, bool value);

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Comma text of a string list, as the settings keep the serial numbers.
std::string joinCommaText(const std::vector<std::string>& items);
std::vector<std::string> splitCommaText(const std::string& text);

// Interprets a profile value as a Boolean (see readBool).
bool parseProfileBool(const std::string& value);

}  // namespace th
