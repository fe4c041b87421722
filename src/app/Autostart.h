#pragma once

#include <filesystem>
#include <string>

#include "platform/Errors.h"

namespace th {

// The autostart entry could not be written or removed.
TH_DECLARE_ERROR(AutostartError, Error);

// The desktop's autostart entry of the program ($XDG_CONFIG_HOME/autostart, by default
// ~/.config/autostart): the session starts the program at login with --hidden, so it waits
// in the tray.
class AutostartEntry {
public:
    static constexpr const char* kFileName = "tillhaven.desktop";
    static constexpr const char* kHiddenOption = "--hidden";

    // The entry in directory, starting program.
    AutostartEntry(std::filesystem::path directory, std::string program);
    // The session's autostart directory for the running user.
    static std::filesystem::path sessionDirectory();

    std::filesystem::path file() const { return directory_ / kFileName; }
    bool exists() const;
    // Raise AutostartError when the file cannot be written or removed.
    void write() const;
    void remove() const;
    // The text of the entry for program.
    static std::string entryText(const std::string& program);

private:
    std::filesystem::path directory_;
    std::string program_;
};

}  // namespace th
