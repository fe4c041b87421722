#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

#include "cashbox/RegisterLink.h"

namespace th {

// The worker of one register set up on this workstation: a thread of its own that runs
// the register's link. The handle lives on the user-interface thread; reports and the
// outcomes of actions come back there, queued, and only while their receiver lives.
class RegisterWorker {
public:
    // Reports are handed to sink on the user-interface thread while receiver lives.
    using ReportSink = std::function<void(const WorkerReport&)>;
    using Action = std::function<void(RegisterLink&)>;
    using UserAction = std::function<void(RegisterLink&, ActionOutcome&)>;
    using Done = std::function<void(const ActionOutcome&)>;

    // A stopping worker may finish a running cycle or print this long.
    static constexpr int kStopTimeoutMs = 10000;

    RegisterWorker(const RegisterEnvironment& environment, const RegisterSetup& setup,
                   QObject& receiver, ReportSink sink);
    // Stops the worker and waits for it; one that does not end in time is left to end
    // with the process.
    ~RegisterWorker();
    RegisterWorker(const RegisterWorker&) = delete;
    RegisterWorker& operator=(const RegisterWorker&) = delete;

    // Starts the thread, which opens the link.
    void start();
    // Runs action on the worker's thread, after everything asked before it.
    void post(Action action);
    // Runs a user's action there; done gets its outcome on the user-interface thread,
    // unless context is gone by then.
    void postUserAction(UserAction action, QObject* context, Done done);

    // Asks the worker to close the link and end; returns at once.
    void requestStop();
    // Waits until the worker has ended or the deadline passes; true when it has ended.
    // After a timed-out wait the worker is not waited for again.
    bool waitStopped(QDeadlineTimer deadline);
    bool isRunning() const { return thread_->isRunning(); }

private:
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<RegisterLink> link_;
    bool stopRequested_ = false;
    // The wait for its end timed out once: the worker is left to end with the process.
    bool gaveUp_ = false;
};

}  // namespace th
