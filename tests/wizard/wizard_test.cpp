// Before Qt: the sandbox has a member named like Qt's "emit" keyword macro.
#include "SandboxServer.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QThreadPool>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "../updater/DispatcherStub.h"
#include "dispatcher/DispatcherClient.h"
#include "drivers/AtolDriver.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"
#include "wizard/AddCashboxWizard.h"
#include "wizard/Enrolment.h"

namespace th {
namespace {

using test::DispatcherStub;
using test::TempDir;

constexpr const char* kSerial = "00106900000017";

QApplication& application() {
    return test::ensureQtApplication();
}

std::string text(const QLabel* label) {
    return label->text().toStdString();
}

Json benchRegister(const std::string& serial, const std::string& port) {
    return {{"serial", serial}, {"model", "АТОЛ 30Ф"}, {"port", port}, {"reachable", true}};
}

Json enrolAnswer(const Json& data) {
    return {{"status", 200}, {"data", data}};
}

// Serves "AddIn.Fptr10" from another registry and pulls the register's plug (rewrites the
// bench) just before the given call of processJson.
class UnplugBeforeTask : public IAutomationObject {
public:
    UnplugBeforeTask(std::unique_ptr<IAutomationObject> inner, std::function<void()> unplug,
                     int taskNumber)
        : inner_(std::move(inner)), unplug_(std::move(unplug)), taskNumber_(taskNumber) {}
    Variant invoke(const std::string& member, const std::vector<Variant>& args) override {
        if (member == "processJson" && ++tasks_ == taskNumber_)
            unplug_();
        return inner_->invoke(member, args);
    }

private:
    std::unique_ptr<IAutomationObject> inner_;
    std::function<void()> unplug_;
    int taskNumber_;
    int tasks_ = 0;
};

// A register on the bench, a dispatcher, the process's settings and the wizard over them.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        plug(Json::array({benchRegister(kSerial, "USB")}));
        dir.write("settings.ini", stub.settingsIni());
        settings = std::make_unique<AppSettings>(dir.path());
        installRegisterBackend(registry, "emulator", dir.path());
        shared = std::make_unique<DispatcherClient>(dialogs);
        shared->setSettings(settings.get());
        shared->setOnLog([this](const std::string& command, const Json& data) {
            std::lock_guard lock(logMutex);
            log.push_back(command + " " + dumpCompact(data));
        });
        makeWizard(registry);
    }
    void TearDown() override { waitForEnrolment(); }

    void makeWizard(const AutomationRegistry& drivers) {
        wizard = std::make_unique<AddCashboxWizard>(dialogs, drivers, *shared);
        wizard->setSettings(settings.get());
        wizard->setFinishPause(std::chrono::milliseconds(0));
    }
    void plug(const Json& registers) {
        dir.write("emulator.json", dumpCompact(Json{{"registers", registers}}));
    }
    void showAndChooseAtol() {
        wizard->show();
        wizard->nextAction->trigger();
        wizard->driverCombo->setCurrentIndex(0);
    }
    void enrol() {
        wizard->nextAction->trigger();
        waitForEnrolment();
    }
    static void waitForEnrolment() {
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }
    QWidget* page() const { return wizard->pages->currentWidget(); }
    std::vector<std::string> logLines() {
        std::lock_guard lock(logMutex);
        return log;
    }
    // The settings as the next start of the program reads them.
    CashboxSettings storedRecord() const {
        AppSettings reread(dir.path());
        auto record = reread.getCashboxSettings(kSerial);
        return record ? *record : CashboxSettings{};
    }

    TempDir dir;
    DispatcherStub stub;
    RecordingDialogs dialogs;
    AutomationRegistry registry;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<DispatcherClient> shared;
    std::unique_ptr<AddCashboxWizard> wizard;
    std::mutex logMutex;
    std::vector<std::string> log;
};

