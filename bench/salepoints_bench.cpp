// An account of thousands of sale points, a few of whose registers are on this workstation:
// the program (its application object, main window and register list) fills the list from
// a sandbox in a process of its own, and the registers set up here connect and report.
//
// Figures: the time from the start of the list's request to the table filled (the list's
// arrival included), to each set-up register's first exchange with the service (its
// "cashbox" report after connecting) and to its first "tasks" exchange (5 s later by the
// exchange timer; shown only); the process's memory and open descriptors once the
// registers work.
//
// bench_salepoints [--sandbox PATH] [--salepoints N] [--registers N] [--json FILE]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <iostream>

#include "BenchRig.h"
#include "SandboxProcess.h"
#include "app/CashboxTableModel.h"
#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "cashbox/CashboxRecord.h"
#include "dispatcher/gui/RequestLogWindow.h"

namespace th::bench {
namespace {

struct Options {
    std::string sandbox = TH_SANDBOX_PROGRAM;
    int salepoints = 5000;
    int registers = 20;
    std::string json;
};

Options readOptions(int argc, char** argv) {
    Options options;
    readNamedOptions(
        argc, argv,
        {{"--sandbox", [&](const std::string& v) { options.sandbox = v; }},
         {"--salepoints",
          [&](const std::string& v) { options.salepoints = std::max(1, std::stoi(v)); }},
         {"--registers",
          [&](const std::string& v) { options.registers = std::max(1, std::stoi(v)); }},
         {"--json", [&](const std::string& v) { options.json = v; }}});
    options.registers = std::min(options.registers, options.salepoints);
    return options;
}

// The registers set up here are spread over the account's list.
int setUpIndex(int n, const Options& options) {
    return n * (options.salepoints / options.registers);
}

std::string settingsWith(int port, const Options& options) {
    std::string serials;
    std::string sections;
    for (int n = 0; n < options.registers; ++n) {
        const std::string serial = registerSerial(setUpIndex(n, options));
        serials += (n ? "," : "") + serial;
        sections += "[" + serial + "]\nKKTSerial=" + serial +
                    "\nDriver=Атол\nConnectionType=COM\nComPort=" + registerPort(n) +
                    "\nAutostart=1\n";
    }
    return settingsFor(port) + "RegisterDriver=emulator\n[cashboxes]\nserials=" + serials + "\n" +
           sections;
}

std::string benchWith(const Options& options) {
    Json registers = Json::array();
    for (int n = 0; n < options.registers; ++n)
        registers.push_back(
            {{"serial", registerSerial(setUpIndex(n, options))}, {"port", registerPort(n)}});
    return dumpCompact(Json{{"registers", registers}});
}

// Runs the event loop until done() holds or the limit passes; polls every 10 ms.
bool runUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

Json registerBook(int port, const std::string& serial) {
    return parseJson(adminRequest(port, "GET", "/admin/registers/" + serial))
        .value_or(Json::object());
}

Json run(const Options& options) {
    ScratchDir dir;
    dir.write("seed.json", dumpCompact(sandboxSeed(options.salepoints)));
    dir.write("emulator.json", benchWith(options));
    createJournalFile(dir.file(kJournalFileName));
    SandboxProcess sandbox(options.sandbox, dir.file("seed.json"), {"--host", "127.0.0.1"});
    dir.write("settings.ini", settingsWith(sandbox.port(), options));
    const long descriptorsBefore = openDescriptors();

    CountingDialogs dialogs;
    TillhavenApp app(
        dialogs, [](QDialog&) { return 0; }, [] {}, DataPaths{dir.path(), dir.path()});
    MainWindow& form = app.mainWindow();
    app.requestLogWindow().setSettings(&form.appSettings());
    form.show();

    QElapsedTimer clock;
    clock.start();
    form.prepareCashboxes();
    const double tableFilledMs = clock.nsecsElapsed() / 1e6;
    const int rows = form.cashboxModel().rowCount();

    // First the "cashbox" report of every register set up here, then its first "tasks".
    std::map<std::string, double> reported;
    std::map<std::string, double> exchanged;
    auto follow = [&](std::map<std::string, double>& seen, const char* member) {
        for (int n = 0; n < options.registers; ++n) {
            const std::string serial = registerSerial(setUpIndex(n, options));
            if (seen.count(serial))
                continue;
            const Json book = registerBook(sandbox.port(), serial);
            const Json& value = book.contains(member) ? book[member] : Json();
            if (!value.empty())
                seen[serial] = clock.nsecsElapsed() / 1e6;
        }
        return int(seen.size()) == options.registers;
    };
    const bool allReported = runUntil([&] { return follow(reported, "cashbox_reports"); }, 30000);
    const bool allExchanged = runUntil([&] { return follow(exchanged, "last_exchange"); }, 30000);
    auto latest = [](const std::map<std::string, double>& seen) {
        double last = 0;
        for (const auto& entry : seen)
            last = std::max(last, entry.second);
        return last;
    };
    // A few more cycles, then the figures of a program at work.
    runUntil([] { return false; }, 10000);
    const long descriptors = openDescriptors();
    const long peakKiB = statusKiB("VmHWM");
    const long rssKiB = statusKiB("VmRSS");
    size_t workers = 0;
    for (const auto& record : form.cashboxes())
        workers += record->worker() != nullptr;
    form.stopRegisters();
    return {{"salepoints", options.salepoints},
            {"registers_here", options.registers},
            {"rows", rows},
            {"workers", workers},
            {"table_filled_ms", tableFilledMs},
            {"all_reported", allReported},
            {"last_first_report_ms", latest(reported)},
            {"all_exchanged", allExchanged},
            {"last_first_tasks_ms", latest(exchanged)},
            {"peak_kib", peakKiB},
            {"rss_kib", rssKiB},
            {"descriptors", descriptors},
            {"descriptors_before_start", descriptorsBefore},
            {"boxes", dialogs.shown()}};
}

}  // namespace
}  // namespace th::bench

int main(int argc, char** argv) {
    using namespace th;
    using namespace th::bench;
    drawOffScreenUnlessTold();
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    return runBenchmark("bench_salepoints", [&] {
        const Options options = readOptions(argc, argv);
        const Json summary = run(options);
        reportSummary(summary, options.json);
    });
}
