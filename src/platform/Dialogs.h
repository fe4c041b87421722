#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace th {

enum class BoxKind { Plain, Information, Warning, Error };

// The one way every part of the program shows a message box. The real service shows
// modal Qt boxes on the user-interface thread (also when called from a worker); tests use
// RecordingDialogs. Implementations must be callable from any thread.
class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A modal box with one OK button.
    virtual void show(BoxKind kind, const std::string& text) = 0;
    // A modal box with the buttons Yes and Cancel; true when the user chose Yes.
    virtual bool askYesCancel(BoxKind kind, const std::string& text) = 0;
};

const char* boxKindName(BoxKind kind);

// Records every box; answers Yes/Cancel questions from a script (Cancel when empty).
class RecordingDialogs : public IDialogs {
public:
    struct Box {
        BoxKind kind;
        std::string text;
        bool question = false;
    };

    void show(BoxKind kind, const std::string& text) override;
    bool askYesCancel(BoxKind kind, const std::string& text) override;

    void scriptAnswer(bool yes);
    std::vector<Box> boxes() const;
    std::vector<std::string> texts() const;
    bool contains(const std::string& text) const;
    size_t count() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Box> boxes_;
    std::deque<bool> answers_;
};

// For work the program does on its own (a register's exchange, a reconnection): what would
// have been a box becomes a report, and nothing waits for a click. A question is answered
// Cancel, the choice that changes nothing.
class ReportingDialogs : public IDialogs {
public:
    using Report = std::function<void(const std::string& text)>;
    explicit ReportingDialogs(Report report) : report_(std::move(report)) {}

    void show(BoxKind, const std::string& text) override { report_(text); }
    bool askYesCancel(BoxKind, const std::string& text) override {
        report_(text);
        return false;
    }

private:
    Report report_;
};

}  // namespace th
