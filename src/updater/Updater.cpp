#include "updater/Updater.h"

#include <charconv>
#include <vector>

#include "dispatcher/Messages.h"
#include "dispatcher/RestClient.h"
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

std::int64_t versionKey(const TVersion& v) {
    return std::int64_t{v.Major} * 1000000 + std::int64_t{v.Minor} * 10000 +
           std::int64_t{v.Release} * 100 + std::int64_t{v.Build};
}

}  // namespace

TVersion StrToVersion(const std::string& text) {
    const auto parts = splitAtDots(text);
    std::int32_t numbers[4] = {};
    if (parts.size() < 4)
        throw VersionError(kBadVersionMessage + ("\"" + text + "\""));
    for (int i = 0; i < 4; ++i) {
        if (!parseVersionPart(parts[i], numbers[i]))
            throw VersionError(kBadVersionMessage + ("\"" + text + "\""));
    }
    return TVersion{numbers[0], numbers[1], numbers[2], numbers[3]};
}

std::string VersionToStr(const TVersion& v) {
    return std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." +
           std::to_string(v.Release) + "." + std::to_string(v.Build);
}

int CompareVersions(const TVersion& a, const TVersion& b) {
    const auto keyA = versionKey(a);
    const auto keyB = versionKey(b);
    if (keyB > keyA)
        return 1;
    return keyB == keyA ? 0 : -1;
}

TUpdater::TUpdater(TAppSettings& settings, IDialogs& dialogs)
    : FSettings(settings), dialogs_(dialogs) {
    FVersion = ReadCurrentVersion();
}

bool TUpdater::CheckUpdate() {
    return CheckUpdate(dialogs_);
}

bool TUpdater::CheckUpdate(IDialogs& failureDialogs) {
    if (FSettings.KeepVersion())
        return false;
    TVersion offered;
    {
        // A client of its own, without a log sink: the check never reaches the request log.
        TTHVRESTClient client(failureDialogs);
        client.setSettings(&FSettings);
        const Json& answer = client.executeDelay(kCommandSwVersion, swversionRequest());
        const auto text = newVersion(answer);
        if (!text)
            throw UpdateCheckError(kNoNewVersionMessage);
        offered = StrToVersion(*text);
    }
    if (CompareVersions(FVersion, offered) != 1)
        return false;
    FNewVersion = offered;
    return true;
}

std::string TUpdater::FileVersion() const {
    return kProgramVersion;
}
std::string TUpdater::FileDescription() const {
    return kProgramDescription;
}
std::string TUpdater::ProductVersion() const {
    return kProgramVersion;
}
std::string TUpdater::LegalCopyright() const {
    return {};
}
std::string TUpdater::DateOfRelease() const {
    return {};
}
std::string TUpdater::FileNameVersion(const std::string&) const {
    return {};
}

TVersion TUpdater::setVersion(const std::string& version) {
    FVersion = StrToVersion(version);
    return FVersion;
}

}  // namespace th
