#include "cashbox/CommandResults.h"

#include "cashbox/TaskJournal.h"

namespace th {

CommandResults::CommandResults() = default;

CommandResults::~CommandResults() = default;

void CommandResults::keepIn(const std::filesystem::path& journalPath) {
    std::lock_guard lock(mutex_);
    journalPath_ = journalPath;
    journal_ = std::make_unique<TaskJournal>();
    TaskJournal* journal = usableJournal();
    if (!journal)
        return;
    std::vector<Entry> restored;
    try {
        for (const auto& stored : journal->storedCommandResults()) {
            // A row that is no JSON any more cannot be reported; it leaves with the next
            // delivery rather than stay for ever.
            std::optional<Json> value = parseJson(stored.entry);
            if (value)
                restored.push_back({std::move(*value), stored.key});
            else
                delivered_.push_back(stored.key);
        }
    } catch (const std::exception&) {
        return;
    }
    for (Entry& entry : entries_)
        restored.push_back(std::move(entry));
    entries_ = std::move(restored);
    writeUnsaved();
}

// Opened again at each use while it fails, as a register's own journal is.
TaskJournal* CommandResults::usableJournal() {
    if (!journal_)
        return nullptr;
    if (!journal_->isOpen()) {
        try {
            journal_->openJournal(journalPath_);
        } catch (const std::exception&) {
            return nullptr;
        }
    }
    return journal_.get();
}

// A failure leaves the entries in memory: the registers report the journal's trouble.
void CommandResults::writeUnsaved() {
    TaskJournal* journal = usableJournal();
    if (!journal)
        return;
    try {
        for (Entry& entry : entries_)
            if (!entry.key)
                entry.key = journal->saveCommandResult(dumpCompact(entry.value));
    } catch (const std::exception&) {
    }
}

void CommandResults::removeDelivered() {
    TaskJournal* journal = usableJournal();
    if (!journal || delivered_.empty())
        return;
    try {
        journal->removeCommandResults(delivered_);
        delivered_.clear();
    } catch (const std::exception&) {
    }
}

void CommandResults::append(const Json& entry) {
    Json copy = copyJson(entry);
    std::lock_guard lock(mutex_);
    entries_.push_back({std::move(copy), std::nullopt});
    writeUnsaved();
}

CommandResults::Batch CommandResults::take() {
    std::vector<Entry> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(entries_);
    }
    Batch batch;
    for (Entry& entry : taken) {
        batch.entries.push_back(copyJson(entry.value));
        batch.keys.push_back(entry.key);
    }
    return batch;
}

void CommandResults::delivered(const Batch& batch) {
    std::lock_guard lock(mutex_);
    for (const auto& key : batch.keys)
        if (key)
            delivered_.push_back(*key);
    removeDelivered();
}

void CommandResults::restoreFront(const Batch& batch) {
    if (!batch.entries.is_array() || batch.entries.empty())
        return;
    std::vector<Entry> restored;
    for (size_t n = 0; n < batch.entries.size(); ++n)
        restored.push_back(
            {copyJson(batch.entries[n]), n < batch.keys.size() ? batch.keys[n] : std::nullopt});
    std::lock_guard lock(mutex_);
    for (Entry& entry : entries_)
        restored.push_back(std::move(entry));
    entries_ = std::move(restored);
    writeUnsaved();
}

Json CommandResults::snapshot() const {
    std::lock_guard lock(mutex_);
    Json copy = Json::array();
    for (const Entry& entry : entries_)
        copy.push_back(copyJson(entry.value));
    return copy;
}

size_t CommandResults::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace th
