#include "platform/Dialogs.h"

#include <algorithm>

namespace th {

const char* boxKindName(BoxKind kind) {
    switch (kind) {
        case BoxKind::Plain:
            return "plain";
        case BoxKind::Information:
            return "information";
        case BoxKind::Warning:
            return "warning";
        case BoxKind::Error:
            return "error";
    }
    return "?";
}

void RecordingDialogs::show(BoxKind kind, const std::string& text) {
    std::lock_guard lock(mutex_);
    boxes_.push_back({kind, text, false});
}

bool RecordingDialogs::askYesCancel(BoxKind kind, const std::string& text) {
    std::lock_guard lock(mutex_);
    boxes_.push_back({kind, text, true});
    if (answers_.empty()) {
        return false;
    }
    bool answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void RecordingDialogs::scriptAnswer(bool yes) {
    std::lock_guard lock(mutex_);
    answers_.push_back(yes);
}

std::vector<RecordingDialogs::Box> RecordingDialogs::boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::vector<std::string> RecordingDialogs::texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& b : boxes_)
        out.push_back(b.text);
    return out;
}

bool RecordingDialogs::contains(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return std::any_of(boxes_.begin(), boxes_.end(), [&](const Box& b) { return b.text == text; });
}

size_t RecordingDialogs::count() const {
    std::lock_guard lock(mutex_);
    return boxes_.size();
}

void RecordingDialogs::clear() {
    std::lock_guard lock(mutex_);
    boxes_.clear();
    answers_.clear();
}

}  // namespace th
