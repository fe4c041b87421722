#include "wizard/AddCashboxWizard.h"

#include <QAction>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QThreadPool>
#include <QVBoxLayout>

#include <atomic>

#include "drivers/AtolDriver.h"
#include "platform/Dialogs.h"
#include "platform/UiThread.h"
#include "platform/gui/ObjectNames.h"
#include "platform/gui/SafeApplication.h"
#include "platform/gui/SerialPortCombo.h"
#include "platform/gui/WindowFit.h"
#include "wizard/Enrolment.h"

namespace th {

namespace {

constexpr int kWidth = 534;
constexpr int kHeight = 469;
constexpr int kPictureWidth = 249;
constexpr int kButtonRowHeight = 48;
constexpr const char* kServiceHomePage = "https://tillhaven.ru";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}
std::string str(const QString& text) {
    return text.toStdString();
}

QLabel* plainLabel(const QString& text, QWidget* parent = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* wrappedLabel(const QString& text, Qt::TextFormat format = Qt::PlainText) {
    auto* label = new QLabel(text);
    label->setTextFormat(format);
    label->setWordWrap(true);
    return label;
}

// A link that goes nowhere: the label shows it, clicking it does nothing. A link without a
// target still needs an anchor to be drawn as one.
QLabel* textWithLink(const QString& text, const QString& link, const QString& target) {
    const QString anchor = target.isEmpty() ? QStringLiteral("#") : target.toHtmlEscaped();
    auto* label =
        wrappedLabel(text.toHtmlEscaped() + QStringLiteral("<a href=\"") + anchor +
                         QStringLiteral("\">") + link.toHtmlEscaped() + QStringLiteral("</a>"),
                     Qt::RichText);
    label->setOpenExternalLinks(false);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    return label;
}

QLabel* titleLabel(const QString& text, int pointSize) {
    auto* label = wrappedLabel(text);
    QFont font = label->font();
    font.setPointSize(pointSize);
    font.setBold(true);
    label->setFont(font);
    return label;
}

QComboBox* editableCombo(const QStringList& items, const QString& initial) {
    auto* combo = new QComboBox;
    combo->setEditable(true);
    combo->addItems(items);
    combo->setCurrentText(initial);
    combo->setEnabled(false);
    return combo;
}

// The machine's serial ports (or the emulator's), the first of them chosen; a typed name
// is taken as it is.
QComboBox* serialPortField(const AutomationRegistry& registry) {
    auto* combo = new SerialPortCombo([&registry] { return registry.ports()->list(); });
    combo->setCurrentIndex(combo->count() > 0 ? 0 : -1);
    combo->setEnabled(false);
    return combo;
}

// A push button that follows its action: text, enabled and visible state, and trigger.
void bindButton(QPushButton* button, QAction* action) {
    auto sync = [button, action] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
        button->setVisible(action->isVisible());
    };
    sync();
    QObject::connect(action, &QAction::changed, button, sync);
    QObject::connect(button, &QPushButton::clicked, action, [action] { action->trigger(); });
}

void drawRegister(QPainter& p, const QRectF& area) {
    const qreal x = area.left() + area.width() * 0.18;
    const qreal w = area.width() * 0.64;
    const qreal top = area.top() + area.height() * 0.42;
    // The receipt coming out of the printer.
    p.setPen(QPen(QColor(120, 130, 140), 1.5));
    p.setBrush(Qt::white);
    const QRectF receipt(x + w * 0.25, top - w * 0.55, w * 0.5, w * 0.62);
    p.drawRect(receipt);
    for (int line = 1; line <= 5; ++line) {
        const qreal y = receipt.top() + line * receipt.height() / 7;
        p.drawLine(QPointF(receipt.left() + 8, y), QPointF(receipt.right() - 8, y));
    }
    // The register's body, display and keys.
    QLinearGradient body(0, top, 0, top + w * 0.6);
    body.setColorAt(0, QColor(60, 64, 72));
    body.setColorAt(1, QColor(28, 30, 36));
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawRoundedRect(QRectF(x, top, w, w * 0.6), 10, 10);
    p.setBrush(QColor(120, 220, 160));
    p.drawRoundedRect(QRectF(x + w * 0.08, top + w * 0.08, w * 0.4, w * 0.14), 3, 3);
    p.setBrush(QColor(235, 235, 240));
    const qreal key = w * 0.09;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            p.drawRoundedRect(QRectF(x + w * 0.08 + col * key * 1.5,
                                     top + w * 0.29 + row * key * 1.1, key, key * 0.7),
                              2, 2);
}

ConnectionChoice connectionOf(const CashboxDriver& driver) {
    const bool usb = driver.comType() == "USB";
    if (usb)
        return ConnectionChoice{};
    return {.automatic = false,
            .port = driver.comPort(),
            .speed = driver.baudRate(),
            .bits = driver.bits(),
            .parity = driver.parity(),
            .stopBits = driver.stopBits()};
}

void applyConnection(CashboxDriver& driver, const ConnectionChoice& c) {
    driver.setComType(c.automatic ? "USB" : "COM");
    if (c.automatic)
        return;
    driver.setComPort(c.port);
    driver.setBaudrate(c.speed);
    driver.setBits(c.bits);
    driver.setParity(c.parity);
    driver.setStopBits(c.stopBits);
}

}  // namespace

