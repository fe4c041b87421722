#include "platform/Background.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <thread>

#include "platform/UiThread.h"

namespace th {

void waitInBackground(const std::function<void()>& work) {
    if (QCoreApplication::instance() == nullptr || !onUiThread()) {
        work();
        return;
    }
    std::exception_ptr failure;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued: a quit posted before the loop runs still ends it.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

BackgroundTasks::BackgroundTasks(QObject& context) : context_(context) {
    // The start's steps, the update check and an action of the user may all be waiting.
    pool_.setMaxThreadCount(4);
}

BackgroundTasks::~BackgroundTasks() {
    stop();
}

void BackgroundTasks::run(std::function<void()> work, Done done) {
    if (*stopped_)
        return;
    ++running_;
    QObject* context = &context_;
    std::shared_ptr<std::atomic<bool>> stopped = stopped_;
    pool_.start([this, context, stopped, work = std::move(work), done = std::move(done)] {
        std::exception_ptr failure;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // The context outlives the pool, which is waited for before the context goes.
        QMetaObject::invokeMethod(
            context,
            [this, stopped, done, failure] {
                if (*stopped)
                    return;
                --running_;
                done(failure);
            },
            Qt::QueuedConnection);
    });
}

void BackgroundTasks::stop() {
    *stopped_ = true;
    pool_.waitForDone();
}

}  // namespace th
