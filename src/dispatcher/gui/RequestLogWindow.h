#pragma once

#include <QWidget>

#include <memory>
#include <string>

#include "platform/Json.h"

class QAction;
class QCheckBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace th {

class IDialogs;
class AppSettings;
class DispatcherClient;

// "Клиент": owns the process's shared dispatcher client, shows the request log of every
// client that logs here and saves the log switch. Created hidden at start; closing it only
// hides it, the log and the client stay.
class RequestLogWindow : public QWidget {
public:
    // The log keeps at most this many lines and this much text (2 MiB of characters; a
    // line is cut at kMaxLogLineBytes); older lines scroll away, so neither a week of
    // exchanges every few seconds nor a run of large answers can exhaust memory.
    static constexpr int kMaxLogLines = 5000;
    static constexpr int kMaxLogCharacters = 2 * 1024 * 1024;

    explicit RequestLogWindow(IDialogs& dialogs, QWidget* parent = nullptr);
    ~RequestLogWindow() override;

    DispatcherClient& client() { return *client_; }
    AppSettings* settings() const { return settings_; }
    void setSettings(AppSettings* settings);

    // Log sink of every dispatcher client. Callable from any thread: a line made on a
    // worker is appended on the user-interface thread.
    void log(const std::string& command, const Json& data);
    void onSettingsEdited();
    void saveSettings();

private:
    // Gives each control its object name: its member's name without the underscore.
    void nameControls();
    void setUpWindow(IDialogs& dialogs);
    void createControls();
    QWidget* createSettingsBox();
    QLineEdit* addProxyEdit(QFormLayout& layout, const QString& label);
    void appendLogLine(const QString& line);
    void dropOldestLinesOverBudget();

    AppSettings* settings_ = nullptr;
    std::unique_ptr<DispatcherClient> client_;

    // Controls.
    QGroupBox* settingsBox_ = nullptr;
    QCheckBox* logRequestsCheck_ = nullptr;
    QLabel* proxyLabel_ = nullptr;
    QCheckBox* useProxyCheck_ = nullptr;
    QLineEdit* proxyHostEdit_ = nullptr;
    QLineEdit* proxyPortEdit_ = nullptr;
    QLineEdit* proxyUserEdit_ = nullptr;
    QLineEdit* proxyPasswordEdit_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QPlainTextEdit* logText_ = nullptr;
    QAction* saveAction_ = nullptr;
};

}  // namespace th
