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
#include <filesystem>
#include <memory>
#include <mutex>

#include "../updater/DispatcherStub.h"
#include "dispatcher/DispatcherClient.h"
#include "drivers/AtolDriver.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"
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
        control<QAction>(*wizard, "nextAction")->trigger();
        control<QComboBox>(*wizard, "driverCombo")->setCurrentIndex(0);
    }
    void enrol() {
        control<QAction>(*wizard, "nextAction")->trigger();
        waitForEnrolment();
    }
    static void waitForEnrolment() {
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }
    QWidget* page() const { return control<QStackedWidget>(*wizard, "pages")->currentWidget(); }
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
    EXPECT_EQ(page(), control<QWidget>(*wizard, "greetingPage"));
    EXPECT_TRUE(control<QAction>(*wizard, "nextAction")->isEnabled());
    EXPECT_FALSE(control<QPushButton>(*wizard, "backButton")->isVisible());
    control<QAction>(*wizard, "nextAction")->trigger();
    EXPECT_EQ(page(), control<QWidget>(*wizard, "connectionPage"));
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    EXPECT_EQ(text(control<QLabel>(*wizard, "modelLabel")), "modelINfo");
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), "serialInfo");
    EXPECT_FALSE(control<QRadioButton>(*wizard, "automaticSearchRadio")->isEnabled());
    EXPECT_FALSE(control<QGroupBox>(*wizard, "settingsBox")->isEnabled());
    // The bench has no register on a COM port: no port to offer.
    EXPECT_EQ(control<QComboBox>(*wizard, "portCombo")->count(), 0);
    EXPECT_TRUE(control<QComboBox>(*wizard, "portCombo")->currentText().isEmpty());
    EXPECT_EQ(control<QComboBox>(*wizard, "speedCombo")->currentText(), "115200");
    EXPECT_EQ(control<QComboBox>(*wizard, "parityCombo")->count(), 5);

    control<QComboBox>(*wizard, "driverCombo")->setCurrentIndex(0);
    ASSERT_NE(wizard->driver(), nullptr);
    EXPECT_TRUE(wizard->driver()->testMode());
    EXPECT_FALSE(text(control<QLabel>(*wizard, "driverVersionLabel")).empty());
    EXPECT_TRUE(control<QRadioButton>(*wizard, "automaticSearchRadio")->isEnabled());
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{});
    EXPECT_EQ(text(control<QLabel>(*wizard, "modelLabel")), "АТОЛ 30Ф");
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), kSerial);
    EXPECT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    EXPECT_FALSE(wizard->driver()->isConnected());
}

TEST_F(WizardTest, DetectionWithoutARegisterKeepsNextDisabled) {
    plug(Json::array());
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Невозможно подключиться к кассе"});
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), "");
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
}

TEST_F(WizardTest, ManualParametersAreTestedAndStored) {
    plug(Json::array({benchRegister(kSerial, "COM3")}));
    stub.answerJson("cashbox", enrolAnswer({{"result", true}}));
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "manualSetupRadio")->click();
    EXPECT_TRUE(control<QGroupBox>(*wizard, "settingsBox")->isEnabled());
    EXPECT_TRUE(control<QPushButton>(*wizard, "testButton")->isEnabled());
    EXPECT_EQ(text(control<QLabel>(*wizard, "modelLabel")), "");

    control<QComboBox>(*wizard, "portCombo")->setCurrentText("COM3");
    control<QComboBox>(*wizard, "speedCombo")->setCurrentText("9600");
    control<QComboBox>(*wizard, "parityCombo")->setCurrentText("Четность");
    control<QPushButton>(*wizard, "testButton")->click();
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), kSerial);
    ASSERT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());

    // A failing test after a successful one leaves the earlier result in place.
    control<QComboBox>(*wizard, "portCombo")->setCurrentText("COM5");
    control<QPushButton>(*wizard, "testButton")->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Невозможно подключиться к кассе"});
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), kSerial);
    EXPECT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());

    // What is stored is what the last successful test used, not a field edited since.
    control<QComboBox>(*wizard, "speedCombo")->setCurrentText("19200");
    enrol();
    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
    const CashboxSettings record = storedRecord();
    EXPECT_EQ(record.connectionType, "COM");
    EXPECT_EQ(record.comPort, "COM3");
    EXPECT_EQ(record.baudRate, "9600");
    EXPECT_EQ(record.dataBits, "8");
    EXPECT_EQ(record.stopBits, "1 бит");
    EXPECT_EQ(record.parity, "Четность");
    EXPECT_TRUE(record.autostart);
}