QPixmap wizardPicture(int width, int height) {
    QPixmap picture(width, height);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(33, 111, 186));
    sky.setColorAt(1, QColor(14, 52, 99));
    p.fillRect(picture.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 24));
    p.drawEllipse(QPointF(width * 0.85, height * 0.12), width * 0.5, width * 0.5);
    p.drawEllipse(QPointF(width * 0.1, height * 0.95), width * 0.45, width * 0.45);
    drawRegister(p, QRectF(0, 0, width, height));
    p.setPen(QColor(255, 255, 255, 220));
    QFont font = p.font();
    font.setPointSize(16);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRectF(0, height * 0.78, width, 30), Qt::AlignCenter, QStringLiteral("tillhaven"));
    return picture;
}

// What the running enrolments share with the window. Touched on the user-interface thread
// only, except running, which the workers count down.
struct AddCashboxWizard::RunState {
    AddCashboxWizard* wizard = nullptr;  // none once the window is gone
    std::uint64_t currentRun = 0;        // changes when a run starts or the window closes
    std::atomic<int> running{0};
    // The last run that stored its register, set by the worker itself before it shows
    // "Готово!", so that the window knows it whatever the user clicks meanwhile.
    std::atomic<std::uint64_t> savedRun{0};
};

namespace {

// Hands each change of the enrolment to the window on the user-interface thread, as long as
// the window still shows the run that made it.
class WizardEnrolmentView : public EnrolmentView {
public:
    WizardEnrolmentView(std::shared_ptr<AddCashboxWizard::RunState> state, std::uint64_t run)
        : state_(std::move(state)), run_(run) {}

    void setProgress(int percent) override {
        apply([percent](AddCashboxWizard& w) { w.showEnrolmentProgress(percent); });
    }
    void setStatus(const std::string& text) override {
        apply([text](AddCashboxWizard& w) { w.showEnrolmentStatus(qs(text)); });
    }
    void setError(const std::string& text) override {
        apply([text](AddCashboxWizard& w) { w.showEnrolmentError(qs(text)); });
    }
    void enableNext() override {
        apply([](AddCashboxWizard& w) { w.enableNext(); });
    }
    void enableBack() override {
        apply([](AddCashboxWizard& w) { w.enableBack(); });
    }
    void registerSaved() override { state_->savedRun = run_; }

private:
    void apply(std::function<void(AddCashboxWizard&)> change) {
        postToUiThread([state = state_, run = run_, change = std::move(change)] {
            if (state->wizard != nullptr && state->currentRun == run)
                change(*state->wizard);
        });
    }

    std::shared_ptr<AddCashboxWizard::RunState> state_;
    std::uint64_t run_;
};

}  // namespace

AddCashboxWizard::AddCashboxWizard(IDialogs& dialogs, const AutomationRegistry& registry,
                                   DispatcherClient& sharedClient, QWidget* parent)
    : QDialog(parent),
      dialogs_(dialogs),
      registry_(registry),
      sharedClient_(sharedClient),
      run_(std::make_shared<RunState>()) {
    run_->wizard = this;
    setWindowTitle(QStringLiteral("Мастер добавления кассы"));
    createActions();

    pages_ = new QStackedWidget;
    greetingPage_ = createPage(createGreetingPage());
    connectionPage_ = createPage(createConnectionPage());
    parametersPage_ = createPage(createParametersPage());
    donePage_ = createPage(createDonePage());
    for (QWidget* page : {greetingPage_, connectionPage_, parametersPage_, donePage_})
        pages_->addWidget(page);

    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pages_, 1);
    layout->addWidget(line);
    layout->addWidget(createButtonRow());
    fixToFit(*this, {kWidth, kHeight});
    nameControls();
}

