#pragma once

#include <functional>

namespace th {

// True on the thread that runs the Qt application (or when no application exists).
bool onUiThread();

// Runs fn on the user-interface thread and waits for it to finish. On the UI thread (or
// without an application) it runs at once. Exceptions thrown by fn reach the caller.
// The UI thread never waits for a worker in this program, so the wait cannot deadlock.
void runOnUiThread(const std::function<void()>& fn);

// Queues fn for the user-interface thread and returns at once.
void postToUiThread(std::function<void()> fn);

}  // namespace th
