#include "cashbox/RegisterWorker.h"

#include <QMetaObject>
#include <QPointer>

#include "platform/UiThread.h"

namespace th {

// ---- the handle, on the user-interface thread -----------------------------------------------

RegisterWorker::RegisterWorker(const RegisterEnvironment& environment, const RegisterSetup& setup,
                               QObject& receiver, ReportSink sink) {
    auto shared = std::make_shared<const ReportSink>(std::move(sink));
    QPointer<QObject> guard(&receiver);
    auto deliver = [guard, shared](const WorkerReport& report) {
        postToUiThread([guard, shared, report] {
            if (guard)
                (*shared)(report);
        });
    };
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QString::fromStdString("register " + setup.serial));
    link_ = std::make_unique<RegisterLink>(environment, setup, std::move(deliver));
    link_->moveToThread(thread_.get());
}

RegisterWorker::~RegisterWorker() {
    requestStop();
    if (!gaveUp_ && thread_->wait(QDeadlineTimer(kStopTimeoutMs)))
        return;
    // Still printing or waiting for the service: a document cut off is settled at the next
    // start. Destroying a running thread would end the process at once.
    (void)link_.release();
    (void)thread_.release();
}

void RegisterWorker::start() {
    thread_->start();
    post([](RegisterLink& link) { link.open(); });
}

void RegisterWorker::post(Action action) {
    RegisterLink* link = link_.get();
    QMetaObject::invokeMethod(
        link, [link, action = std::move(action)] { action(*link); }, Qt::QueuedConnection);
}

void RegisterWorker::postUserAction(UserAction action, QObject* context, Done done) {
    QPointer<QObject> guard(context);
    post([action = std::move(action), guard, done = std::move(done)](RegisterLink& link) {
        ActionOutcome outcome;
        link.runUserAction([&] { action(link, outcome); }, outcome);
        postToUiThread([guard, done, outcome] {
            if (guard && done)
                done(outcome);
        });
    });
}

void RegisterWorker::requestStop() {
    if (stopRequested_ || !thread_->isRunning())
        return;
    stopRequested_ = true;
    post([](RegisterLink& link) { link.close(); });
}

bool RegisterWorker::waitStopped(QDeadlineTimer deadline) {
    if (thread_->wait(deadline))
        return true;
    gaveUp_ = true;
    return false;
}

}  // namespace th
