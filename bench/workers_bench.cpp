// Registers on worker threads under load: 20 emulated registers that take printSeconds to
// print each document, a sandbox (a process of its own) whose "tasks" answers are delayed,
// and its demo feed sending every register a sale every 5 s. Each register is a record with
// its worker, as the register list makes them; the records' reports update a table of rows
// on this thread, as the main window's rows are updated, and the first register's
// "Документы" page is open, reading its journal whenever its worker changes rows.
//
// Figures, per service delay: the user-interface thread's longest stall (a 10 ms timer on it
// measuring its own lateness), the 95th percentile of the interval between two "tasks"
// requests of one register (taken when the client sends them), the program's own memory
// (its private pages) with the resident and the proportional (Pss) memory at the end, the
// largest private sample (one a second) and the resident peak, and the growth after the
// warm-up.
//
// Then a backlog: one register handed 20 receipts at once (printSeconds each) by a service
// answering after 0.3 s; the longest interval between two of its "tasks" requests until all
// are acknowledged.
//
// bench_workers [--sandbox PATH] [--seconds N] [--registers N] [--print-seconds S]
//               [--delays 0.3,2] [--backlog N] [--json FILE]
// The sandbox's headers come before Qt, whose "emit" keyword they use as a name.
#include "DemoFeed.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "BenchRig.h"
#include "SandboxProcess.h"
#include "app/CashboxTableModel.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/DocumentsPage.h"
#include "drivers/Automation.h"
#include "emulator/RegisterBackends.h"

namespace th::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string sandbox = TH_SANDBOX_PROGRAM;
    int seconds = 90;
    int registers = 20;
    double printSeconds = 1.5;
    std::vector<double> delays = {0.3, 2.0};
    int backlog = 20;  // 0 for no backlog run
    std::string json;
};

std::vector<double> numberList(const std::string& text) {
    std::vector<double> numbers;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        numbers.push_back(std::stod(item));
    return numbers;
}

Options readOptions(int argc, char** argv) {
    Options options;
    readNamedOptions(
        argc, argv,
        {{"--sandbox", [&](const std::string& v) { options.sandbox = v; }},
         {"--seconds", [&](const std::string& v) { options.seconds = std::max(10, std::stoi(v)); }},
         {"--registers",
          [&](const std::string& v) { options.registers = std::max(1, std::stoi(v)); }},
         {"--print-seconds", [&](const std::string& v) { options.printSeconds = std::stod(v); }},
         {"--delays", [&](const std::string& v) { options.delays = numberList(v); }},
         {"--backlog", [&](const std::string& v) { options.backlog = std::max(0, std::stoi(v)); }},
         {"--json", [&](const std::string& v) { options.json = v; }}});
    return options;
}

// emulator.json: every register on its own COM port, printing for printSeconds.
std::string printingBench(int count, double printSeconds) {
    Json registers = Json::array();
    for (int i = 0; i < count; ++i)
        registers.push_back({{"serial", registerSerial(i)},
                             {"port", registerPort(i)},
                             {"printSeconds", printSeconds}});
    return dumpCompact(Json{{"registers", registers}});
}

// settings.ini: the sandbox, the emulator, and every register connecting at start.
std::string settingsWithRegisters(int port, int count) {
    std::string serials;
    std::string sections;
    for (int i = 0; i < count; ++i) {
        serials += (i ? "," : "") + registerSerial(i);
        sections += "[" + registerSerial(i) + "]\nKKTSerial=" + registerSerial(i) +
                    "\nDriver=Атол\nConnectionType=COM\nComPort=" + registerPort(i) +
                    "\nAutostart=1\n";
    }
    return settingsFor(port) + "RegisterDriver=emulator\n[cashboxes]\nserials=" + serials + "\n" +
           sections;
}

Json salePointOf(int index) {
    return {{"kkt_serial", registerSerial(index)},
            {"address", "Тверская, 7"},
            {"place", "Касса " + std::to_string(index + 1)},
            {"token", registerToken(index)}};
}

// When each register's "tasks" requests left, taken from the clients' request log.
class RequestTimes {
public:
    void log(const std::string& command, const Json& data) {
        if (command == "problem") {
            std::lock_guard lock(mutex_);
            ++problems_[textAt(data, "message").value_or("")];
            return;
        }
        if (command != std::string(kRequestLogMarker) + "tasks" || !data.is_object())
            return;
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        times_[data.value("Serial", "")].push_back(now);
    }
    // Every interval between two requests of one register, in seconds.
    std::vector<double> intervals() const {
        std::lock_guard lock(mutex_);
        std::vector<double> all;
        for (const auto& [serial, times] : times_)
            for (size_t i = 1; i < times.size(); ++i)
                all.push_back(std::chrono::duration<double>(times[i] - times[i - 1]).count());
        return all;
    }
    size_t requests() const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& entry : times_)
            n += entry.second.size();
        return n;
    }

    // What the registers ran into, by text, with how often.
    Json problems() const {
        std::lock_guard lock(mutex_);
        Json counts = Json::object();
        for (const auto& [text, count] : problems_)
            counts[text] = count;
        return counts;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Clock::time_point>> times_;
    std::map<std::string, int> problems_;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(fraction * (values.size() - 1) + 0.5));
    return values[index];
}

