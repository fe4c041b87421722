#include "platform/ProblemLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>

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
    // Readable by its owner only, as the journal is: a new file after a rotation too.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;  // a line that cannot be written is lost; the report is shown all the same
    ::close(fd);
}

}  // namespace th
