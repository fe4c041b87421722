#include "dispatcher/gui/RequestLogWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "dispatcher/DispatcherClient.h"
#include "dispatcher/RequestLog.h"
#include "platform/UiThread.h"
#include "platform/gui/ObjectNames.h"
#include "platform/gui/WindowFit.h"
#include "settings/AppSettings.h"

namespace th {

namespace {

constexpr int kClientWidth = 835;
constexpr int kClientHeight = 299;
constexpr int kSettingsBoxWidth = 297;

void styleLog(QPlainTextEdit& memo) {
    memo.setReadOnly(true);
    // An undo history would keep every line that scrolled away.
    memo.setUndoRedoEnabled(false);
    memo.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette palette = memo.palette();
    palette.setColor(QPalette::Base, Qt::black);
    palette.setColor(QPalette::Text, Qt::green);
    memo.setPalette(palette);
    QFont font = memo.font();
    font.setBold(true);
    memo.setFont(font);
}

}  // namespace

RequestLogWindow::RequestLogWindow(IDialogs& dialogs, QWidget* parent) : QWidget(parent) {
    setWindowTitle("Клиент");
    QFont tahoma("Tahoma");
    setFont(tahoma);
    createControls();
    nameControls();
    resizeToFit(*this, {kClientWidth, kClientHeight});
    setUpWindow(dialogs);
}

RequestLogWindow::~RequestLogWindow() = default;

void RequestLogWindow::setUpWindow(IDialogs& dialogs) {
    client_ = std::make_unique<DispatcherClient>(dialogs);
    client_->setOnLog([this](const std::string& command, const Json& data) { log(command, data); });
}

void RequestLogWindow::createControls() {
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(createSettingsBox());

    logText_ = new QPlainTextEdit(this);
    logText_->setMaximumBlockCount(kMaxLogLines);
    styleLog(*logText_);
    layout->addWidget(logText_, 1);
}

QWidget* RequestLogWindow::createSettingsBox() {
    settingsBox_ = new QGroupBox("Настройки клиента", this);
    settingsBox_->setObjectName("GroupBox1");
    settingsBox_->setFixedWidth(kSettingsBoxWidth);
    auto* box = new QVBoxLayout(settingsBox_);

    logRequestsCheck_ = new QCheckBox("Включить лог запросов", settingsBox_);
    logRequestsCheck_->setChecked(true);
    box->addWidget(logRequestsCheck_);

    proxyLabel_ = new QLabel("Proxy", settingsBox_);
    box->addWidget(proxyLabel_);
    useProxyCheck_ = new QCheckBox("Использовать прокси", settingsBox_);
    box->addWidget(useProxyCheck_);

    auto* proxy = new QFormLayout;
    proxyHostEdit_ = addProxyEdit(*proxy, "Сервер");
    proxyPortEdit_ = addProxyEdit(*proxy, "Порт");
    proxyUserEdit_ = addProxyEdit(*proxy, "User");
    proxyPasswordEdit_ = addProxyEdit(*proxy, "Password");
    box->addLayout(proxy);

    saveAction_ = new QAction("Сохранить", this);
    saveAction_->setEnabled(false);
    connect(saveAction_, &QAction::triggered, this, [this] { saveSettings(); });
    saveButton_ = new QPushButton(saveAction_->text(), settingsBox_);
    saveButton_->setEnabled(false);
    // The button follows its action, as a button bound to an action does.
    connect(saveButton_, &QPushButton::clicked, saveAction_, &QAction::trigger);
    connect(saveAction_, &QAction::changed, saveButton_, [this] {
        saveButton_->setEnabled(saveAction_->isEnabled());
        saveButton_->setText(saveAction_->text());
    });
    box->addWidget(saveButton_);
    box->addStretch(1);

    connect(logRequestsCheck_, &QCheckBox::toggled, this, [this] { onSettingsEdited(); });
    connect(useProxyCheck_, &QCheckBox::toggled, this, [this] { onSettingsEdited(); });
    return settingsBox_;
}

QLineEdit* RequestLogWindow::addProxyEdit(QFormLayout& layout, const QString& label) {
    auto* edit = new QLineEdit(settingsBox_);
    // The proxy is not supported: the edits stay disabled and nothing reads them.
    edit->setEnabled(false);
    layout.addRow(label, edit);
    connect(edit, &QLineEdit::textChanged, this, [this] { onSettingsEdited(); });
    return edit;
}

void RequestLogWindow::setSettings(AppSettings* settings) {
    settings_ = settings;
    if (settings_) {
        // Restoring the stored switch is not a change of the user's.
        const bool changeBefore = saveAction_->isEnabled();
        logRequestsCheck_->setChecked(settings_->clientLog());
        saveAction_->setEnabled(changeBefore);
    }
    client_->setSettings(settings_);
}

void RequestLogWindow::log(const std::string& command, const Json& data) {
    if (onUiThread()) {
        // With the log off, an answer is not even turned into text.
        if (logRequestsCheck_->isChecked())
            appendLogLine(QString::fromStdString(requestLogLine(command, data)));
        return;
    }
    QString line = QString::fromStdString(requestLogLine(command, data));
    QPointer<RequestLogWindow> self(this);
    postToUiThread([self, line] {
        if (self)
            self->appendLogLine(line);
    });
}

void RequestLogWindow::appendLogLine(const QString& line) {
    // The box is asked at each line, not the stored setting: unchecking it stops the log
    // at once, before any save.
    if (!logRequestsCheck_->isChecked())
        return;
    logText_->appendPlainText(line);
    dropOldestLinesOverBudget();
}

void RequestLogWindow::dropOldestLinesOverBudget() {
    QTextDocument& document = *logText_->document();
    while (document.characterCount() > kMaxLogCharacters && document.blockCount() > 1) {
        QTextCursor cursor(document.firstBlock());
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
}

void RequestLogWindow::onSettingsEdited() {
    saveAction_->setEnabled(true);
}

void RequestLogWindow::saveSettings() {
    if (!settings_)
        return;
    settings_->setClientLog(logRequestsCheck_->isChecked());
    settings_->save();
    client_->setSettings(settings_);
    saveAction_->setEnabled(false);
}

void RequestLogWindow::nameControls() {
    setObjectNames({
        {settingsBox_, "settingsBox"},
        {logRequestsCheck_, "logRequestsCheck"},
        {proxyLabel_, "proxyLabel"},
        {useProxyCheck_, "useProxyCheck"},
        {proxyHostEdit_, "proxyHostEdit"},
        {proxyPortEdit_, "proxyPortEdit"},
        {proxyUserEdit_, "proxyUserEdit"},
        {proxyPasswordEdit_, "proxyPasswordEdit"},
        {saveButton_, "saveButton"},
        {logText_, "logText"},
        {saveAction_, "saveAction"},
    });
}

}  // namespace th