TEST_F(WizardTest, FirstShowingAndAutomaticDetection) {
    wizard->show();
    EXPECT_EQ(page(), wizard->greetingPage);
    EXPECT_TRUE(wizard->nextAction->isEnabled());
    EXPECT_FALSE(wizard->BackButton->isVisible());
    wizard->nextAction->trigger();
    EXPECT_EQ(page(), wizard->connectionPage);
    EXPECT_FALSE(wizard->NextButton->isEnabled());
    EXPECT_EQ(text(wizard->modelInfo), "modelINfo");
    EXPECT_EQ(text(wizard->serialInfo), "serialInfo");
    EXPECT_FALSE(wizard->automaticSearch->isEnabled());
    EXPECT_FALSE(wizard->settingsBox->isEnabled());
    // The bench has no register on a COM port: no port to offer.
    EXPECT_EQ(wizard->PortField->count(), 0);
    EXPECT_TRUE(wizard->PortField->currentText().isEmpty());
    EXPECT_EQ(wizard->SpeedField->currentText(), "115200");
    EXPECT_EQ(wizard->ParityField->count(), 5);

    wizard->driverCombo->setCurrentIndex(0);
    ASSERT_NE(wizard->driver(), nullptr);
    EXPECT_TRUE(wizard->driver()->TestMode());
    EXPECT_FALSE(text(wizard->driverVersionLabel).empty());
    EXPECT_TRUE(wizard->automaticSearch->isEnabled());
    wizard->automaticSearch->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{});
    EXPECT_EQ(text(wizard->modelInfo), "АТОЛ 30Ф");
    EXPECT_EQ(text(wizard->serialInfo), kSerial);
    EXPECT_TRUE(wizard->NextButton->isEnabled());
    EXPECT_FALSE(wizard->driver()->isConnected());
}

TEST_F(WizardTest, DetectionWithoutARegisterKeepsNextDisabled) {
    plug(Json::array());
    showAndChooseAtol();
    wizard->automaticSearch->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Невозможно подключиться к кассе"});
    EXPECT_EQ(text(wizard->serialInfo), "");
    EXPECT_FALSE(wizard->NextButton->isEnabled());
}

TEST_F(WizardTest, ManualParametersAreTestedAndStored) {
    plug(Json::array({benchRegister(kSerial, "COM3")}));
    stub.answerJson("cashbox", enrolAnswer({{"result", true}}));
    showAndChooseAtol();
    wizard->manualSetup->click();
    EXPECT_TRUE(wizard->settingsBox->isEnabled());
    EXPECT_TRUE(wizard->TestButton->isEnabled());
    EXPECT_EQ(text(wizard->modelInfo), "");

    wizard->PortField->setCurrentText("COM3");
    wizard->SpeedField->setCurrentText("9600");
    wizard->ParityField->setCurrentText("Четность");
    wizard->TestButton->click();
    EXPECT_EQ(text(wizard->serialInfo), kSerial);
    ASSERT_TRUE(wizard->NextButton->isEnabled());

    // A failing test after a successful one leaves the earlier result in place.
    wizard->PortField->setCurrentText("COM5");
    wizard->TestButton->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Невозможно подключиться к кассе"});
    EXPECT_EQ(text(wizard->serialInfo), kSerial);
    EXPECT_TRUE(wizard->NextButton->isEnabled());

    // What is stored is what the last successful test used, not a field edited since.
    wizard->SpeedField->setCurrentText("19200");
    enrol();
    EXPECT_EQ(text(wizard->StatusCaption), "Готово!");
    const CashboxSettings record = storedRecord();
    EXPECT_EQ(record.ConnectionType, "COM");
    EXPECT_EQ(record.ComPort, "COM3");
    EXPECT_EQ(record.BaudRate, "9600");
    EXPECT_EQ(record.Bits, "8");
    EXPECT_EQ(record.StopBits, "1 бит");
    EXPECT_EQ(record.Parity, "Четность");
    EXPECT_TRUE(record.autostart);
}

