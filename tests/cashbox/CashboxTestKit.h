#pragma once

// What the cashbox window's tests and the register list's tests share: a Qt application, a
// dispatcher on 127.0.0.1, a data directory with settings.ini, an empty journal and the
// emulator's bench, and the process-wide objects a cashbox window is built with.

#include <gtest/gtest.h>

#include "support/LoopbackServer.h"
#include "support/QtTestApp.h"

#include <QApplication>
#include <QElapsedTimer>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxWindow.h"
#include "cashbox/CommandResults.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "drivers/Automation.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "platform/Json.h"
#include "settings/AppSettings.h"
#include "support/EmulatorLog.h"
#include "support/TempDir.h"

namespace th::test {

// The dispatcher on 127.0.0.1 (any free port): records every command's body and answers
// with what the test set for the command, or with status 200 and empty task lists.
class TestDispatcher {
public:
    TestDispatcher() {
        server_.Post(R"(/dispatcher/v1/(\w+))",
                     [this](const httplib::Request& req, httplib::Response& res) {
                         const std::string command = req.matches[1];
                         std::unique_lock lock(mutex_);
                         const Json body = parseJson(req.body).value_or(Json());
                         bodies_[command].push_back(body);
                         changed_.notify_all();
                         // A held register's requests wait until it is released.
                         changed_.wait(lock, [&] { return !isHeld(command, body); });
                         if (failing_.count(command)) {
                             res.status = 500;
                             return;
                         }
                         auto it = answers_.find(command);
                         const Reply reply = it != answers_.end() ? it->second : defaultReply();
                         res.status = reply.httpStatus;
                         res.set_content(reply.body, "application/json");
                     });
        port_ = server_.start();
    }
    ~TestDispatcher() {
        releaseAll();
        server_.shutdown();
    }

    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }
    void answer(const std::string& command, const Json& reply) {
        respond(command, 200, dumpCompact(reply));
    }
    // Any HTTP status and body, a broken one included.
    void respond(const std::string& command, int httpStatus, const std::string& body) {
        std::lock_guard lock(mutex_);
        answers_[command] = {httpStatus, body};
    }
    std::vector<Json> bodies(const std::string& command) const {
        std::lock_guard lock(mutex_);
        auto it = bodies_.find(command);
        return it == bodies_.end() ? std::vector<Json>{} : it->second;
    }
    size_t count(const std::string& command) const { return bodies(command).size(); }
    // The requests of command whose "Serial" is serial.
    size_t countOf(const std::string& command, const std::string& serial) const {
        size_t n = 0;
        for (const Json& body : bodies(command))
            n += body.is_object() && body.value("Serial", "") == serial;
        return n;
    }
    // Answers command with HTTP 500 from now on.
    void fail(const std::string& command) {
        std::lock_guard lock(mutex_);
        failing_.insert(command);
    }
    // Holds the "tasks" requests of the register until release: the service hangs for it.
    void hold(const std::string& serial) {
        std::lock_guard lock(mutex_);
        held_.insert(serial);
    }
    void releaseAll() {
        std::lock_guard lock(mutex_);
        held_.clear();
        changed_.notify_all();
    }

private:
    struct Reply {
        int httpStatus = 200;
        std::string body;
    };

    static Reply defaultReply() {
        return {200, dumpCompact({{"status", 200},
                                  {"message", ""},
                                  {"data",
                                   {{"acked", Json::array()},
                                    {"docs", Json::array()},
                                    {"commands", Json::array()}}}})};
    }

    bool isHeld(const std::string& command, const Json& body) const {
        return command == "tasks" && body.is_object() && held_.count(body.value("Serial", ""));
    }

    LoopbackServer server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::string> failing_;
    std::set<std::string> held_;
    std::map<std::string, std::vector<Json>> bodies_;
    std::map<std::string, Reply> answers_;
};

// One register on the emulator's bench; the flags default to a healthy, registered register.
inline Json benchRegister(const std::string& serial, const std::string& port = "USB") {
    return {{"serial", serial}, {"port", port}, {"reachable", true}};
}

// One register's record in settings.ini.
struct RecordSpec {
    std::string serial;
    std::string driver = "Атол";
    std::string connectionType = "USB";
    std::string comPort = "";
    bool autostart = true;
};

// settings.ini for the test endpoint at baseUrl, the emulator's backend and the records.
inline std::string settingsIniText(const std::string& baseUrl,
                                   const std::vector<RecordSpec>& records) {
    std::string serials;
    std::string sections;
    for (const RecordSpec& r : records) {
        serials += (serials.empty() ? "" : ",") + r.serial;
        sections += "[" + r.serial + "]\nKKTSerial=" + r.serial + "\nDriver=" + r.driver +
                    "\nConnectionType=" + r.connectionType + "\nComPort=" + r.comPort +
                    "\nAutostart=" + (r.autostart ? "1" : "0") + "\n";
    }
    return "[auth]\ntoken=account-token\n[system]\nTestMode=1\nKeepVersion=1\nTestUrl=" + baseUrl +
           "\nRegisterDriver=emulator\n[cashboxes]\nserials=" + serials + "\n" + sections;
}

