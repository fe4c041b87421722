#pragma once

#include <QObject>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>

namespace th {

// Runs work on a thread of its own while the calling thread's event loop goes on, without
// the user's input: the windows repaint and answer the window manager's ping, but no click
// starts anything meanwhile. Returns when work has ended and raises what work raised. Off
// the user-interface thread (or without an application) work simply runs.
void waitInBackground(const std::function<void()>& work);

// Work that the user-interface thread does not wait for (requests to the service). Each task
// runs on a thread of the owner's pool; its continuation comes back as an event of context,
// with the error the work raised, if any. Once stopped, continuations are dropped; stopping
// raises the abort flag the work may watch and waits for the running tasks to end.
class BackgroundTasks {
public:
    using Done = std::function<void(std::exception_ptr failure)>;

    explicit BackgroundTasks(QObject& context);
    ~BackgroundTasks();
    BackgroundTasks(const BackgroundTasks&) = delete;
    BackgroundTasks& operator=(const BackgroundTasks&) = delete;

    void run(std::function<void()> work, Done done);
    // True while a task has not come back yet.
    bool busy() const { return running_ > 0; }
    void stop();
    // Raised by stop: a request in flight may end early.
    const std::atomic<bool>& abortFlag() const { return *stopped_; }

private:
    QObject& context_;
    QThreadPool pool_;
    std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
    int running_ = 0;
};

// The waits between attempts of a step that failed for the moment: 5 s, doubling up to
// 5 minutes.
class RetrySchedule {
public:
    static constexpr int kFirstDelaySeconds = 5;
    static constexpr int kLongestDelaySeconds = 300;

    // The wait before the next attempt; each call doubles the one after it.
    int nextDelaySeconds() {
        const int delay = next_;
        next_ = std::min(next_ * 2, kLongestDelaySeconds);
        return delay;
    }
    void reset() { next_ = kFirstDelaySeconds; }

private:
    int next_ = kFirstDelaySeconds;
};

}  // namespace th
