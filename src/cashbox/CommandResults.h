#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Json.h"

namespace th {

class TaskJournal;

// The results of commands run on any register and not yet delivered to the service: one list
// for the whole process, created once and handed to every cashbox window by reference. The
// next "tasks" request of any window carries the whole list.
//
// Kept in the journal (keepIn): an entry is written when its command has run and removed
// when a request that carried it succeeded, whichever register's it was; a start restores
// what an earlier run left. The command ran on the register, so its result must reach the
// service even when the program ends before the next request. While the journal cannot be
// used the entries wait in memory and are written once it can.
class CommandResults {
public:
    // What one request carries: the entries, oldest first, and their journal keys.
    struct Batch {
        Json entries = Json::array();
        std::vector<std::optional<std::int64_t>> keys;
    };

    CommandResults();
    ~CommandResults();
    CommandResults(const CommandResults&) = delete;
    CommandResults& operator=(const CommandResults&) = delete;

    // Keeps the list in the journal file at path (its own connection) and restores the entries
    // an earlier run left there, ahead of any appended before. Never raises.
    void keepIn(const std::filesystem::path& journalPath);

    void append(const Json& entry);
    // A deep copy of every waiting entry, oldest first; the list is empty afterwards.
    Batch take();
    // The request that carried the batch succeeded: its entries leave the journal.
    void delivered(const Batch& batch);
    // Puts entries taken for a request the service never saw back in front of any entry
    // appended since, so they leave with the next request in their original order.
    void restoreFront(const Batch& batch);
    Json snapshot() const;
    size_t size() const;

private:
    struct Entry {
        Json value;
        std::optional<std::int64_t> key;  // none while not written
    };

    TaskJournal* usableJournal();
    void writeUnsaved();
    void removeDelivered();

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::filesystem::path journalPath_;
    std::unique_ptr<TaskJournal> journal_;
    // Keys of delivered entries whose removal failed; removed at the next chance.
    std::vector<std::int64_t> delivered_;
};

}  // namespace th