TEST_F(WizardTest, PortListIsReadAgainEachTimeItOpens) {
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "manualSetupRadio")->click();
    EXPECT_EQ(control<QComboBox>(*wizard, "portCombo")->count(), 0);

    // A register plugged in while the wizard is open shows up the next time the list opens.
    plug(Json::array({benchRegister(kSerial, "COM3"), benchRegister("00106900000018", "USB")}));
    control<QComboBox>(*wizard, "portCombo")->setEditText("/dev/ttyUSB0");
    control<QComboBox>(*wizard, "portCombo")->showPopup();
    control<QComboBox>(*wizard, "portCombo")->hidePopup();
    ASSERT_EQ(control<QComboBox>(*wizard, "portCombo")->count(), 2);
    EXPECT_EQ(control<QComboBox>(*wizard, "portCombo")->itemText(0), "/dev/ttyUSB0");
    EXPECT_EQ(control<QComboBox>(*wizard, "portCombo")->itemData(0, Qt::ToolTipRole).toString(),
              "/dev/ttyUSB0 (не найден)");
    EXPECT_EQ(control<QComboBox>(*wizard, "portCombo")->itemText(1), "COM3");
    EXPECT_EQ(control<QComboBox>(*wizard, "portCombo")->currentText(), "/dev/ttyUSB0")
        << "the typed name stays";

    control<QComboBox>(*wizard, "portCombo")->setCurrentIndex(1);
    control<QPushButton>(*wizard, "testButton")->click();
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), kSerial);
}

TEST_F(WizardTest, EnrolmentStoresTheRegisterAndFinishes) {
    stub.answerJson("cashbox", enrolAnswer({{"result", true}}));
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    enrol();

    EXPECT_EQ(page(), control<QWidget>(*wizard, "parametersPage"));
    EXPECT_EQ(control<QProgressBar>(*wizard, "progressBar")->value(), 100);
    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
    EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), "");
    EXPECT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    EXPECT_FALSE(control<QPushButton>(*wizard, "backButton")->isEnabled());
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
    expected.serial = kSerial;
    expected.driver = "Атол";
    expected.connectionType = "USB";
    expected.autostart = true;
    EXPECT_EQ(storedRecord(), expected);
    EXPECT_NE(dir.read("settings.ini").find("Autostart=1"), std::string::npos);

    control<QAction>(*wizard, "nextAction")->trigger();
    EXPECT_EQ(page(), control<QWidget>(*wizard, "donePage"));
    EXPECT_EQ(control<QPushButton>(*wizard, "cancelButton")->text(), "Готово");
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isVisible());
    control<QAction>(*wizard, "cancelAction")->trigger();
    EXPECT_FALSE(wizard->isVisible());
    EXPECT_TRUE(wizard->success());
}

// A refusal is no dead end: the user reads the service's reason (or the general one) and
// can go back to check another register, or cancel.
TEST_F(WizardTest, ServiceRefusingTheRegisterSaysWhyAndLetsTheUserGoBack) {
    struct Case {
        Json answer;
        std::string reason;
    };
    const Case cases[] = {
        {enrolAnswer({{"result", false}}), "Касса не может быть добавлена"},
        {Json{{"status", 200}, {"message", ""}, {"data", {{"result", false}}}},
         "Касса не может быть добавлена"},
        {Json{{"status", 200},
              {"message", "Касса зарегистрирована в другом аккаунте"},
              {"data", {{"result", false}}}},
         "Касса зарегистрирована в другом аккаунте"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(dumpCompact(c.answer));
        dialogs.clear();
        stub.answerJson("cashbox", c.answer);
        showAndChooseAtol();
        control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
        enrol();
        ASSERT_EQ(dialogs.texts(), std::vector<std::string>{c.reason});
        EXPECT_EQ(dialogs.boxes().back().kind, BoxKind::Error);
        EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), c.reason);
        EXPECT_NE(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
        EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
        EXPECT_TRUE(control<QPushButton>(*wizard, "backButton")->isEnabled());
        EXPECT_TRUE(control<QPushButton>(*wizard, "cancelButton")->isEnabled());
        EXPECT_TRUE(settings->serials().empty());

        control<QAction>(*wizard, "backAction")->trigger();
        EXPECT_EQ(page(), control<QWidget>(*wizard, "connectionPage"));
        control<QAction>(*wizard, "cancelAction")->trigger();
        EXPECT_FALSE(wizard->success());
    }
}