AddCashboxWizard::~AddCashboxWizard() {
    run_->wizard = nullptr;
}

bool AddCashboxWizard::success() const {
    return success_ || (runOfShowing_ != 0 && run_->savedRun.load() == runOfShowing_);
}

bool AddCashboxWizard::enrolmentRunning() const {
    return run_->running.load() > 0;
}

void AddCashboxWizard::guarded(void (AddCashboxWizard::*handler)()) {
    SafeApplication::guarded(dialogs_, [this, handler] { (this->*handler)(); });
}

void AddCashboxWizard::createActions() {
    backAction_ = new QAction(QStringLiteral("< Назад"), this);
    nextAction_ = new QAction(QStringLiteral("Далее >"), this);
    cancelAction_ = new QAction(QStringLiteral("Отмена"), this);
    connect(backAction_, &QAction::triggered, this, [this] { guarded(&AddCashboxWizard::goBack); });
    connect(nextAction_, &QAction::triggered, this, [this] { guarded(&AddCashboxWizard::goNext); });
    connect(cancelAction_, &QAction::triggered, this,
            [this] { guarded(&AddCashboxWizard::cancel); });
}

QWidget* AddCashboxWizard::createButtonRow() {
    auto* row = new QWidget;
    row->setFixedHeight(kButtonRowHeight);
    backButton_ = new QPushButton;
    nextButton_ = new QPushButton;
    cancelButton_ = new QPushButton;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->addStretch(1);
    for (auto [button, action] :
         {std::pair{backButton_, backAction_}, std::pair{nextButton_, nextAction_},
          std::pair{cancelButton_, cancelAction_}}) {
        button->setMinimumWidth(88);
        layout->addWidget(button);
        bindButton(button, action);
    }
    return row;
}

QWidget* AddCashboxWizard::createPage(QWidget* content) {
    auto* page = new QWidget;
    auto* picture = new QLabel;
    picture->setFixedWidth(kPictureWidth);
    picture->setPixmap(wizardPicture(kPictureWidth, kHeight - kButtonRowHeight - 2));
    picture->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    // The window may grow taller for the platform's fonts: the picture follows.
    picture->setScaledContents(true);
    auto* layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(picture);
    layout->addWidget(content, 1);
    return page;
}

QWidget* AddCashboxWizard::createGreetingPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(14, 16, 14, 12);
    layout->setSpacing(14);
    layout->addWidget(titleLabel(QStringLiteral("Вас приветствует мастер подключения кассы"), 14));
    layout->addWidget(textWithLink(
        QStringLiteral("Убедитесь, что кассовый аппарат подключен к системе и драйвера "
                       "установлены. Если у Вас возникли с этим сложности, попробуйте поискать "
                       "ответ в нашей "),
        QStringLiteral("базе знаний."), QString()));
    layout->addWidget(textWithLink(
        QStringLiteral("При помощи этого мастера Вы можете подключить кассовый аппарат к сервису "),
        QStringLiteral("tillhaven"), QString::fromLatin1(kServiceHomePage)));
    layout->addStretch(1);
    layout->addWidget(wrappedLabel(QStringLiteral("Для продолжения, нажмите кнопку \"Далее\"")));
    return content;
}

