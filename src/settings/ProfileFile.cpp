#include "settings/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>

namespace th {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimBlanks(const std::string& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && (isBlank(s[end - 1]) || s[end - 1] == '\r'))
        --end;
    return s.substr(begin, end - begin);
}

bool sameName(const std::string& a, const std::string& b) {
    return QString::compare(QString::fromUtf8(a), QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
}

// Cuts UTF-8 text to at most `limit` characters without splitting a character.
std::string cutToCharacters(const std::string& s, size_t limit) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == limit)
                return s.substr(0, i);
            ++chars;
        }
    }
    return s;
}

std::string unquote(const std::string& s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
        return s.substr(1, s.size() - 2);
    }
    return s;
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    if (!lines.empty() && lines.front().rfind("\xEF\xBB\xBF", 0) == 0) {
        lines.front().erase(0, 3);  // a UTF-8 byte-order mark left by an editor
    }
    return lines;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string> sectionOf(const std::string& line) {
    std::string t = trimBlanks(line);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return trimBlanks(t.substr(1, close - 1));
}

struct KeyLine {
    std::string key;
    std::string value;
};

std::optional<KeyLine> keyOf(const std::string& line) {
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    std::string key = trimBlanks(line.substr(0, eq));
    if (key.empty() || key.front() == ';')
        return std::nullopt;
    return KeyLine{key, line.substr(eq + 1)};
}

// Index of the first line of the first section named `section`, or npos.
size_t findSection(const std::vector<std::string>& lines, const std::string& section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        auto name = sectionOf(lines[i]);
        if (name && sameName(*name, section))
            return i;
    }
    return std::string::npos;
}

// A value must stay on its line: line breaks would let text forge other keys.
std::string oneLine(const std::string& value) {
    std::string out = value;
    for (char& c : out) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return out;
}

// A value that reading would change (blanks at either end, or one pair of enclosing
// quotation marks, as a serial list whose first and last entries are quoted has) goes out
// inside one more pair of quotation marks, which reading takes off again: a saved value
// reads back as it was.
std::string storedValue(const std::string& value) {
    const std::string line = oneLine(value);
    if (line.empty())
        return line;
    const bool blankAtAnEnd = isBlank(line.front()) || isBlank(line.back());
    if (blankAtAnEnd || unquote(line) != line)
        return "\"" + line + "\"";
    return line;
}

// A link is followed to the file it names, so that a save replaces that file and the link
// stays. A link that names itself or a longer cycle ends after this many steps; the access
// check then refuses it.
constexpr int kMaxLinkSteps = 40;

std::filesystem::path followLinks(std::filesystem::path path) {
    for (int step = 0; step < kMaxLinkSteps; ++step) {
        std::error_code error;
        if (!std::filesystem::is_symlink(path, error))
            return path;
        std::filesystem::path target = std::filesystem::read_symlink(path, error);
        if (error)
            return path;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

// A file that exists but that this process may not read and write (by its own effective
// ids, as the permission bits and root's privileges decide) is not replaced: a rename needs
// only a writable folder, and would overwrite a file the user made read-only, or replace
// one it cannot read with a file holding a single key.
bool mayReplace(const std::filesystem::path& target) {
    if (::faccessat(AT_FDCWD, target.c_str(), R_OK | W_OK, AT_EACCESS) == 0)
        return true;
    return errno == ENOENT;
}

void writeWhole(const std::filesystem::path& target, const std::string& content,
                const std::string& failure) {
    std::string tmp = target.string() + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        throw SettingsError(failure);
    struct stat existing {};
    mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0600;
    ::fchmod(fd, mode);
    const char* data = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw SettingsError(failure);
    }
}

}  // namespace

ProfileFile::ProfileFile(std::filesystem::path path) : path_(std::move(path)) {}