// A 10 ms timer on this thread; each tick notes how late it came.
class StallProbe {
public:
    StallProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kIntervalMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        clock_.start();
        timer_.start();
    }
    double longestStallMs() const { return longest_; }

private:
    static constexpr int kIntervalMs = 10;
    void tick() {
        const double elapsed = clock_.nsecsElapsed() / 1e6;
        longest_ = std::max(longest_, elapsed - last_ - kIntervalMs);
        last_ = elapsed;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    double last_ = 0;
    double longest_ = 0;
};

// Samples the private pages every second; keeps the largest.
class PrivateMemoryProbe {
public:
    PrivateMemoryProbe() {
        timer_.setInterval(1000);
        QObject::connect(&timer_, &QTimer::timeout, [this] { sample(); });
        sample();
        timer_.start();
    }
    long peakKiB() {
        sample();
        return peak_;
    }

private:
    void sample() { peak_ = std::max(peak_, privateKiB()); }
    QTimer timer_;
    long peak_ = 0;
};

void runEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// The registers' environment, every request and problem going to the benchmark's clock.
RegisterEnvironment environmentTimedBy(RequestTimes& requests, AutomationRegistry& registry,
                                       CommandResults& results,
                                       const std::filesystem::path& journalFile) {
    return {
        registry,
        results,
        journalFile,
        [&requests](const std::string& command, const Json& data) { requests.log(command, data); },
        {},
        {},
        {}};
}

Json runWithDelay(const Options& options, double delay) {
    ScratchDir dir;
    dir.write("seed.json", dumpCompact(sandboxSeed(options.registers)));
    dir.write("emulator.json", printingBench(options.registers, options.printSeconds));
    const auto journalFile = dir.file(kJournalFileName);
    createJournalFile(journalFile);
    SandboxProcess sandbox(
        options.sandbox, dir.file("seed.json"),
        {"--demo-feed", "--feed-interval", "5", "--feed-sales", "0", "--hand-out-once"});
    adminRequest(sandbox.port(), "POST", "/admin/faults",
                 dumpCompact(Json{
                     {"mode", "hang"}, {"seconds", delay}, {"command", "tasks"}, {"apply", true}}));
    dir.write("settings.ini", settingsWithRegisters(sandbox.port(), options.registers));

    AppSettings settings(dir.path());
    AutomationRegistry registry;
    installRegisterBackend(registry, "emulator", dir.path());
    CommandResults results;
    RequestTimes requests;
    const RegisterEnvironment environment =
        environmentTimedBy(requests, registry, results, journalFile);

    CashboxTableModel rows;
    QTableView grid;
    grid.setModel(&rows);
    grid.show();
    StallProbe probe;
    PrivateMemoryProbe privateMemory;
    std::vector<std::unique_ptr<CashboxRecord>> records;
    for (int i = 0; i < options.registers; ++i) {
        rows.addRow({"фискальный регистратор",
                     QString::fromStdString(registerSerial(i)),
                     "Тверская, 7",
                     "",
                     "не активен",
                     {},
                     ""});
        records.push_back(std::make_unique<CashboxRecord>(environment));
        CashboxRecord& record = *records.back();
        record.setOnConnectionChange([&rows, &grid](CashboxRecord& sender) {
            const int row = rows.rowOfSerial(QString::fromStdString(sender.serial()));
            grid.setCurrentIndex(rows.index(row, 0));
            rows.setStatus(row, sender.isConnected() ? "активен" : "не активен");
        });
        record.setData(salePointOf(i));
        record.setSettings(settings);
    }

    // One register's "Документы" page stays open, following its worker, as a merchant
    // looking at it has it: its reads must not stall the thread either.
    CountingDialogs pageDialogs;
    DocumentsPage page(pageDialogs, *records.front());
    records.front()->setOnStateShown([&page](CashboxRecord&) { page.followRecord(); });
    page.activate();
    page.show();

    const auto warmUp = std::chrono::seconds(std::max(10, options.seconds / 10));
    runEventLoopFor(warmUp);
    const long baselineKiB = statusKiB("VmRSS");
    runEventLoopFor(std::chrono::seconds(options.seconds) - warmUp);
    const long finalKiB = statusKiB("VmRSS");
    const long peakKiB = statusKiB("VmHWM");
    const long privateEndKiB = privateKiB();
    const long privatePeakKiB = privateMemory.peakKiB();
    const long pssKiB = smapsRollupKiB("Pss");

    for (auto& record : records)
        record->requestStop();
    const QDeadlineTimer deadline(RegisterWorker::kStopTimeoutMs);
    QElapsedTimer stopping;
    stopping.start();
    for (auto& record : records)
        record->waitStopped(deadline);
    const double stopSeconds = stopping.elapsed() / 1000.0;
    QCoreApplication::sendPostedEvents();

    const std::vector<double> intervals = requests.intervals();
    const double longestStall = probe.longestStallMs();
    records.clear();
    return {{"delay_s", delay},
            {"registers", options.registers},
            {"print_s", options.printSeconds},
            {"seconds", options.seconds},
            {"tasks_requests", requests.requests()},
            {"problems", requests.problems()},
            {"interval_p50_s", percentile(intervals, 0.5)},
            {"interval_p95_s", percentile(intervals, 0.95)},
            {"interval_max_s", percentile(intervals, 1.0)},
            {"longest_stall_ms", longestStall},
            {"stop_s", stopSeconds},
            {"private_kib", privateEndKiB},
            {"private_peak_kib", privatePeakKiB},
            {"pss_kib", pssKiB},
            {"peak_kib", peakKiB},
            {"baseline_rss_kib", baselineKiB},
            {"final_rss_kib", finalKiB},
            {"growth_kib", finalKiB - baselineKiB},
            {"acked_rows", [&] {
                 RawDatabase db(journalFile);
                 RawStatement count(db, "select * from checks where status = ?1");
                 return count.bind(1, "acked").readAll();
             }()}};
}