QWidget* AddCashboxWizard::createConnectionPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(12, 12, 12, 8);
    layout->setSpacing(6);
    layout->addWidget(titleLabel(QStringLiteral("Настройка подключения кассы"), 11));
    layout->addWidget(wrappedLabel(QStringLiteral("Выберите бренд вашего кассового аппарата")));

    driverCombo_ = new QComboBox;  // selection only
    driverCombo_->addItem(QString::fromUtf8(kAtolDriverName));
    driverCombo_->setCurrentIndex(-1);
    driverVersionLabel_ = plainLabel(QString());
    auto* driverRow = new QHBoxLayout;
    driverRow->addWidget(driverCombo_, 1);
    driverRow->addWidget(driverVersionLabel_, 1);
    layout->addLayout(driverRow);
    connect(driverCombo_, &QComboBox::currentIndexChanged, this,
            [this] { guarded(&AddCashboxWizard::onDriverChosen); });

    automaticSearchRadio_ = new QRadioButton(QStringLiteral("Определить автоматически"));
    manualSetupRadio_ = new QRadioButton(QStringLiteral("Указать вручную"));
    automaticSearchRadio_->setEnabled(false);
    manualSetupRadio_->setEnabled(false);
    layout->addWidget(automaticSearchRadio_);
    layout->addWidget(manualSetupRadio_);
    connect(automaticSearchRadio_, &QRadioButton::clicked, this,
            [this] { guarded(&AddCashboxWizard::onAutomaticSearchChosen); });
    connect(manualSetupRadio_, &QRadioButton::clicked, this,
            [this] { guarded(&AddCashboxWizard::onManualSetupChosen); });

    auto* device = new QGroupBox(QStringLiteral("Устройство"));
    auto* deviceLayout = new QGridLayout(device);
    deviceLayout->setContentsMargins(8, 4, 8, 4);
    modelLabel_ = plainLabel(QStringLiteral("modelINfo"));
    serialLabel_ = plainLabel(QStringLiteral("serialInfo"));
    deviceLayout->addWidget(plainLabel(QStringLiteral("Модель:")), 0, 0);
    deviceLayout->addWidget(modelLabel_, 0, 1);
    deviceLayout->addWidget(plainLabel(QStringLiteral("S/N :")), 1, 0);
    deviceLayout->addWidget(serialLabel_, 1, 1);
    deviceLayout->setColumnStretch(1, 1);
    layout->addWidget(device);
    layout->addWidget(createConnectionFields());
    layout->addStretch(1);
    return content;
}

QGroupBox* AddCashboxWizard::createConnectionFields() {
    settingsBox_ = new QGroupBox(QStringLiteral("Параметры соединения"));
    settingsBox_->setEnabled(false);
    portCombo_ = serialPortField(registry_);
    speedCombo_ = editableCombo(
        {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400", "460800"},
        QStringLiteral("115200"));
    dataBitsCombo_ = editableCombo({"7", "8"}, QStringLiteral("8"));
    parityCombo_ = editableCombo(
        {QStringLiteral("Нет"), QStringLiteral("Четность"), QStringLiteral("Нечетность"),
         QStringLiteral("Установлен"), QStringLiteral("Сброшен")},
        QStringLiteral("Нет"));
    stopBitsCombo_ =
        editableCombo({QStringLiteral("1 бит"), QStringLiteral("2 бита")}, QStringLiteral("1 бит"));
    testButton_ = new QPushButton(QStringLiteral("Тест"));
    testButton_->setEnabled(false);
    connect(testButton_, &QPushButton::clicked, this,
            [this] { guarded(&AddCashboxWizard::testConnection); });

    auto* grid = new QGridLayout(settingsBox_);
    grid->setContentsMargins(8, 4, 8, 6);
    grid->setVerticalSpacing(4);
    const std::pair<const char*, QComboBox*> fields[] = {{"Порт", portCombo_},
                                                         {"Скорость", speedCombo_},
                                                         {"Бит", dataBitsCombo_},
                                                         {"Четность", parityCombo_},
                                                         {"Стоп-бит", stopBitsCombo_}};
    int row = 0;
    for (const auto& [caption, field] : fields) {
        grid->addWidget(plainLabel(QString::fromUtf8(caption)), row, 0);
        grid->addWidget(field, row++, 1);
    }
    grid->addWidget(testButton_, row, 1, Qt::AlignRight);
    return settingsBox_;
}

QWidget* AddCashboxWizard::createParametersPage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(14, 16, 14, 12);
    layout->setSpacing(10);
    layout->addWidget(wrappedLabel(QStringLiteral("Идет чтение параметров кассы")));
    progressBar_ = new QProgressBar;
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    layout->addWidget(progressBar_);
    statusLabel_ = wrappedLabel(QString());
    errorLabel_ = wrappedLabel(QString());
    errorLabel_->setStyleSheet(QStringLiteral("color: red;"));
    layout->addWidget(statusLabel_);
    layout->addWidget(errorLabel_);
    layout->addStretch(1);
    return content;
}

QWidget* AddCashboxWizard::createDonePage() {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(14, 16, 14, 12);
    layout->setSpacing(14);
    layout->addWidget(titleLabel(QStringLiteral("Поздравляем!"), 16));
    layout->addWidget(wrappedLabel(QStringLiteral("Касса успешно добавлена")));
    layout->addWidget(wrappedLabel(
        QStringLiteral("Скоро здесь будет краткая инструкция по дальнейшим действиям")));
    layout->addStretch(1);
    return content;
}

