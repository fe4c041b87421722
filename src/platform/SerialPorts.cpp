#include "platform/SerialPorts.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace th {

namespace {

// The readable part of what the system knows about a port: the product name of a USB
// device, else its maker.
std::string describe(const QSerialPortInfo& port) {
    QString description = port.description();
    if (description.isEmpty())
        description = port.manufacturer();
    return description.toStdString();
}

std::string userName() {
    const uid_t uid = geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

std::optional<std::string> groupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return std::string(found->gr_name);
    return std::nullopt;
}

// The fix for a refused device: membership of its group when the group may read and write
// it (dialout on Debian), otherwise a rule that gives the user's group access.
std::string accessFix(const std::filesystem::path& device, const std::string& ruleFix) {
    struct stat info {};
    const std::string user = userName();
    if (::stat(device.c_str(), &info) == 0) {
        const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        const std::optional<std::string> group = groupName(info.st_gid);
        if (groupMayUse && group && info.st_gid != 0)
            return "Добавьте пользователя в группу " + *group + " (sudo usermod -aG " + *group +
                   " " + user + "), затем выйдите из системы и войдите снова.";
    }
    if (!ruleFix.empty())
        return ruleFix;
    return "Дайте пользователю доступ к устройству правилом udev с GROUP=\"dialout\", "
           "MODE=\"0660\" и добавьте его в группу dialout (sudo usermod -aG dialout " +
           user + "), затем подключите кассу заново, выйдите из системы и войдите снова.";
}

}  // namespace

std::vector<SerialPortEntry> systemSerialPorts() {
    std::vector<SerialPortEntry> ports;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts())
        ports.push_back({port.systemLocation().toStdString(), describe(port)});
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.name < b.name; });
    return ports;
}

bool isDevicePath(const std::string& port) {
    return port.starts_with('/');
}

std::optional<std::string> deviceAccessProblem(const std::filesystem::path& device,
                                               const std::string& ruleFix) {
    // The effective ids decide what open() will allow, as the driver opens the device in
    // this process.
    if (::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0)
        return std::nullopt;
    const int error = errno;
    const std::string name = device.string();
    if (error == ENOENT || error == ENOTDIR)
        return "Порт " + name +
               " не найден: проверьте, что касса подключена и включена, и выберите порт из "
               "списка.";
    if (error == EACCES || error == EPERM || error == EROFS)
        return "Нет доступа к порту " + name + ": у пользователя " + userName() +
               " нет права чтения и записи устройства. " + accessFix(device, ruleFix);
    return "Порт " + name + " недоступен: " + std::generic_category().message(error);
}

std::vector<std::filesystem::path> unopenableDevices(const std::filesystem::path& dir,
                                                     const std::string& prefix) {
    std::vector<std::filesystem::path> refused;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        if (::faccessat(AT_FDCWD, entry.path().c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
            errno != ENOENT)
            refused.push_back(entry.path());
    }
    std::sort(refused.begin(), refused.end());
    return refused;
}

}  // namespace th
