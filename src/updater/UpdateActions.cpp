#include "updater/UpdateActions.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include "platform/Background.h"
#include "platform/DataDir.h"
#include "platform/Dialogs.h"
#include "updater/Updater.h"

namespace th {

std::string outdatedWarning(const std::string& newVersion) {
    return std::string(kOutdatedMessage) + newVersion + "\r\n" + kUpdateNowMessage;
}

std::string packageManagerNotice(const std::string& newVersion) {
    return std::string(kNoUpdaterMessage) + newVersion + kPackageManagerMessage;
}

namespace {

bool isExecutableFile(const std::filesystem::path& path) {
    const QFileInfo info(QString::fromStdString(path.string()));
    return info.isFile() && info.isExecutable();
}

}  // namespace

std::optional<std::filesystem::path> findUpdaterProgram(
    const std::filesystem::path& currentDir, const std::filesystem::path& executableDir) {
    for (const auto& directory : {currentDir, executableDir}) {
        const auto program = directory / kUpdaterProgram;
        if (isExecutableFile(program))
            return program;
    }
    return std::nullopt;
}

std::string updaterFailedNotice(const std::filesystem::path& program) {
    return kUpdaterFailedMessage + program.string();
}

UpdaterStart startUpdaterProgram(const std::filesystem::path& currentDir,
                                 const std::filesystem::path& executableDir) {
    const auto program = findUpdaterProgram(currentDir, executableDir);
    if (!program)
        return {};
    // startDetached reports an exec that failed (for an interpreter line naming a missing
    // program as much as for a file that is no program at all).
    const bool started = QProcess::startDetached(QString::fromStdString(program->string()), {},
                                                 QString::fromStdString(currentDir.string()));
    return {started ? UpdaterStart::Outcome::Started : UpdaterStart::Outcome::Failed, *program};
}

UpdaterStart startUpdaterProgram() {
    return startUpdaterProgram(QDir::currentPath().toStdString(), executableDirectory());
}

UpdateActions::UpdateActions(Updater& updater, IDialogs& dialogs, Hooks hooks)
    : updater_(updater), dialogs_(dialogs), hooks_(std::move(hooks)) {}

void UpdateActions::checkForUpdate(bool senderIsAction) {
    // Once a newer version is known the service is not asked again. The request runs off
    // the user-interface thread, which keeps the windows answering meanwhile.
    if (!hooks_.isUpdateEnabled()) {
        bool offered = false;
        waitInBackground([&] { offered = updater_.checkUpdate(); });
        if (offered)
            hooks_.enableUpdate();
    }
    if (hooks_.isUpdateEnabled()) {
        if (dialogs_.askYesCancel(BoxKind::Warning, outdatedWarning(updater_.offeredVersionText())))
            startUpdate();
    } else if (senderIsAction) {
        dialogs_.show(BoxKind::Information, kNoUpdatesMessage);
    }
}

std::optional<std::string> UpdateActions::checkAtStartup(IDialogs& failureDialogs) {
    if (!updater_.checkUpdate(failureDialogs))
        return std::nullopt;
    hooks_.enableUpdate();
    return kOutdatedMessage + updater_.offeredVersionText();
}

void UpdateActions::startUpdate() {
    const UpdaterStart start = hooks_.startUpdater();
    if (start.outcome == UpdaterStart::Outcome::NotFound) {
        dialogs_.show(BoxKind::Information, packageManagerNotice(updater_.offeredVersionText()));
        return;
    }
    if (start.outcome == UpdaterStart::Outcome::Failed) {
        dialogs_.show(BoxKind::Error, updaterFailedNotice(start.program));
        return;
    }
    updateStarted_ = true;
    hooks_.appClose();
}

}  // namespace th