void AddCashboxWizard::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        startOnFirstShow();
    QDialog::showEvent(event);
}

void AddCashboxWizard::done(int result) {
    // Whatever an enrolment still running does, it no longer changes this window.
    ++run_->currentRun;
    QDialog::done(result);
}

void AddCashboxWizard::startOnFirstShow() {
    cancelAction_->setText(QStringLiteral("Отмена"));
    success_ = false;
    runOfShowing_ = 0;
    resetFields();
    pages_->setCurrentWidget(greetingPage_);
    updateNavigation();
}

// A new showing is a new register: nothing found or typed for the previous one is offered
// again.
void AddCashboxWizard::resetFields() {
    driverCombo_->setCurrentIndex(-1);
    driver_.reset();
    driverVersionLabel_->clear();
    uncheckDetectionModes();
    automaticSearchRadio_->setEnabled(false);
    manualSetupRadio_->setEnabled(false);
    modelLabel_->setText(QStringLiteral("modelINfo"));
    serialLabel_->setText(QStringLiteral("serialInfo"));
    enableManualSetup(false);
    resetConnectionFields();
    checkedConnection_ = ConnectionChoice{};
    progressBar_->setValue(0);
    statusLabel_->clear();
    errorLabel_->clear();
}

void AddCashboxWizard::uncheckDetectionModes() {
    for (QRadioButton* radio : {automaticSearchRadio_, manualSetupRadio_}) {
        radio->setAutoExclusive(false);
        radio->setChecked(false);
        radio->setAutoExclusive(true);
    }
}

void AddCashboxWizard::resetConnectionFields() {
    portCombo_->setCurrentIndex(portCombo_->count() > 0 ? 0 : -1);
    speedCombo_->setCurrentText(QStringLiteral("115200"));
    dataBitsCombo_->setCurrentText(QStringLiteral("8"));
    parityCombo_->setCurrentText(QStringLiteral("Нет"));
    stopBitsCombo_->setCurrentText(QStringLiteral("1 бит"));
}

void AddCashboxWizard::updateNavigation() {
    QWidget* page = pages_->currentWidget();
    nextPage_ = nullptr;
    backPage_ = nullptr;
    if (page == greetingPage_) {
        nextPage_ = connectionPage_;
        success_ = false;
        nextAction_->setEnabled(true);
    } else if (page == connectionPage_) {
        nextPage_ = parametersPage_;
        nextAction_->setEnabled(false);
    } else if (page == parametersPage_) {
        nextPage_ = donePage_;
        backPage_ = connectionPage_;
        nextAction_->setEnabled(false);
        backAction_->setEnabled(false);
    } else if (page == donePage_) {
        cancelAction_->setText(QStringLiteral("Готово"));
        success_ = true;
    }
    nextAction_->setVisible(nextPage_ != nullptr);
    backAction_->setVisible(backPage_ != nullptr);
}

void AddCashboxWizard::goNext() {
    if (nextPage_ == nullptr)
        return;
    pages_->setCurrentWidget(nextPage_);
    updateNavigation();
    if (pages_->currentWidget() == parametersPage_)
        startEnrolment();
}

void AddCashboxWizard::goBack() {
    if (backPage_ == nullptr)
        return;
    pages_->setCurrentWidget(backPage_);
    updateNavigation();
}

void AddCashboxWizard::cancel() {
    reject();
}

void AddCashboxWizard::onDriverChosen() {
    driver_.reset();
    if (driverCombo_->currentText() == QString::fromUtf8(kAtolDriverName))
        driver_ = std::make_shared<AtolDriver>("0", registry_);
    if (!driver_)
        return;
    driverVersionLabel_->setText(qs(driver_->getVersion()));
    automaticSearchRadio_->setEnabled(true);
    manualSetupRadio_->setEnabled(true);
}

void AddCashboxWizard::onAutomaticSearchChosen() {
    nextAction_->setEnabled(false);
    enableManualSetup(false);
    clearFoundRegister();
    driverForCheck().setComType("USB");
    identifyRegister();
}

void AddCashboxWizard::onManualSetupChosen() {
    nextAction_->setEnabled(false);
    clearFoundRegister();
    enableManualSetup(true);
}

