#include "updater/UpdateActions.h"

#include <QDir>
#include <QProcess>

#include "platform/Dialogs.h"
#include "updater/Updater.h"

namespace th {

std::string outdatedWarning(const std::string& newVersion) {
    return std::string(kOutdatedMessage) + newVersion + "\r\n" + kUpdateNowMessage;
}

void startUpdaterProgram() {
    const QString directory = QDir::currentPath();
    QProcess::startDetached(QDir(directory).filePath(kUpdaterProgram), {}, directory);
}

UpdateActions::UpdateActions(TUpdater& updater, IDialogs& dialogs, Hooks hooks)
    : updater_(updater), dialogs_(dialogs), hooks_(std::move(hooks)) {}

void UpdateActions::ActionCheckUpdateExecute(bool senderIsAction) {
    // Once a newer version is known the service is not asked again.
    if (!hooks_.isUpdateEnabled() && updater_.CheckUpdate())
        hooks_.enableUpdate();
    if (hooks_.isUpdateEnabled()) {
        if (dialogs_.askYesCancel(BoxKind::Warning, outdatedWarning(updater_.strNewVersion())))
            ActionUpdateExecute();
    } else if (senderIsAction) {
        dialogs_.show(BoxKind::Information, kNoUpdatesMessage);
    }
}

void UpdateActions::ActionUpdateExecute() {
    updateStarted_ = true;
    if (hooks_.startUpdater)
        hooks_.startUpdater();
    hooks_.appClose();
}

}  // namespace th