// settings.ini cannot be written (here it became a folder, which stops root too): the
// register is enrolled at the service but not stored, so the wizard must not say it is done.
TEST_F(WizardTest, SettingsThatCannotBeSavedAreReportedAndNeverFinish) {
    stub.answerJson("cashbox", enrolAnswer({{"result", true}}));
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    std::filesystem::remove(dir.file("settings.ini"));
    std::filesystem::create_directory(dir.file("settings.ini"));
    enrol();

    const std::string failure = "Unable to write to " + dir.file("settings.ini").string();
    ASSERT_EQ(dialogs.texts(), std::vector<std::string>{failure});
    EXPECT_EQ(dialogs.boxes().back().kind, BoxKind::Error);
    EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), failure);
    EXPECT_NE(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
    EXPECT_NE(control<QProgressBar>(*wizard, "progressBar")->value(), 100);
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    EXPECT_TRUE(control<QPushButton>(*wizard, "backButton")->isEnabled());
    control<QAction>(*wizard, "cancelAction")->trigger();
    EXPECT_FALSE(wizard->success());
}

// "Готово!" means the register is stored: leaving with "Отмена" then still lists it.
TEST_F(WizardTest, CancelAfterTheRegisterWasStoredStillCountsAsSuccess) {
    stub.answerJson("cashbox", enrolAnswer({{"result", true}}));
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    enrol();
    ASSERT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
    control<QAction>(*wizard, "cancelAction")->trigger();
    EXPECT_FALSE(wizard->isVisible());
    EXPECT_TRUE(wizard->success());

    // The next showing is a new one: nothing stored yet.
    wizard->show();
    EXPECT_FALSE(wizard->success());
}

TEST_F(WizardTest, ARegisterFoundThatIsListedAlreadyIsNamed) {
    std::vector<std::string> asked;
    wizard->setListedCheck([&](const std::string& serial) {
        asked.push_back(serial);
        return serial == kSerial;
    });
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    EXPECT_EQ(asked, std::vector<std::string>{kSerial});
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].kind, BoxKind::Information);
    EXPECT_EQ(dialogs.boxes()[0].text, std::string("Эта касса уже есть в списке: ") + kSerial);
    // Found all the same: the user may still go on, to set it up here again.
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), kSerial);
    EXPECT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());

    // Another register is not named.
    dialogs.clear();
    wizard->setListedCheck([](const std::string&) { return false; });
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    EXPECT_EQ(dialogs.count(), 0u);
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
        control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
        enrol();
        EXPECT_EQ(dialogs.texts(), c.boxes);
        EXPECT_EQ(dialogs.boxes().back().kind, BoxKind::Error);
        EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), "Касса не может быть добавлена");
        EXPECT_TRUE(control<QPushButton>(*wizard, "backButton")->isVisible());
        EXPECT_TRUE(control<QPushButton>(*wizard, "backButton")->isEnabled());
        EXPECT_TRUE(settings->serials().empty());
        control<QAction>(*wizard, "cancelAction")->trigger();
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
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    ASSERT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    enrol();

    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "Запрос информации о ФН...");
    EXPECT_EQ(control<QProgressBar>(*wizard, "progressBar")->value(), 30);
    EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), "Нет связи с кассой");
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Нет связи с кассой"});
    EXPECT_TRUE(control<QPushButton>(*wizard, "backButton")->isEnabled());
    EXPECT_EQ(stub.requests().size(), 0u);

    control<QAction>(*wizard, "backAction")->trigger();
    EXPECT_EQ(page(), control<QWidget>(*wizard, "connectionPage"));
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
}

