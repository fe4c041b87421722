// Writes a picture of each wizard page and of the about box, walking the wizard through an
// enrolment with the register emulator and the sandbox. Run under xvfb-run:
//   xvfb-run -a wizard_screenshots <directory>
#include "SandboxServer.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QStackedWidget>
#include <QThreadPool>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dispatcher/DispatcherClient.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"
#include "updater/AboutDialog.h"
#include "wizard/AddCashboxWizard.h"

namespace {

void save(QWidget& window, const std::filesystem::path& file) {
    QCoreApplication::processEvents();
    window.grab().save(QString::fromStdString(file.string()));
    std::printf("%s\n", file.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    const std::filesystem::path data = out / "data";
    std::filesystem::create_directories(data);

    th::sandbox::SandboxOptions options;
    options.seed = {{"accounts", th::Json::array({{{"login", "shop@example.org"},
                                                   {"password", "secret"},
                                                   {"token", "account-token"},
                                                   {"salepoints", th::Json::array()}}})}};
    th::sandbox::SandboxServer service(options);
    const int port = service.start();
    std::ofstream(data / "emulator.json")
        << R"({"registers":[{"serial":"00106900000017","model":"АТОЛ 30Ф","port":"USB"}]})";
    std::ofstream(data / "settings.ini")
        << "[auth]\ntoken=account-token\n[system]\nTestMode=1\nTestUrl=http://127.0.0.1:" << port
        << "/dispatcher/v1\n";

    th::AppSettings settings(data);
    th::AutomationRegistry registry;
    th::installRegisterBackend(registry, "emulator", data);
    th::RecordingDialogs dialogs;
    th::DispatcherClient shared(dialogs);
    shared.setSettings(&settings);
    th::AddCashboxWizard wizard(dialogs, registry, shared);
    wizard.setSettings(&settings);
    wizard.setFinishPause(std::chrono::milliseconds(0));

    wizard.show();
    save(wizard, out / "wizard-1-greetings.png");
    control<QAction>(wizard, "nextAction")->trigger();
    control<QComboBox>(wizard, "driverCombo")->setCurrentIndex(0);
    control<QRadioButton>(wizard, "manualSetupRadio")->click();
    // A register behind a USB serial adapter, as the port list of a real machine offers it.
    control<QComboBox>(wizard, "portCombo")->setEditText("/dev/ttyUSB0");
    save(wizard, out / "wizard-2-connection-manual.png");
    control<QRadioButton>(wizard, "automaticSearchRadio")->click();
    save(wizard, out / "wizard-2-connection.png");
    control<QAction>(wizard, "nextAction")->trigger();
    QThreadPool::globalInstance()->waitForDone();
    save(wizard, out / "wizard-3-params.png");
    control<QAction>(wizard, "nextAction")->trigger();
    save(wizard, out / "wizard-4-congrat.png");

    // The service refusing a register: the reason shown, "< Назад" offered.
    wizard.close();
    th::sandbox::SandboxOptions refusing = options;
    refusing.refuseEnrolment = true;
    th::sandbox::SandboxServer refusingService(refusing);
    const int refusingPort = refusingService.start();
    const std::filesystem::path refusingData = out / "data-refusing";
    std::filesystem::create_directories(refusingData);
    std::filesystem::copy_file(data / "emulator.json", refusingData / "emulator.json",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(refusingData / "settings.ini")
        << "[auth]\ntoken=account-token\n[system]\nTestMode=1\nTestUrl=http://127.0.0.1:"
        << refusingPort << "/dispatcher/v1\n";
    th::AppSettings refusingSettings(refusingData);
    shared.setSettings(&refusingSettings);
    wizard.setSettings(&refusingSettings);
    wizard.show();
    control<QAction>(wizard, "nextAction")->trigger();
    control<QComboBox>(wizard, "driverCombo")->setCurrentIndex(0);
    control<QRadioButton>(wizard, "automaticSearchRadio")->click();
    control<QAction>(wizard, "nextAction")->trigger();
    QThreadPool::globalInstance()->waitForDone();
    save(wizard, out / "wizard-3-refused.png");
    const std::vector<std::string> refusal = {"Касса не может быть добавлена"};

    th::AboutDialog about;
    about.setVersion("1.0.1.0");
    about.show();
    save(about, out / "about.png");
    for (const auto& text : dialogs.texts())
        std::fprintf(stderr, "box: %s\n", text.c_str());
    return dialogs.texts() == refusal ? 0 : 1;
}
