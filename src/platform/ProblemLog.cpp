#include "platform/ProblemLog.h"

#include <QDateTime>

#include <cstdio>
#include <system_error>

namespace th {

namespace {

std::string timestamp() {
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString();
}

// One report is one line: a text that spans lines is joined.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

}  // namespace

ProblemLog::ProblemLog(std::filesystem::path file, std::uintmax_t rotateAt)
    : file_(std::move(file)), rotateAt_(rotateAt) {}

bool ProblemLog::report(const std::string& serial, const std::string& text) {
    const std::string where = serial.empty() ? "-" : serial;
    appendLine(timestamp() + "  " + where + "  " + oneLine(text) + "\n");
    return notified_[serial].insert(text).second;
}

void ProblemLog::note(const std::string& serial, const std::string& text) {
    appendLine(timestamp() + "  " + (serial.empty() ? "-" : serial) + "  " + oneLine(text) + "\n");
}

void ProblemLog::registerRecovered(const std::string& serial) {
    notified_.erase(serial);
}

// A log that cannot be written must not stop anything: the report is still shown.
void ProblemLog::appendLine(const std::string& line) {
    std::lock_guard lock(fileMutex_);
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file_, ec);
    if (!ec && size + line.size() > rotateAt_) {
        std::filesystem::path older = file_;
        older += ".1";
        std::filesystem::rename(file_, older, ec);
    }
    if (FILE* out = std::fopen(file_.c_str(), "a")) {
        std::fwrite(line.data(), 1, line.size(), out);
        std::fclose(out);
    }
}

}  // namespace th