TEST_F(WizardTest, SecondShowingStartsAfreshAtTheGreeting) {
    stub.answerJson("cashbox", enrolAnswer({{"result", false}}));
    showAndChooseAtol();
    control<QRadioButton>(*wizard, "manualSetupRadio")->click();
    control<QComboBox>(*wizard, "speedCombo")->setCurrentText("9600");
    control<QComboBox>(*wizard, "parityCombo")->setCurrentText("Четность");
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    enrol();  // refused: the parameters page shows the error
    ASSERT_FALSE(text(control<QLabel>(*wizard, "errorLabel")).empty());
    control<QAction>(*wizard, "cancelAction")->trigger();
    EXPECT_FALSE(wizard->success());

    wizard->show();
    EXPECT_EQ(page(), control<QWidget>(*wizard, "greetingPage"));
    EXPECT_EQ(control<QPushButton>(*wizard, "cancelButton")->text(), "Отмена");
    control<QAction>(*wizard, "nextAction")->trigger();
    EXPECT_EQ(control<QComboBox>(*wizard, "driverCombo")->currentText(), "");
    EXPECT_EQ(wizard->driver(), nullptr);
    EXPECT_FALSE(control<QRadioButton>(*wizard, "automaticSearchRadio")->isChecked());
    EXPECT_FALSE(control<QRadioButton>(*wizard, "manualSetupRadio")->isChecked());
    EXPECT_FALSE(control<QRadioButton>(*wizard, "automaticSearchRadio")->isEnabled());
    EXPECT_EQ(text(control<QLabel>(*wizard, "modelLabel")), "modelINfo");
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), "serialInfo");
    EXPECT_FALSE(control<QGroupBox>(*wizard, "settingsBox")->isEnabled());
    EXPECT_EQ(control<QComboBox>(*wizard, "speedCombo")->currentText(), "115200");
    EXPECT_EQ(control<QComboBox>(*wizard, "parityCombo")->currentText(), "Нет");
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), "");
    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "");
    EXPECT_EQ(control<QProgressBar>(*wizard, "progressBar")->value(), 0);

    // A driver chosen again finds the register as on the first showing.
    control<QComboBox>(*wizard, "driverCombo")->setCurrentIndex(0);
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    EXPECT_EQ(text(control<QLabel>(*wizard, "serialLabel")), kSerial);
    EXPECT_TRUE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
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
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    control<QAction>(*wizard, "nextAction")->trigger();
    control<QAction>(*wizard, "cancelAction")->trigger();
    EXPECT_FALSE(wizard->isVisible());
    EXPECT_FALSE(wizard->success());

    // Shown again while the first enrolment still runs: no check starts meanwhile, and the
    // old run's "Готово!" never enables "Далее >" of the new showing.
    showAndChooseAtol();
    ASSERT_TRUE(wizard->enrolmentRunning());
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{kEnrolmentBusyMessage});
    {
        std::lock_guard lock(mutex);
        answer = true;
    }
    released.notify_all();
    waitForEnrolment();
    EXPECT_FALSE(wizard->enrolmentRunning());
    EXPECT_EQ(page(), control<QWidget>(*wizard, "connectionPage"));
    EXPECT_FALSE(control<QPushButton>(*wizard, "nextButton")->isEnabled());
    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "");
    EXPECT_FALSE(wizard->success());
    // The enrolment itself went on and stored the register.
    EXPECT_EQ(storedRecord().serial, kSerial);
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
    control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
    control<QAction>(*wizard, "nextAction")->trigger();
    const Json report = {{"Driver", "Атол"}, {"cashbox", Json::object()}};
    shared->executeDelay("cashbox", report);
    waitForEnrolment();

    EXPECT_FALSE(enrolmentTimedOut) << "the shared request waited for the enrolment";
    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_EQ(stub.count("cashbox"), 2u);
    int requestLines = 0;
    for (const auto& line : logLines())
        requestLines += line.rfind(std::string(kRequestLogMarker) + "cashbox", 0) == 0 ? 1 : 0;
    EXPECT_EQ(requestLines, 2);
}

