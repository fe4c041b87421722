#pragma once

#include <functional>
#include <string>

namespace th {

class IDialogs;
class TUpdater;

inline constexpr const char* kNoUpdatesMessage = "Обновлений не найдено";
inline constexpr const char* kOutdatedMessage =
    "Версия программы устарела. Некоторые функции могут перестать работать. Необходимо "
    "обновление до версии ";
inline constexpr const char* kUpdateNowMessage = "Нажмите ДА чтобы обновить сейчас";
// The separate updater program, started from the current directory.
inline constexpr const char* kUpdaterProgram = "upd";

// The warning that offers the update to newVersion.
std::string outdatedWarning(const std::string& newVersion);

// Starts ./upd from the current directory, detached and without parameters. Whether it
// started is not checked: the program ends either way.
void startUpdaterProgram();

// The main window's actions "Проверить обновления" and "Обновить". The window keeps the
// action "Обновить" and hands its state in through the hooks.
class UpdateActions {
public:
    struct Hooks {
        std::function<bool()> isUpdateEnabled;  // ActionUpdate's enabled state
        std::function<void()> enableUpdate;     // enables ActionUpdate
        std::function<void()> appClose;         // runs "Выход"
        std::function<void()> startUpdater = startUpdaterProgram;
    };

    UpdateActions(TUpdater& updater, IDialogs& dialogs, Hooks hooks);

    // senderIsAction: the user chose "Проверить обновления" (false for the start-up check,
    // which stays silent when there is no update). Errors of the check reach the caller.
    void ActionCheckUpdateExecute(bool senderIsAction);
    // Starts the updater program, then "Выход".
    void ActionUpdateExecute();
    // True once "Обновить" has run: a start-up check that ran it must not go on.
    bool updateStarted() const { return updateStarted_; }

private:
    TUpdater& updater_;
    IDialogs& dialogs_;
    Hooks hooks_;
    bool updateStarted_ = false;
};

}  // namespace th
