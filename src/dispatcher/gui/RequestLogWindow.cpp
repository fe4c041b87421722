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
    FormCreate(dialogs);
}

RequestLogWindow::~RequestLogWindow() = default;

void RequestLogWindow::FormCreate(IDialogs& dialogs) {
    client_ = std::make_unique<DispatcherClient>(dialogs);
    client_->setOnLog([this](const std::string& command, const Json& data) { log(command, data); });
}

void RequestLogWindow::createControls() {
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(createSettingsBox());

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setMaximumBlockCount(kMaxLogLines);
    styleLog(*Memo1);
    layout->addWidget(Memo1, 1);
}

QWidget* RequestLogWindow::createSettingsBox() {
    GroupBox1 = new QGroupBox("Настройки клиента", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setFixedWidth(kSettingsBoxWidth);
    auto* box = new QVBoxLayout(GroupBox1);

    isLog = new QCheckBox("Включить лог запросов", GroupBox1);
    isLog->setChecked(true);
    box->addWidget(isLog);

    LinkLabel1 = new QLabel("Proxy", GroupBox1);
    box->addWidget(LinkLabel1);
    useProxy = new QCheckBox("Использовать прокси", GroupBox1);
    box->addWidget(useProxy);

    auto* proxy = new QFormLayout;
    LabeledEdit1 = addProxyEdit(*proxy, "Сервер");
    ProxyPort = addProxyEdit(*proxy, "Порт");
    LabeledEdit3 = addProxyEdit(*proxy, "User");
    ProxyPass = addProxyEdit(*proxy, "Password");
    box->addLayout(proxy);

    SaveAction = new QAction("Сохранить", this);
    SaveAction->setEnabled(false);
    connect(SaveAction, &QAction::triggered, this, [this] { SaveActionExecute(); });
    Button1 = new QPushButton(SaveAction->text(), GroupBox1);
    Button1->setEnabled(false);
    // The button follows its action, as a button bound to an action does.
    connect(Button1, &QPushButton::clicked, SaveAction, &QAction::trigger);
    connect(SaveAction, &QAction::changed, Button1, [this] {
        Button1->setEnabled(SaveAction->isEnabled());
        Button1->setText(SaveAction->text());
    });
    box->addWidget(Button1);
    box->addStretch(1);

    connect(isLog, &QCheckBox::toggled, this, [this] { onSettingsChange(); });
    connect(useProxy, &QCheckBox::toggled, this, [this] { onSettingsChange(); });
    return GroupBox1;
}

QLineEdit* RequestLogWindow::addProxyEdit(QFormLayout& layout, const QString& label) {
    auto* edit = new QLineEdit(GroupBox1);
    // The proxy is not supported: the edits stay disabled and nothing reads them.
    edit->setEnabled(false);
    layout.addRow(label, edit);
    connect(edit, &QLineEdit::textChanged, this, [this] { onSettingsChange(); });
    return edit;
}

void RequestLogWindow::SetSettings(AppSettings* settings) {
    settings_ = settings;
    if (settings_) {
        // Restoring the stored switch is not a change of the user's.
        const bool changeBefore = SaveAction->isEnabled();
        isLog->setChecked(settings_->ClientLog());
        SaveAction->setEnabled(changeBefore);
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
    Memo1->appendPlainText(line);
    dropOldestLinesOverBudget();
}

void RequestLogWindow::dropOldestLinesOverBudget() {
    QTextDocument& document = *Memo1->document();
    while (document.characterCount() > kMaxLogCharacters && document.blockCount() > 1) {
        QTextCursor cursor(document.firstBlock());
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
}

void RequestLogWindow::onSettingsChange() {
    SaveAction->setEnabled(true);
}

void RequestLogWindow::SaveActionExecute() {
    if (!settings_)
        return;
    settings_->setClientLog(isLog->isChecked());
    settings_->save();
    client_->setSettings(settings_);
    SaveAction->setEnabled(false);
}

}  // namespace th
