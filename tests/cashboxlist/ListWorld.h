#pragma once
// The whole program around a temporary data directory, headless, against the register
// emulator and a dispatcher on 127.0.0.1.
#include <QIcon>
#include <QSystemTrayIcon>

#include <chrono>
#include <optional>
#include <thread>

#include "app/CashboxTableModel.h"
#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxTestKit.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "settings/AppSettings.h"

namespace th::test {

// The program around a temporary data directory, its start sequence skipped: the client
// window has the settings, as after a successful login.
class ListWorld {
public:
    // With offeredVersion the start-up update check runs and the service offers that version.
    ListWorld(const std::vector<RecordSpec>& records, const std::vector<Json>& bench,
              const std::optional<std::string>& offeredVersion = std::nullopt) {
        ensureQtApplication();
        std::string settings = settingsIniText(dispatcher.baseUrl(), records);
        if (offeredVersion) {
            settings.replace(settings.find("KeepVersion=1"), 13, "KeepVersion=0");
            dispatcher.answer("swversion",
                              {{"status", 200}, {"data", {{"new_version", *offeredVersion}}}});
        }
        home.write("settings.ini", settings);
        home.write("emulator.json", benchText(bench));
        createJournalFile(home.file(kJournalFileName));
        app = std::make_unique<TillhavenApp>(
            dialogs, [](QDialog&) { return 0; }, [] {}, DataPaths{home.path(), home.path()});
        app->requestLogWindow().setSettings(&form().appSettings());
        // The desktop has a tray here: its balloons count as shown.
        form().setTrayProbe([] { return true; });
        waitForStartUpCheck();
    }

    // The start-up update check runs off the user-interface thread; its outcome comes back
    // through the message loop.
    void waitForStartUpCheck() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (form().isBusy() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        QCoreApplication::processEvents();
    }

    MainWindow& form() { return app->mainWindow(); }
    void answerSalePoints(const Json& points) {
        dispatcher.answer("getsalepoints", {{"status", 200}, {"message", ""}, {"data", points}});
    }
    std::vector<std::string> column(int column) {
        std::vector<std::string> texts;
        CashboxTableModel& model = form().cashboxModel();
        for (int row = 0; row < model.rowCount(); ++row)
            texts.push_back(model.index(row, column).data().toString().toStdString());
        return texts;
    }
    std::vector<std::string> windowSerials() {
        std::vector<std::string> serials;
        for (const auto& cashbox : form().cashboxes())
            serials.push_back(cashbox->serial());
        return serials;
    }
    CashboxRecord& record(const std::string& serial) {
        CashboxRecord* found = form().findCashbox(serial);
        if (!found)
            throw std::runtime_error("no record for " + serial);
        return *found;
    }
    // Waits for every register's worker, and for what they reported.
    void settleAll() {
        for (const auto& cashbox : form().cashboxes())
            settle(*cashbox);
    }
    bool trayIs(const QIcon& icon) {
        return form().trayIcon().icon().cacheKey() == icon.cacheKey();
    }

    TestDispatcher dispatcher;
    TempDir home;
    RecordingDialogs dialogs;
    std::unique_ptr<TillhavenApp> app;
};

using Strings = std::vector<std::string>;

}  // namespace th::test
