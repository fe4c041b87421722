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

    logText = new QPlainTextEdit(this);
    logText->setObjectName("Memo1");
    logText->setMaximumBlockCount(kMaxLogLines);
    styleLog(*logText);
    layout->addWidget(logText, 1);
}

QWidget* RequestLogWindow::createSettingsBox() {
    settingsBox = new QGroupBox("Настройки клиента", this);
    settingsBox->setObjectName("GroupBox1");
    settingsBox->setFixedWidth(kSettingsBoxWidth);
    auto* box = new QVBoxLayout(settingsBox);

    isLog = new QCheckBox("Включить лог запросов", settingsBox);
    isLog->setChecked(true);
    box->addWidget(isLog);

    proxyLabel = new QLabel("Proxy", settingsBox);
    box->addWidget(proxyLabel);
    useProxy = new QCheckBox("Использовать прокси", settingsBox);
    box->addWidget(useProxy);

    auto* proxy = new QFormLayout;
    proxyHost = addProxyEdit(*proxy, "Сервер");
    ProxyPort = addProxyEdit(*proxy, "Порт");
    proxyUser = addProxyEdit(*proxy, "User");
    ProxyPass = addProxyEdit(*proxy, "Password");
    box->addLayout(proxy);

    saveAction = new QAction("Сохранить", this);
    saveAction->setEnabled(false);
    connect(saveAction, &QAction::triggered, this, [this] { saveSettings(); });
    saveButton = new QPushButton(saveAction->text(), settingsBox);
    saveButton->setEnabled(false);
    // The button follows its action, as a button bound to an action does.
    connect(saveButton, &QPushButton::clicked, saveAction, &QAction::trigger);
    connect(saveAction, &QAction::changed, saveButton, [this] {
        saveButton->setEnabled(saveAction->isEnabled());
        saveButton->setText(saveAction->text());
    });
    box->addWidget(saveButton);
    box->addStretch(1);

    connect(isLog, &QCheckBox::toggled, this, [this] { onSettingsEdited(); });
    connect(useProxy, &QCheckBox::toggled, this, [this] { onSettingsEdited(); });
    return settingsBox;
}

QLineEdit* RequestLogWindow::addProxyEdit(QFormLayout& layout, const QString& label) {
    auto* edit = new QLineEdit(settingsBox);
    // The proxy is not supported: the edits stay disabled and nothing reads them.
    edit->setEnabled(false);
    layout.addRow(label, edit);
    connect(edit, &QLineEdit::textChanged, this, [this] { onSettingsEdited(); });
    return edit;
}

void RequestLogWindow::SetSettings(AppSettings* settings) {
    settings_ = settings;
    if (settings_) {
        // Restoring the stored switch is not a change of the user's.
        const bool changeBefore = saveAction->isEnabled();
        isLog->setChecked(settings_->ClientLog());
        saveAction->setEnabled(changeBefore);
    }
    client_->setSettings(settings_);
}

void RequestLogWindow::log(const std::string& command, const Json& data) {
    if (onUiThread()) {
        // With the log off, an answer is not even turned into text.
        if (isLog->isChecked())
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
    if (!isLog->isChecked())
        return;
    logText->appendPlainText(line);
    dropOldestLinesOverBudget();
}

void RequestLogWindow::dropOldestLinesOverBudget() {
    QTextDocument& document = *logText->document();
    while (document.characterCount() > kMaxLogCharacters && document.blockCount() > 1) {
        QTextCursor cursor(document.firstBlock());
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
}

void RequestLogWindow::onSettingsEdited() {
    saveAction->setEnabled(true);
}

void RequestLogWindow::saveSettings() {
    if (!settings_)
        return;
    settings_->setClientLog(isLog->isChecked());
    settings_->save();
    client_->setSettings(settings_);
    saveAction->setEnabled(false);
}

}  // namespace th
