// Writes pictures of the main window and of a cashbox window for the README: the program
// assembled as the entry point does it, against the sandbox with the demo account and the
// register emulator, where the second register is unplugged. Run under xvfb-run:
//   xvfb-run -a app_screenshots <directory>
#include "SandboxServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTableView>
#include <QToolTip>
#include <QTemporaryDir>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/MainWindow.h"
#include "app/CashboxTableModel.h"
#include "app/TillhavenApp.h"
#include "auth/LoginDialog.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxWindow.h"
#include "cashbox/TaskJournal.h"
#include "platform/Dialogs.h"
#include "platform/Json.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsbSerial = "00106700000001";
constexpr const char* kComSerial = "00106700000002";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void save(QWidget& window, const fs::path& file) {
    QCoreApplication::processEvents();
    window.grab().save(QString::fromStdString(file.string()));
    std::printf("%s\n", file.c_str());
}

// Lets the program run (timers, connections, exchanges) until done() holds or the time is up.
bool runUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

// The demo bench with the COM register unplugged.
std::string emulatorBench() {
    th::Json bench =
        th::Json::parse(readFile(fs::path(TH_SOURCE_DIR) / "src/emulator/demo-emulator.json"));
    for (auto& reg : bench["registers"])
        if (reg.value("serial", "") == kComSerial)
            reg["reachable"] = false;
    return bench.dump(2);
}

std::string settingsIni(const th::Json& account, int port) {
    std::ostringstream ini;
    ini << "[auth]\ntoken=" << account["token"].get<std::string>() << "\n"
        << "[system]\nTestMode=1\nKeepVersion=1\nRegisterDriver=emulator\n"
        << "TestUrl=http://127.0.0.1:" << port << "/dispatcher/v1\n"
        << "[cashboxes]\nserials=" << kUsbSerial << "," << kComSerial << "\n";
    for (const auto& point : account["salepoints"]) {
        const std::string serial = point["kkt_serial"];
        const bool usb = serial == kUsbSerial;
        ini << "[" << serial << "]\nToken=" << point["token"].get<std::string>()
            << "\nAddress=" << point["address"].get<std::string>()
            << "\nPlace=" << point["place"].get<std::string>() << "\nKKTSerial=" << serial
            << "\nDriver=Атол\nConnectionType=" << (usb ? "USB" : "COM")
            << "\nComPort=" << (usb ? "" : "COM3") << "\nAutostart=1\n";
    }
    return ini.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    const fs::path out = argv[1];
    fs::create_directories(out);
    QTemporaryDir dataDir;
    const fs::path data = dataDir.path().toStdString();

    th::sandbox::SandboxOptions options;
    options.seed = th::Json::parse(readFile(fs::path(TH_SOURCE_DIR) / "sandbox/demo-seed.json"));
    th::sandbox::SandboxServer service(options);
    const int port = service.start();
    std::ofstream(data / "emulator.json") << emulatorBench();
    std::ofstream(data / "settings.ini") << settingsIni(options.seed["accounts"][0], port);
    th::createJournalFile(data / "checks.db");

    th::RecordingDialogs dialogs;
    th::TillhavenApp app(
        dialogs, [](QDialog&) { return int(QDialog::Rejected); }, [] {}, th::DataPaths{data, data});
    th::MainWindow& main = app.mainWindow();
    main.show();
    auto connected = [&] {
        return main.cashboxes().size() == 2 && main.cashboxes()[0]->isConnected();
    };
    if (!runUntil(connected, 30000)) {
        std::fprintf(stderr, "the USB register did not connect\n");
        return 1;
    }
    // A few exchange cycles, so the window's status bar and the log have something to show.
    runUntil([] { return false; }, 6000);
    save(main, out / "main-window.png");

    // The pointer resting on a cut address: its whole text as the cell's tooltip, drawn in a
    // window of its own, so the screen around the main window is taken.
    auto* table = main.findChild<QTableView*>("cashboxTable");
    const QModelIndex address = table->model()->index(0, th::CashboxTableModel::AddressColumn);
    const QRect cell = table->visualRect(address);
    QToolTip::showText(table->viewport()->mapToGlobal(cell.center()),
                       address.data(Qt::ToolTipRole).toString(), table->viewport(), cell);
    runUntil([] { return false; }, 700);
    const QRect area = main.frameGeometry().adjusted(0, 0, 80, 60);
    QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .save(QString::fromStdString((out / "main-window-tooltip.png").string()));
    std::printf("%s\n", (out / "main-window-tooltip.png").c_str());
    QToolTip::hideText();

    th::CashboxWindow& cashbox = main.cashboxWindow(*main.cashboxes()[0]);
    cashbox.show();
    runUntil([] { return false; }, 500);
    save(cashbox, out / "cashbox-window.png");

    cashbox.close();

    // The login dialog as a first start shows it, the demo account typed in.
    th::LoginDialog& login = app.loginDialog();
    login.findChild<QLineEdit*>("loginEdit")->setText("demo@tillhaven.local");
    login.findChild<QLineEdit*>("passwordEdit")->setText("demo");
    login.show();
    runUntil([] { return false; }, 300);
    save(login, out / "login.png");
    login.hide();

    for (const auto& text : dialogs.texts())
        std::fprintf(stderr, "box: %s\n", text.c_str());
    main.stopRegisters();
    return 0;
}