TEST_F(WizardTest, NoDriverChosen) {
    wizard->show();
    control<QAction>(*wizard, "nextAction")->trigger();
    EXPECT_THROW(wizard->testConnection(), EnrolmentError);
    wizard->enableManualSetup(true);
    control<QPushButton>(*wizard, "testButton")->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Сначала необходимо выбрать тип драйвера"});
}

// The wizard against the sandbox service, with one emulated register on USB; a search for
// it enrols it in the account "shop@example.org".
class WizardWithSandbox : public ::testing::Test {
protected:
    void start(bool refuseEnrolment) {
        application();
        sandbox::SandboxOptions options;
        options.seed = {{"accounts", Json::array({{{"login", "shop@example.org"},
                                                   {"password", "secret"},
                                                   {"token", "account-token"},
                                                   {"salepoints", Json::array()}}})}};
        options.refuseEnrolment = refuseEnrolment;
        service = std::make_unique<sandbox::SandboxServer>(options);
        const int port = service->start();
        dir.write("emulator.json",
                  dumpCompact(Json{{"registers", Json::array({benchRegister(kSerial, "USB")})}}));
        dir.write("settings.ini", "[auth]\ntoken=account-token\n[system]\nTestMode=1\nTestUrl=" +
                                      std::string("http://127.0.0.1:") + std::to_string(port) +
                                      "/dispatcher/v1\n");
        settings = std::make_unique<AppSettings>(dir.path());
        installRegisterBackend(registry, "emulator", dir.path());
        shared = std::make_unique<DispatcherClient>(dialogs);
        shared->setSettings(settings.get());
        wizard = std::make_unique<AddCashboxWizard>(dialogs, registry, *shared);
        wizard->setSettings(settings.get());
        wizard->setFinishPause(std::chrono::milliseconds(0));
    }

    // Finds the register automatically and waits for the enrolment to end.
    void searchAndEnrol() {
        wizard->show();
        control<QAction>(*wizard, "nextAction")->trigger();
        control<QComboBox>(*wizard, "driverCombo")->setCurrentIndex(0);
        control<QRadioButton>(*wizard, "automaticSearchRadio")->click();
        control<QAction>(*wizard, "nextAction")->trigger();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }

    std::unique_ptr<sandbox::SandboxServer> service;
    TempDir dir;
    AutomationRegistry registry;
    RecordingDialogs dialogs;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<DispatcherClient> shared;
    std::unique_ptr<AddCashboxWizard> wizard;
};

TEST_F(WizardWithSandbox, EnrolledRegisterJoinsTheAccount) {
    start(false);
    searchAndEnrol();

    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{});
    EXPECT_EQ(text(control<QLabel>(*wizard, "statusLabel")), "Готово!");
    EXPECT_EQ(service->state().registerSerials(), std::vector<std::string>{kSerial});
    EXPECT_EQ(AppSettings(dir.path()).serials(), std::vector<std::string>{kSerial});
}

// The sandbox set to refuse enrolments: the wizard says so and lets the user go back.
TEST_F(WizardWithSandbox, ARefusedEnrolmentIsExplainedAndNotStored) {
    start(true);
    searchAndEnrol();

    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Касса не может быть добавлена"});
    EXPECT_EQ(text(control<QLabel>(*wizard, "errorLabel")), "Касса не может быть добавлена");
    EXPECT_TRUE(control<QPushButton>(*wizard, "backButton")->isEnabled());
    EXPECT_TRUE(service->state().registerSerials().empty());
    EXPECT_TRUE(AppSettings(dir.path()).serials().empty());
    control<QAction>(*wizard, "backAction")->trigger();
    EXPECT_EQ(control<QStackedWidget>(*wizard, "pages")->currentWidget(),
              control<QWidget>(*wizard, "connectionPage"));
}

}  // namespace
}  // namespace th
