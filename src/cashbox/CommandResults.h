#pragma once

#include <mutex>

#include "platform/Json.h"

namespace th {

// The results of commands run on any register and not yet sent to the service: one list
// for the whole process, created empty once and handed to every cashbox window by reference.
// The next "tasks" request of any window carries the whole list.
class CommandResults {
public:
    CommandResults() = default;
    CommandResults(const CommandResults&) = delete;
    CommandResults& operator=(const CommandResults&) = delete;

    void append(const Json& entry);
    // A deep copy of every waiting entry, oldest first; the list is empty afterwards.
    Json takeAll();
    // Puts entries taken for a request the service never saw back in front of any entry
    // appended since, so they leave with the next request in their original order.
    void restoreFront(const Json& entries);
    Json snapshot() const;
    size_t size() const;

private:
    mutable std::mutex mutex_;
    Json entries_ = Json::array();
};

}  // namespace th
