#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace th {

class IDialogs;
class Updater;

inline constexpr const char* kNoUpdatesMessage = "Обновлений не найдено";
inline constexpr const char* kOutdatedMessage =
    "Версия программы устарела. Некоторые функции могут перестать работать. Необходимо "
    "обновление до версии ";
inline constexpr const char* kUpdateNowMessage = "Нажмите ДА чтобы обновить сейчас";
inline constexpr const char* kNoUpdaterMessage =
    "Программа обновления не найдена. Обновление до версии ";
inline constexpr const char* kPackageManagerMessage =
    " устанавливается через менеджер пакетов системы";
inline constexpr const char* kUpdaterFailedMessage = "Не удалось запустить программу обновления ";
// The separate updater program.
inline constexpr const char* kUpdaterProgram = "upd";

// The warning that offers the update to newVersion.
std::string outdatedWarning(const std::string& newVersion);
// The notice that newVersion comes through the system's package manager, as it does for an
// installed package, which has no updater program of its own.
std::string packageManagerNotice(const std::string& newVersion);

// The updater program to start: an executable file "upd" in currentDir, else one in
// executableDir; none when neither holds one.
std::optional<std::filesystem::path> findUpdaterProgram(const std::filesystem::path& currentDir,
                                                        const std::filesystem::path& executableDir);
// What became of an attempt to start the updater program.
struct UpdaterStart {
    enum class Outcome { Started, NotFound, Failed };
    Outcome outcome = Outcome::NotFound;
    std::filesystem::path program;  // the program found, also when it failed to start

    bool started() const { return outcome == Outcome::Started; }
};

// The notice that the updater program was found but would not start (a broken interpreter
// line, a missing library, a file the system cannot run).
std::string updaterFailedNotice(const std::filesystem::path& program);

// Starts the updater program findUpdaterProgram finds, detached, without parameters, in
// currentDir: an executable file that the system could not run counts as failed, not as
// started.
UpdaterStart startUpdaterProgram(const std::filesystem::path& currentDir,
                                 const std::filesystem::path& executableDir);
// The same for the process's current directory and the running executable's directory.
UpdaterStart startUpdaterProgram();

// The main window's actions "Проверить обновления" and "Обновить". The window keeps the
// action "Обновить" and hands its state in through the hooks.
class UpdateActions {
public:
    struct Hooks {
        std::function<bool()> isUpdateEnabled;  // updateAction's enabled state
        std::function<void()> enableUpdate;     // enables updateAction
        std::function<void()> appClose;         // runs "Выход"
        // Starts the updater program.
        std::function<UpdaterStart()> startUpdater = [] { return startUpdaterProgram(); };
    };

    UpdateActions(Updater& updater, IDialogs& dialogs, Hooks hooks);

    // senderIsAction: the user chose "Проверить обновления" (false for the start-up check,
    // which stays silent when there is no update). Errors of the check reach the caller.
    void checkForUpdate(bool senderIsAction);
    // The check at start-up, which nobody may be there to answer: a newer version enables
    // "Обновить" and its offer is returned, to be shown without a question (the question
    // comes when the user chooses "Проверить обновления"); nullopt without one. The
    // request's failures go to failureDialogs; other errors reach the caller.
    std::optional<std::string> checkAtStartup(IDialogs& failureDialogs);
    // Starts the updater program, then "Выход". Without an updater program, or with one that
    // would not start, the client keeps running (the registers must go on fiscalising) and
    // says where the update comes from, or which program failed.
    void startUpdate();
    // True once "Обновить" started the updater: a start-up check that did so must not go on.
    bool updateStarted() const { return updateStarted_; }

private:
    Updater& updater_;
    IDialogs& dialogs_;
    Hooks hooks_;
    bool updateStarted_ = false;
};

}  // namespace th
