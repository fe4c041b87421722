#include "platform/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace th {

namespace {

constexpr std::array<int, 3> kQuitSignals = {SIGTERM, SIGHUP, SIGINT};

// The write end of the pipe, for the async-signal-safe handler; -1 while no object is there.
std::atomic<int> signalPipe{-1};

void onSignal(int signal) {
    const int savedErrno = errno;
    const int fd = signalPipe.load();
    if (fd >= 0) {
        const unsigned char number = static_cast<unsigned char>(signal);
        // A full pipe already holds a quit request: one more changes nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = savedErrno;
}

void setAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Calls of the registers' threads (the journal, the service) go on where they were.
    action.sa_flags = SA_RESTART;
    for (int signal : kQuitSignals)
        ::sigaction(signal, &action, nullptr);
}

}  // namespace

QuitSignals::QuitSignals(Handler onQuit) : onQuit_(std::move(onQuit)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    signalPipe.store(pipe_[1]);
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { readSignals(); });
    setAction(onSignal);
}

QuitSignals::~QuitSignals() {
    if (pipe_[0] < 0)
        return;
    setAction(SIG_DFL);
    signalPipe.store(-1);
    notifier_.reset();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void QuitSignals::readSignals() {
    unsigned char number = 0;
    int last = 0;
    while (::read(pipe_[0], &number, 1) == 1)
        last = number;
    if (last != 0 && onQuit_)
        onQuit_(last);
}

}  // namespace th