std::string ProfileFile::readString(const std::string& section, const std::string& key,
                                    const std::string& fallback) const {
    auto lines = readLines(path_);
    size_t start = findSection(lines, section);
    if (start == std::string::npos)
        return fallback;
    for (size_t i = start + 1; i < lines.size() && !sectionOf(lines[i]); ++i) {
        auto kv = keyOf(lines[i]);
        if (kv && sameName(kv->key, key)) {
            return cutToCharacters(unquote(trimBlanks(kv->value)), kMaxValue);
        }
    }
    return fallback;
}

bool ProfileFile::readBool(const std::string& section, const std::string& key) const {
    return parseProfileBool(readString(section, key));
}

void ProfileFile::writeString(const std::string& section, const std::string& key,
                              const std::string& value) {
    const std::string failure = "Unable to write to " + path_.string();
    const std::filesystem::path target = followLinks(path_);
    if (!mayReplace(target))
        throw SettingsError(failure);
    auto lines = readLines(target);
    const std::string entry = key + "=" + storedValue(value);
    size_t start = findSection(lines, section);
    if (start == std::string::npos) {
        if (!lines.empty() && !trimBlanks(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + oneLine(section) + "]");
        lines.push_back(entry);
    } else {
        size_t lastContent = start;
        bool replaced = false;
        for (size_t i = start + 1; i < lines.size() && !sectionOf(lines[i]); ++i) {
            auto kv = keyOf(lines[i]);
            if (kv && sameName(kv->key, key)) {
                lines[i] = entry;
                replaced = true;
                break;
            }
            if (!trimBlanks(lines[i]).empty())
                lastContent = i;
        }
        if (!replaced)
            lines.insert(lines.begin() + static_cast<long>(lastContent + 1), entry);
    }
    std::ostringstream out;
    for (const auto& line : lines)
        out << line << "\n";
    writeWhole(target, out.str(), failure);
}

void ProfileFile::writeBool(const std::string& section, const std::string& key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

bool parseProfileBool(const std::string& value) {
    size_t i = 0;
    if (i < value.size() && (value[i] == '-' || value[i] == '+'))
        ++i;
    int base = 10;
    if (value.size() >= i + 2 && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == value.size())
        return false;
    // The whole value must be the number: "1abc", "1.0" or "2 3" is not one, so it is off.
    bool nonZero = false;
    for (; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        const bool digit = base == 10 ? std::isdigit(c) : std::isxdigit(c);
        if (!digit)
            return false;
        nonZero = nonZero || c != '0';
    }
    return nonZero;
}

std::string joinCommaText(const std::vector<std::string>& items) {
    if (items.size() == 1 && items.front().empty())
        return "\"\"";
    std::string out;
    for (size_t n = 0; n < items.size(); ++n) {
        const std::string& item = items[n];
        if (n > 0)
            out += ",";
        bool quote = item.empty();
        for (unsigned char c : item) {
            if (c <= ' ' || c == ',' || c == '"')
                quote = true;
        }
        if (!quote) {
            out += item;
            continue;
        }
        out += '"';
        for (char c : item) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

std::vector<std::string> splitCommaText(const std::string& fullText) {
    // The text ends at a NUL character, as the profile calls see it.
    const std::string text = fullText.substr(0, fullText.find('\0'));
    std::vector<std::string> items;
    auto isSpace = [](unsigned char c) { return c >= 1 && c <= ' '; };
    size_t p = 0;
    const size_t n = text.size();
    while (p < n && isSpace(text[p]))
        ++p;
    while (p < n) {
        std::string item;
        if (text[p] == '"') {
            ++p;
            while (p < n) {
                if (text[p] == '"') {
                    if (p + 1 < n && text[p + 1] == '"') {
                        item += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += text[p++];
            }
        } else {
            size_t begin = p;
            while (p<n&& static_cast<unsigned char>(text[p])> ' ' && text[p] != ',')
                ++p;
            item = text.substr(begin, p - begin);
        }
        items.push_back(item);
        while (p < n && isSpace(text[p]))
            ++p;
        if (p < n && text[p] == ',') {
            if (p + 1 == n)
                items.emplace_back();
            do {
                ++p;
            } while (p < n && isSpace(text[p]));
        }
    }
    return items;
}

}  // namespace th
