#include "updater/Updater.h"

#include <charconv>
#include <vector>

#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "platform/Version.h"
#include "settings/AppSettings.h"

namespace th {

namespace {

std::vector<std::string> splitAtDots(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot - start));
        if (dot == std::string::npos)
            return parts;
        start = dot + 1;
    }
}

// A whole decimal integer (a leading "-" allowed) that fits 32 bits; nothing else, not even
// blanks.
bool parseVersionPart(const std::string& part, std::int32_t& value) {
    const char* first = part.data();
    const char* last = first + part.size();
    auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last;
}

std::int64_t versionKey(const VersionNumber& v) {
    return std::int64_t{v.Major} * 1000000 + std::int64_t{v.Minor} * 10000 +
           std::int64_t{v.Release} * 100 + std::int64_t{v.Build};
}

}  // namespace

VersionNumber StrToVersion(const std::string& text) {
    const auto parts = splitAtDots(text);
    std::int32_t numbers[4] = {};
    if (parts.size() < 4)
        throw VersionError(kBadVersionMessage + ("\"" + text + "\""));
    for (int i = 0; i < 4; ++i) {
        if (!parseVersionPart(parts[i], numbers[i]))
            throw VersionError(kBadVersionMessage + ("\"" + text + "\""));
    }
    return VersionNumber{numbers[0], numbers[1], numbers[2], numbers[3]};
}

std::string VersionToStr(const VersionNumber& v) {
    return std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." +
           std::to_string(v.Release) + "." + std::to_string(v.Build);
}

int CompareVersions(const VersionNumber& a, const VersionNumber& b) {
    const auto keyA = versionKey(a);
    const auto keyB = versionKey(b);
    if (keyB > keyA)
        return 1;
    return keyB == keyA ? 0 : -1;
}

Updater::Updater(AppSettings& settings, IDialogs& dialogs)
    : settings_(settings), dialogs_(dialogs) {
    version_ = ReadCurrentVersion();
}

bool Updater::CheckUpdate() {
    return CheckUpdate(dialogs_);
}

bool Updater::CheckUpdate(IDialogs& failureDialogs) {
    if (settings_.KeepVersion())
        return false;
    VersionNumber offered;
    {
        // A client of its own, without a log sink: the check never reaches the request log.
        DispatcherClient client(failureDialogs);
        client.setSettings(&settings_);
        const Json& answer = client.executeDelay(kCommandSwVersion, swversionRequest());
        const auto text = newVersion(answer);
        if (!text)
            throw UpdateCheckError(kNoNewVersionMessage);
        offered = StrToVersion(*text);
    }
    if (CompareVersions(version_, offered) != 1)
        return false;
    newVersion_ = offered;
    return true;
}

std::string Updater::FileVersion() const {
    return kProgramVersion;
}
std::string Updater::FileDescription() const {
    return kProgramDescription;
}
std::string Updater::ProductVersion() const {
    return kProgramVersion;
}
std::string Updater::LegalCopyright() const {
    return {};
}
std::string Updater::DateOfRelease() const {
    return {};
}
std::string Updater::FileNameVersion(const std::string&) const {
    return {};
}

VersionNumber Updater::setVersion(const std::string& version) {
    version_ = StrToVersion(version);
    return version_;
}

}  // namespace th
