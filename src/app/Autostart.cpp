#include "app/Autostart.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace th {

namespace {

// An Exec argument in double quotes, with the characters the desktop reads as special
// escaped, whenever it holds one that would otherwise split it or be expanded.
std::string execArgument(const std::string& text) {
    if (text.find_first_of(" \t\n\"'\\><~|&;$*?#()`=%") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += "\\\\";  // the value's own escape, then the quoting's
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

AutostartEntry::AutostartEntry(std::filesystem::path directory, std::string program)
    : directory_(std::move(directory)), program_(std::move(program)) {}

std::filesystem::path AutostartEntry::sessionDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/')
        return std::filesystem::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "") / ".config" / "autostart";
}

bool AutostartEntry::exists() const {
    std::error_code ec;
    return std::filesystem::is_regular_file(file(), ec);
}

std::string AutostartEntry::entryText(const std::string& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Version=1.4\n"
           "Name=tillhaven\n"
           "Name[ru]=Кассовый клиент tillhaven\n"
           "Comment=Starts the tillhaven cash register client at login; it waits in the tray\n"
           "Comment[ru]=Запускает кассовый клиент tillhaven при входе в систему; он ждёт в "
           "трее\n"
           "Exec=" +
           execArgument(program) + " " + kHiddenOption +
           "\n"
           "Icon=tillhaven\n"
           "Terminal=false\n"
           "StartupNotify=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void AutostartEntry::write() const {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    const std::filesystem::path temporary = file().string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << entryText(program_);
        if (!out.flush())
            throw AutostartError("Unable to write to " + temporary.string());
    }
    std::filesystem::rename(temporary, file(), ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        throw AutostartError("Unable to write to " + file().string());
    }
}

void AutostartEntry::remove() const {
    std::error_code ec;
    std::filesystem::remove(file(), ec);
    if (ec)
        throw AutostartError("Unable to remove " + file().string());
}

}  // namespace th
