#include "cashbox/CommandResults.h"

namespace th {

void TCommandResults::append(const Json& entry) {
    Json copy = copyJson(entry);
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(copy));
}

Json TCommandResults::takeAll() {
    Json taken = Json::array();
    {
        std::lock_guard lock(mutex_);
        taken.swap(entries_);
    }
    return copyJson(taken);
}

void TCommandResults::restoreFront(const Json& entries) {
    if (!entries.is_array() || entries.empty())
        return;
    Json restored = copyJson(entries);
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_)
        restored.push_back(std::move(entry));
    entries_ = std::move(restored);
}

Json TCommandResults::snapshot() const {
    std::lock_guard lock(mutex_);
    return copyJson(entries_);
}

size_t TCommandResults::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace th
