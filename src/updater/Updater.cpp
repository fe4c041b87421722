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
    return std::int64_t{v.major} * 1000000 + std::int64_t{v.minor} * 10000 +
           std::int64_t{v.release} * 100 + std::int64_t{v.build};
}

}  // namespace

VersionNumber parseVersion(const std::string& text) {
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

std::string versionText(const VersionNumber& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
           std::to_string(v.release) + "." + std::to_string(v.build);
}

int compareVersions(const VersionNumber& a, const VersionNumber& b) {
    const auto keyA = versionKey(a);
    const auto keyB = versionKey(b);
    if (keyB > keyA)
        return 1;
    return keyB == keyA ? 0 : -1;
}

Updater::Updater(AppSettings& settings, IDialogs& dialogs)
    : settings_(settings), dialogs_(dialogs) {
    version_ = readCurrentVersion();
}

bool Updater::checkUpdate() {
    return checkUpdate(dialogs_);
}

bool Updater::checkUpdate(IDialogs& failureDialogs) {
    if (settings_.keepVersion())
        return false;
    VersionNumber offered;
    {
        // A client of its own, without a log sink: the check never reaches the request log.
        DispatcherClient client(failureDialogs);
        client.setSettings(&settings_);
        client.setAbortFlag(abortFlag_);
        const Json& answer = client.executeDelay(kCommandSwVersion, swversionRequest());
        const auto text = newVersion(answer);
        if (!text)
            throw UpdateCheckError(kNoNewVersionMessage);
        offered = parseVersion(*text);
    }
    if (compareVersions(version_, offered) != 1)
        return false;
    offeredVersion_ = offered;
    return true;
}

std::string Updater::fileVersion() const {
    return kProgramVersion;
}
std::string Updater::fileDescription() const {
    return kProgramDescription;
}
std::string Updater::productVersion() const {
    return kProgramVersion;
}
std::string Updater::legalCopyright() const {
    return {};
}
std::string Updater::dateOfRelease() const {
    return {};
}
std::string Updater::fileNameVersion(const std::string&) const {
    return {};
}

VersionNumber Updater::setVersion(const std::string& version) {
    version_ = parseVersion(version);
    return version_;
}

}  // namespace th