// One register handed a backlog of receipts in one answer, until all are acknowledged.
Json runBacklog(const Options& options) {
    constexpr double kDelay = 0.3;
    ScratchDir dir;
    dir.write("seed.json", dumpCompact(sandboxSeed(1)));
    dir.write("emulator.json", printingBench(1, options.printSeconds));
    const auto journalFile = dir.file(kJournalFileName);
    createJournalFile(journalFile);
    SandboxProcess sandbox(options.sandbox, dir.file("seed.json"), {"--hand-out-once"});
    adminRequest(
        sandbox.port(), "POST", "/admin/faults",
        dumpCompact(
            Json{{"mode", "hang"}, {"seconds", kDelay}, {"command", "tasks"}, {"apply", true}}));
    Json receipts = Json::array({sandbox::DemoFeed::openShiftTask()});
    for (int n = 0; n < options.backlog; ++n)
        receipts.push_back(sandbox::DemoFeed::saleTask(n));
    adminRequest(sandbox.port(), "POST", "/admin/registers/" + registerSerial(0) + "/docs",
                 dumpCompact(receipts));
    dir.write("settings.ini", settingsWithRegisters(sandbox.port(), 1));

    AppSettings settings(dir.path());
    AutomationRegistry registry;
    installRegisterBackend(registry, "emulator", dir.path());
    CommandResults results;
    RequestTimes requests;
    const RegisterEnvironment environment =
        environmentTimedBy(requests, registry, results, journalFile);
    CashboxRecord record(environment);
    record.setData(salePointOf(0));
    record.setSettings(settings);

    const size_t documents = size_t(options.backlog) + 1;
    auto acked = [&] {
        RawDatabase db(journalFile);
        RawStatement count(db, "select * from checks where status = ?1");
        return size_t(count.bind(1, "acked").readAll());
    };
    QElapsedTimer clock;
    clock.start();
    const qint64 limitMs = qint64(double(documents) * options.printSeconds * 1000) + 60000;
    while (acked() < documents && clock.elapsed() < limitMs)
        runEventLoopFor(std::chrono::milliseconds(250));
    const double seconds = clock.elapsed() / 1000.0;
    record.requestStop();
    record.waitStopped(QDeadlineTimer(RegisterWorker::kStopTimeoutMs));
    QCoreApplication::sendPostedEvents();
    const std::vector<double> intervals = requests.intervals();
    return {{"backlog", options.backlog},
            {"registers", 1},
            {"print_s", options.printSeconds},
            {"delay_s", kDelay},
            {"seconds", seconds},
            {"tasks_requests", requests.requests()},
            {"problems", requests.problems()},
            {"interval_max_s", percentile(intervals, 1.0)},
            {"acked_rows", acked()}};
}

}  // namespace
}  // namespace th::bench

int main(int argc, char** argv) {
    using namespace th;
    using namespace th::bench;
    drawOffScreenUnlessTold();
    QApplication application(argc, argv);
    return runBenchmark("bench_workers", [&] {
        const Options options = readOptions(argc, argv);
        Json runs = Json::array();
        for (double delay : options.delays) {
            std::cerr << "== service delay " << delay << " s\n";
            runs.push_back(runWithDelay(options, delay));
            std::cerr << runs.back().dump(2) << '\n';
        }
        Json summary = {{"runs", runs}};
        if (options.backlog > 0) {
            std::cerr << "== backlog of " << options.backlog << " receipts\n";
            summary["backlog"] = runBacklog(options);
            std::cerr << summary["backlog"].dump(2) << '\n';
        }
        reportSummary(summary, options.json);
    });
}