void AddCashboxWizard::testConnection() {
    driverForCheck().setComType("COM");
    driver_->setComPort(str(portCombo_->currentText()));
    driver_->setBaudrate(str(speedCombo_->currentText()));
    driver_->setParity(str(parityCombo_->currentText()));
    driver_->setStopBits(str(stopBitsCombo_->currentText()));
    driver_->setBits(str(dataBitsCombo_->currentText()));
    identifyRegister();
}

CashboxDriver& AddCashboxWizard::driverForCheck() {
    if (!driver_)
        throw EnrolmentError(kChooseDriverMessage);
    // The driver serves one thread at a time: an enrolment left running by an earlier
    // showing may still be using it, so not even its connection settings may change.
    if (enrolmentRunning())
        throw EnrolmentError(kEnrolmentBusyMessage);
    return *driver_;
}

void AddCashboxWizard::identifyRegister() {
    const DeviceIdentity identity = checkCashbox(driverForCheck());
    checkedConnection_ = connectionOf(*driver_);
    modelLabel_->setText(qs(identity.modelName));
    serialLabel_->setText(qs(identity.serial));
    nextAction_->setEnabled(true);
    // Most often the register found is one already working here, not the new one.
    if (listed_ && listed_(identity.serial))
        dialogs_.show(BoxKind::Information, alreadyListedNotice(identity.serial));
}

void AddCashboxWizard::enableManualSetup(bool enabled) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{settingsBox_, portCombo_, speedCombo_, dataBitsCombo_,
                                         parityCombo_, stopBitsCombo_, testButton_})
        w->setEnabled(enabled);
}

void AddCashboxWizard::clearFoundRegister() {
    modelLabel_->clear();
    serialLabel_->clear();
}

void AddCashboxWizard::startEnrolment() {
    // Everything the enrolment reads from the window is taken here, on this thread.
    EnrolmentInput input;
    input.driver = driver_;
    input.driverName = str(driverCombo_->currentText());
    input.serial = str(serialLabel_->text());
    input.connection = checkedConnection_;
    if (driver_)
        applyConnection(*driver_, checkedConnection_);
    input.settings = settings_;
    input.clientSettings = sharedClient_.settings();
    input.logSink = sharedClient_.onLog();
    input.finishPause = finishPause_;

    const std::uint64_t run = ++run_->currentRun;
    runOfShowing_ = run;
    ++run_->running;
    QThreadPool::globalInstance()->start(
        [input = std::move(input), state = run_, run, &dialogs = dialogs_] {
            WizardEnrolmentView view(state, run);
            runEnrolment(input, dialogs, view);
            --state->running;
        });
}

void AddCashboxWizard::showEnrolmentProgress(int percent) {
    progressBar_->setValue(percent);
}

void AddCashboxWizard::showEnrolmentStatus(const QString& text) {
    statusLabel_->setText(text);
}

void AddCashboxWizard::showEnrolmentError(const QString& text) {
    errorLabel_->setText(text);
}

void AddCashboxWizard::enableNext() {
    nextAction_->setEnabled(true);
}

void AddCashboxWizard::enableBack() {
    backAction_->setEnabled(true);
}

void AddCashboxWizard::nameControls() {
    setObjectNames({
        {pages_, "pages"},
        {greetingPage_, "greetingPage"},
        {connectionPage_, "connectionPage"},
        {parametersPage_, "parametersPage"},
        {donePage_, "donePage"},
        {backAction_, "backAction"},
        {nextAction_, "nextAction"},
        {cancelAction_, "cancelAction"},
        {backButton_, "backButton"},
        {nextButton_, "nextButton"},
        {cancelButton_, "cancelButton"},
        {driverCombo_, "driverCombo"},
        {driverVersionLabel_, "driverVersionLabel"},
        {automaticSearchRadio_, "automaticSearchRadio"},
        {manualSetupRadio_, "manualSetupRadio"},
        {modelLabel_, "modelLabel"},
        {serialLabel_, "serialLabel"},
        {settingsBox_, "settingsBox"},
        {portCombo_, "portCombo"},
        {speedCombo_, "speedCombo"},
        {dataBitsCombo_, "dataBitsCombo"},
        {parityCombo_, "parityCombo"},
        {stopBitsCombo_, "stopBitsCombo"},
        {testButton_, "testButton"},
        {progressBar_, "progressBar"},
        {statusLabel_, "statusLabel"},
        {errorLabel_, "errorLabel"},
    });
}

}  // namespace th
