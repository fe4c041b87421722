#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Errors.h"

namespace th {

class IDialogs;
class AppSettings;

// A version text that is not four dot-separated integers.
TH_DECLARE_ERROR(VersionError, Error);
// The service's answer to "swversion" names no version.
TH_DECLARE_ERROR(UpdateCheckError, Error);

inline constexpr const char* kBadVersionMessage = "Некорректный номер версии: ";
inline constexpr const char* kNoNewVersionMessage = "Сервис не сообщил доступную версию программы";

// major.minor.release.build.
struct VersionNumber {
    std::int32_t major = 0;
    std::int32_t minor = 0;
    std::int32_t release = 0;
    std::int32_t build = 0;
    bool operator==(const VersionNumber&) const = default;
};

// Splits at every "."; the first four parts must be integers, parts after the fourth are
// ignored. Raises VersionError otherwise.
VersionNumber parseVersion(const std::string& text);
// "1.0.1.0": the four numbers in decimal, Major first.
std::string versionText(const VersionNumber& version);
// 1 when b is newer than a, 0 when equal, -1 when b is older, by the weighted key
// Major*1000000 + Minor*10000 + Release*100 + Build (so 1.0.0.100 equals 1.0.1.0).
int compareVersions(const VersionNumber& a, const VersionNumber& b);

// Knows the running program's version and asks the service whether a newer one is offered.
class Updater {
public:
    // The version comes from the build (FileVersion). dialogs shows the failure box of the
    // check's request; both objects live for the process.
    Updater(AppSettings& settings, IDialogs& dialogs);

    // True when the service offers a version newer than version(); it is then kept as
    // offeredVersion(). With KeepVersion set nothing is sent. Raises the request's errors,
    // UpdateCheckError for an answer without "data.new_version" and VersionError for one
    // that does not parse; offeredVersion() is unchanged then.
    bool checkUpdate();
    // The same, with the request's failure box going to the given dialogs (the start-up
    // check reports it instead of waiting for a click).
    bool checkUpdate(IDialogs& failureDialogs);

    // The check's request ends early once the flag is raised (the program ends).
    void setAbortFlag(const std::atomic<bool>* flag) { abortFlag_ = flag; }

    const VersionNumber& version() const { return version_; }
    const VersionNumber& offeredVersion() const { return offeredVersion_; }
    std::string currentVersionText() const { return versionText(version_); }
    std::string offeredVersionText() const { return versionText(offeredVersion_); }

    // Entries of the program's own version information, compiled into the build; empty
    // where the build carries none.
    std::string fileVersion() const;
    std::string fileDescription() const;
    std::string productVersion() const;
    std::string legalCopyright() const;
    std::string dateOfRelease() const;
    // The FileVersion of another file: executables carry no version block on this
    // platform, so the text is always empty.
    std::string fileNameVersion(const std::string& filename) const;

    VersionNumber setVersion(const std::string& version);

private:
    VersionNumber readCurrentVersion() const { return parseVersion(fileVersion()); }

    VersionNumber version_;
    VersionNumber offeredVersion_;
    AppSettings& settings_;
    IDialogs& dialogs_;
    const std::atomic<bool>* abortFlag_ = nullptr;
};

}  // namespace th
