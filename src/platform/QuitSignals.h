#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace th {

// SIGTERM, SIGHUP and SIGINT (a session ending, a service manager, Ctrl+C) taken into Qt's
// event loop: the signal handler only writes the signal's number into a pipe, and the loop
// runs onQuit when it reads it, as it would run the user's "Выход". Without this the
// process would end on the spot, with a command's result or a register's answer in memory.
// One object per process, owned by the process entry; the handlers go with it.
class QuitSignals {
public:
    using Handler = std::function<void(int signal)>;

    explicit QuitSignals(Handler onQuit);
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    void setHandler(Handler onQuit) { onQuit_ = std::move(onQuit); }
    // False when the pipe could not be made: the signals then end the process as before.
    bool isInstalled() const { return notifier_ != nullptr; }

private:
    void readSignals();

    Handler onQuit_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace th