TEST_F(WizardTest, PortListIsReadAgainEachTimeItOpens) {
    showAndChooseAtol();
    wizard->manualSetup->click();
    EXPECT_EQ(wizard->PortField->count(), 0);

    // A register plugged in while the wizard is open shows up the next time the list opens.
    plug(Json::array({benchRegister(kSerial, "COM3"), benchRegister("00106900000018", "USB")}));
    wizard->PortField->setEditText("/dev/ttyUSB0");
    wizard->PortField->showPopup();
    wizard->PortField->hidePopup();
    ASSERT_EQ(wizard->PortField->count(), 2);
    EXPECT_EQ(wizard->PortField->itemText(0), "/dev/ttyUSB0");
    EXPECT_EQ(wizard->PortField->itemData(0, Qt::ToolTipRole).toString(),
              "/dev/ttyUSB0 (не найден)");
    EXPECT_EQ(wizard->PortField->itemText(1), "COM3");
    EXPECT_EQ(wizard->PortField->currentText(), "/dev/ttyUSB0") << "the typed name stays";

    wizard->PortField->setCurrentIndex(1);
    wizard->TestButton->click();
    EXPECT_EQ(text(wizard->serialInfo), kSerial);
}

TEST_F(WizardTest, EnrolmentStoresTheRegisterAndFinishes) {
    stub.answerJson("cashbox", enrolAnswer({{"result", true}}));
    showAndChooseAtol();
    wizard->automaticSearch->click();
    enrol();

    EXPECT_EQ(page(), wizard->parametersPage);
    EXPECT_EQ(wizard->progressBar->value(), 100);
    EXPECT_EQ(text(wizard->StatusCaption), "Готово!");
    EXPECT_EQ(text(wizard->ErrorCaption), "");
    EXPECT_TRUE(wizard->NextButton->isEnabled());
    EXPECT_FALSE(wizard->BackButton->isEnabled());
    EXPECT_EQ(dialogs.count(), 0u);

    const auto requests = stub.requests();
    ASSERT_EQ(requests.size(), 1u);
    std::vector<std::string> members;
    for (const auto& [key, value] : requests[0].body.items())
        members.push_back(key);
    EXPECT_EQ(members,
              (std::vector<std::string>{"Driver", "cashbox", "status", "fn", "reg", "add"}));
    EXPECT_EQ(requests[0].body["Driver"], "Атол");
    EXPECT_EQ(requests[0].body["add"], "1");
    EXPECT_EQ(requests[0].body["cashbox"]["deviceInfo"]["serial"], kSerial);

    CashboxSettings expected;
    expected.KKTSerial = kSerial;
    expected.Driver = "Атол";
    expected.ConnectionType = "USB";
    expected.autostart = true;
    EXPECT_EQ(storedRecord(), expected);
    EXPECT_NE(dir.read("settings.ini").find("Autostart=1"), std::string::npos);

    wizard->nextAction->trigger();
    EXPECT_EQ(page(), wizard->donePage);
    EXPECT_EQ(wizard->CancelButton->text(), "Готово");
    EXPECT_FALSE(wizard->NextButton->isVisible());
    wizard->cancelAction->trigger();
    EXPECT_FALSE(wizard->isVisible());
    EXPECT_TRUE(wizard->success());
}

TEST_F(WizardTest, ServiceRefusingTheRegisterLeavesOnlyCancel) {
    stub.answerJson("cashbox", enrolAnswer({{"result", false}}));
    showAndChooseAtol();
    wizard->automaticSearch->click();
    enrol();
    EXPECT_EQ(wizard->progressBar->value(), 60);
    EXPECT_EQ(text(wizard->StatusCaption), "Создание кассы в сервисе...");
    EXPECT_FALSE(wizard->NextButton->isEnabled());
    EXPECT_FALSE(wizard->BackButton->isEnabled());
    EXPECT_TRUE(wizard->CancelButton->isEnabled());
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_TRUE(settings->serials().empty());
}