inline std::string benchText(const std::vector<Json>& registers) {
    return dumpCompact(Json{{"registers", registers}});
}

// One element of "getsalepoints".
inline Json salePoint(const std::string& serial, const std::string& address = "ул. Ленина, 1",
                      const std::string& place = "Касса 1") {
    return {{"kkt_serial", serial},   {"address", address},      {"place", place},
            {"token", "t-" + serial}, {"kkt_reg_num", "000111"}, {"fs_serial", "FS" + serial}};
}

// A data directory with settings.ini (test endpoint, emulator backend, register records),
// an empty journal and the emulator's bench, and the process-wide objects over it.
class CashboxWorld {
public:
    explicit CashboxWorld(const std::vector<RecordSpec>& records = {},
                          const std::vector<Json>& bench = {}, bool withBackend = true) {
        ensureQtApplication();
        home.write("settings.ini", settingsIniText(dispatcher.baseUrl(), records));
        setBench(bench);
        createJournalFile(home.file(kJournalFileName));
        settings = std::make_unique<AppSettings>(home.path());
        if (withBackend)
            installRegisterBackend(automation, settings->registerDriver(), home.path());
        requestLogWindow = std::make_unique<RequestLogWindow>(dialogs);
        requestLogWindow->setSettings(settings.get());
    }

    RegisterEnvironment environment() {
        RequestLogWindow& log = *requestLogWindow;
        return {automation,
                commandResults,
                home.file(kJournalFileName),
                [&log](const std::string& command, const Json& data) { log.log(command, data); },
                nullptr,
                nullptr,
                [this](const std::string& serial, const std::string& text) {
                    notes.push_back(serial + ": " + text);
                }};
    }

    // A register as the register list makes one: its record, given its data, then the
    // settings (which start its worker when it is set up here), and its window.
    struct Cashbox {
        std::unique_ptr<CashboxRecord> record;
        std::unique_ptr<CashboxWindow> window;
        CashboxWindow* operator->() { return window.get(); }
        CashboxWindow& operator*() { return *window; }
    };
    Cashbox makeWindow(const Json& data) {
        Cashbox cashbox;
        cashbox.record = std::make_unique<CashboxRecord>(environment());
        cashbox.record->setData(data);
        cashbox.record->setSettings(*settings);
        cashbox.window = std::make_unique<CashboxWindow>(dialogs, *cashbox.record);
        return cashbox;
    }

    void setBench(const std::vector<Json>& registers) {
        home.write("emulator.json", benchText(registers));
    }
    // Changes one flag of a register on the bench, as a person at the register would.
    void setBenchFlag(const std::string& serial, const std::string& flag, bool value) {
        Json bench = *parseJson(home.read("emulator.json"));
        for (Json& reg : bench["registers"])
            if (reg["serial"] == serial)
                reg[flag] = value;
        home.write("emulator.json", dumpCompact(bench));
    }

    TestDispatcher dispatcher;
    TempDir home;
    RecordingDialogs dialogs;
    AutomationRegistry automation;
    CommandResults commandResults;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<RequestLogWindow> requestLogWindow;
    // What the registers' records gave for tillhaven.log ("serial: text").
    std::vector<std::string> notes;
};

// Runs the event loop until done() holds; false when a minute passed first.
inline bool waitUntil(const std::function<bool()>& done, int limitMs = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Waits until the register's worker has carried out everything asked of it so far and
// what it reported meanwhile has reached the user-interface thread.
inline void settle(CashboxRecord& record) {
    RegisterWorker* worker = record.worker();
    if (!worker) {
        QCoreApplication::processEvents();
        return;
    }
    QObject context;
    bool done = false;
    worker->postUserAction([](RegisterLink&, ActionOutcome&) {}, &context,
                           [&](const ActionOutcome&) { done = true; });
    if (!waitUntil([&] { return done; }))
        ADD_FAILURE() << "the worker of " << record.serial() << " did not answer";
}

// Runs fn with the register's link on its worker's thread and waits for it.
inline void onWorker(CashboxRecord& record, const std::function<void(RegisterLink&)>& fn) {
    ASSERT_NE(record.worker(), nullptr);
    record.worker()->post(fn);
    settle(record);
}

// One exchange cycle of the register, as its ClientTimer runs it.
inline void runCycle(CashboxRecord& record) {
    onWorker(record, [](RegisterLink& link) { link.runExchangeCycle(); });
}

}  // namespace th::test
