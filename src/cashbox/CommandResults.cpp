#include "cashbox/CommandResults.h"

namespace th {

void CommandResults::append(const Json& entry) {
    Json copy = copyJson(entry);
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(copy));
}

Json CommandResults::takeAll() {
    Json taken = Json::array();
    {
        std::lock_guard lock(mutex_);
        taken.swap(entries_);
    }
    return copyJson(taken);
}

void CommandResults::restoreFront(const Json& entries) {
    if (!entries.is_array() || entries.empty())
        return;
    Json restored = copyJson(entries);
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_)
        restored.push_back(std::move(entry));
    entries_ = std::move(restored);
}

Json CommandResults::snapshot() const {
    std::lock_guard lock(mutex_);
    return copyJson(entries_);
}

size_t CommandResults::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace th