TEST_F(WizardTest, AnswersWithoutResultFailTheEnrolment) {
    struct Case {
        Json answer;
        std::vector<std::string> boxes;
    };
    const Case cases[] = {
        {enrolAnswer(Json::object()), {"Касса не может быть добавлена"}},
        {enrolAnswer({{"result", "yes"}}), {"Касса не может быть добавлена"}},
        {Json{{"status", 409}, {"message", "Касса уже есть"}},
         {"Error: Касса уже есть", "Касса не может быть добавлена"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(dumpCompact(c.answer));
        dialogs.clear();
        stub.answerJson("cashbox", c.answer);
        showAndChooseAtol();
        wizard->automaticSearch->click();
        enrol();
        EXPECT_EQ(dialogs.texts(), c.boxes);
        EXPECT_EQ(dialogs.boxes().back().kind, BoxKind::Error);
        EXPECT_EQ(text(wizard->ErrorCaption), "Касса не может быть добавлена");
        EXPECT_TRUE(wizard->BackButton->isVisible());
        EXPECT_TRUE(wizard->BackButton->isEnabled());
        EXPECT_TRUE(settings->serials().empty());
        wizard->cancelAction->trigger();
    }
}

TEST_F(WizardTest, RegisterUnpluggedDuringTheEnrolment) {
    AutomationRegistry unplugging;
    unplugging.registerProgId(kFptrProgId, [this] {
        // The third task of the enrolment (getDeviceInfo of the check is the first).
        return std::make_unique<UnplugBeforeTask>(
            registry.create(kFptrProgId), [this] { plug(Json::array()); }, 4);
    });
    makeWizard(unplugging);
    showAndChooseAtol();
    wizard->automaticSearch->click();
    ASSERT_TRUE(wizard->NextButton->isEnabled());
    enrol();

    EXPECT_EQ(text(wizard->StatusCaption), "Запрос информации о ФН...");
    EXPECT_EQ(wizard->progressBar->value(), 30);
    EXPECT_EQ(text(wizard->ErrorCaption), "Нет связи с кассой");
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Нет связи с кассой"});
    EXPECT_TRUE(wizard->BackButton->isEnabled());
    EXPECT_EQ(stub.requests().size(), 0u);

    wizard->backAction->trigger();
    EXPECT_EQ(page(), wizard->connectionPage);
    EXPECT_FALSE(wizard->NextButton->isEnabled());
}

TEST_F(WizardTest, SecondShowingStartsAtTheGreetingWithTheDriverKept) {
    showAndChooseAtol();
    wizard->automaticSearch->click();
    CashboxDriver* driver = wizard->driver();
    wizard->cancelAction->trigger();
    EXPECT_FALSE(wizard->success());

    wizard->show();
    EXPECT_EQ(page(), wizard->greetingPage);
    EXPECT_EQ(wizard->CancelButton->text(), "Отмена");
    EXPECT_EQ(wizard->driverCombo->currentText(), "Атол");
    EXPECT_EQ(wizard->driver(), driver);
    wizard->nextAction->trigger();
    EXPECT_EQ(text(wizard->serialInfo), kSerial);
    EXPECT_FALSE(wizard->NextButton->isEnabled());
}

TEST_F(WizardTest, CancelDuringTheEnrolmentEndsWithoutSuccess) {
    // The service holds its answer until the test lets it go.
    std::mutex mutex;
    std::condition_variable released;
    bool answer = false;
    stub.answer("cashbox", [&](const Json&) {
        std::unique_lock lock(mutex);
        released.wait_for(lock, std::chrono::seconds(30), [&] { return answer; });
        return enrolAnswer({{"result", true}});
    });
    showAndChooseAtol();
    wizard->automaticSearch->click();
    wizard->nextAction->trigger();
    wizard->cancelAction->trigger();
    EXPECT_FALSE(wizard->isVisible());
    EXPECT_FALSE(wizard->success());

    // Shown again while the first enrolment still runs: its driver is not used twice, and
    // the old run's "Готово!" never enables "Далее >" of the new showing.
    wizard->show();
    wizard->nextAction->trigger();
    ASSERT_TRUE(wizard->enrolmentRunning());
    wizard->automaticSearch->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{kEnrolmentBusyMessage});
    {
        std::lock_guard lock(mutex);
        answer = true;
    }
    released.notify_all();
    waitForEnrolment();
    EXPECT_FALSE(wizard->enrolmentRunning());
    EXPECT_EQ(page(), wizard->connectionPage);
    EXPECT_FALSE(wizard->NextButton->isEnabled());
    EXPECT_EQ(text(wizard->StatusCaption), "");
    EXPECT_FALSE(wizard->success());
    // The enrolment itself went on and stored the register.
    EXPECT_EQ(storedRecord().KKTSerial, kSerial);
}

TEST_F(WizardTest, EnrolmentWhileTheSharedClientIsBusyOnTheUiThread) {
    // The enrolment's request is answered only once the shared client's request has arrived,
    // so both are under way at the same time. Had the shared request waited for the enrolment,
    // the enrolment is refused and the wait counts as timed out.
    std::mutex mutex;
    std::condition_variable arrived;
    bool sharedRequestSeen = false;
    bool enrolmentTimedOut = false;
    stub.answer("cashbox", [&](const Json& body) {
        std::unique_lock lock(mutex);
        if (body.contains("add")) {
            const bool both =
                arrived.wait_for(lock, std::chrono::seconds(30), [&] { return sharedRequestSeen; });
            enrolmentTimedOut = !both;
            return enrolAnswer({{"result", both}});
        }
        sharedRequestSeen = true;
        arrived.notify_all();
        return Json{{"status", 200}, {"data", Json::object()}};
    });
    showAndChooseAtol();
    wizard->automaticSearch->click();
    wizard->nextAction->trigger();
    const Json report = {{"Driver", "Атол"}, {"cashbox", Json::object()}};
    shared->executeDelay("cashbox", report);
    waitForEnrolment();

    EXPECT_FALSE(enrolmentTimedOut) << "the shared request waited for the enrolment";
    EXPECT_EQ(text(wizard->StatusCaption), "Готово!");
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_EQ(stub.count("cashbox"), 2u);
    int requestLines = 0;
    for (const auto& line : logLines())
        requestLines += line.rfind(std::string(kRequestLogMarker) + "cashbox", 0) == 0 ? 1 : 0;
    EXPECT_EQ(requestLines, 2);
}

TEST_F(WizardTest, NoDriverChosen) {
    wizard->show();
    wizard->nextAction->trigger();
    EXPECT_THROW(wizard->testConnection(), EnrolmentError);
    wizard->manualVisible(true);
    wizard->TestButton->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Сначала необходимо выбрать тип драйвера"});
}

TEST(WizardWithSandbox, EnrolledRegisterJoinsTheAccount) {
    application();
    sandbox::SandboxOptions options;
    options.seed = {{"accounts", Json::array({{{"login", "shop@example.org"},
                                               {"password", "secret"},
                                               {"token", "account-token"},
                                               {"salepoints", Json::array()}}})}};
    sandbox::SandboxServer service(options);
    const int port = service.start();
    TempDir dir;
    dir.write("emulator.json",
              dumpCompact(Json{{"registers", Json::array({benchRegister(kSerial, "USB")})}}));
    dir.write("settings.ini", "[auth]\ntoken=account-token\n[system]\nTestMode=1\nTestUrl=" +
                                  std::string("http://127.0.0.1:") + std::to_string(port) +
                                  "/dispatcher/v1\n");
    AppSettings settings(dir.path());
    AutomationRegistry registry;
    installRegisterBackend(registry, "emulator", dir.path());
    RecordingDialogs dialogs;
    DispatcherClient shared(dialogs);
    shared.setSettings(&settings);
    AddCashboxWizard wizard(dialogs, registry, shared);
    wizard.setSettings(&settings);
    wizard.setFinishPause(std::chrono::milliseconds(0));

    wizard.show();
    wizard.nextAction->trigger();
    wizard.driverCombo->setCurrentIndex(0);
    wizard.automaticSearch->click();
    wizard.nextAction->trigger();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();

    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{});
    EXPECT_EQ(text(wizard.StatusCaption), "Готово!");
    EXPECT_EQ(service.state().registerSerials(), std::vector<std::string>{kSerial});
    EXPECT_EQ(AppSettings(dir.path()).serials(), std::vector<std::string>{kSerial});
}

}  // namespace
}  // namespace th
