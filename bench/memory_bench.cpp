// The client's memory over a long run: 20 registers (emulated) exchanging with the sandbox
// every 5 seconds each, as 20 cashbox windows do, while the sandbox's demo feed sends every
// register a sale per 5 seconds and a command now and then. The sandbox runs as a process of
// its own, so only the client's memory is measured: peak (VmHWM) and resident (VmRSS) from
// /proc/self/status, and the growth of the resident size from the end of the warm-up (the
// first tenth of the run) to the end. The run counts as failed when a cycle failed, whether
// the failure escaped it or the cycle handled it (a reconnection, a problem reported, a box),
// or when a document the sandbox gave the client is not acknowledged once the registers have
// caught up with the feed.
//
// bench_memory [--sandbox PATH] [--minutes N] [--seconds N] [--registers N] [--json FILE]
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include <httplib.h>

#include "BenchRig.h"
#include "SandboxProcess.h"
#include "emulator/RegisterBackends.h"

namespace th::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCycleInterval = std::chrono::milliseconds(5000);  // ClientTimer

struct Options {
    std::string sandbox = TH_SANDBOX_PROGRAM;
    std::chrono::seconds duration{600};
    int registers = 20;
    std::string json;
};

Options readOptions(int argc, char** argv) {
    Options options;
    readNamedOptions(
        argc, argv,
        {{"--sandbox", [&](const std::string& v) { options.sandbox = v; }},
         {"--minutes",
          [&](const std::string& v) {
              options.duration = std::chrono::seconds(long(std::stod(v) * 60));
          }},
         {"--seconds",
          [&](const std::string& v) { options.duration = std::chrono::seconds(std::stol(v)); }},
         {"--registers",
          [&](const std::string& v) { options.registers = std::max(1, std::stoi(v)); }},
         {"--json", [&](const std::string& v) { options.json = v; }}});
    return options;
}

struct Sample {
    double minutes;
    long rssKiB;
    long hwmKiB;
};

struct RunResult {
    std::vector<Sample> samples;
    long baselineRssKiB = 0;
    size_t cycles = 0;
    size_t failedCycles = 0;
};

// One tick of a register's ClientTimer. A failure counts whether it escaped the cycle or the
// cycle handled it itself (the register then reconnects, or a problem is reported).
void runCycle(RegisterExchange& exchange, RunResult& result) {
    const int failuresBefore = exchange.failures();
    bool failed = false;
    try {
        exchange.tick();
    } catch (const std::exception& e) {
        failed = true;
        std::cerr << "cycle failed: " << e.what() << '\n';
    }
    if (exchange.failures() != failuresBefore) {
        failed = true;
        std::cerr << "cycle of " << exchange.serialText() << " failed inside\n";
    }
    ++result.cycles;
    result.failedCycles += failed ? 1 : 0;
}

// Every register's ClientTimer fires every 5 s; their phases are spread over the interval.
RunResult run(std::vector<std::unique_ptr<RegisterExchange>>& registers,
              std::chrono::seconds duration) {
    RunResult result;
    const auto start = Clock::now();
    const auto end = start + duration;
    const auto warmUpEnd = start + std::max<Clock::duration>(duration / 10, kCycleInterval);
    const auto spacing = kCycleInterval / registers.size();
    auto nextSample = start;
    bool baselineTaken = false;
    for (size_t tick = 0;; ++tick) {
        const auto due = start + spacing * tick;
        if (due >= end)
            break;
        std::this_thread::sleep_until(due);
        runCycle(*registers[tick % registers.size()], result);
        const auto now = Clock::now();
        if (!baselineTaken && now >= warmUpEnd) {
            result.baselineRssKiB = statusKiB("VmRSS");
            baselineTaken = true;
        }
        if (now >= nextSample) {
            const double minutes = std::chrono::duration<double>(now - start).count() / 60;
            result.samples.push_back({minutes, statusKiB("VmRSS"), statusKiB("VmHWM")});
            std::cerr << "minute " << minutes << ": VmRSS " << result.samples.back().rssKiB
                      << " KiB, VmHWM " << result.samples.back().hwmKiB << " KiB\n";
            nextSample += std::chrono::seconds(30);
        }
    }
    result.samples.push_back({std::chrono::duration<double>(duration).count() / 60,
                              statusKiB("VmRSS"), statusKiB("VmHWM")});
    return result;
}

// What the sandbox gave the client: documents sent at least once, and those of them it has
// not acknowledged.
struct FeedTally {
    long given = 0;
    long unacked = 0;
};

FeedTally tallyFeed(int sandboxPort) {
    httplib::Client admin("127.0.0.1", sandboxPort);
    admin.set_read_timeout(30, 0);
    const auto reply = admin.Get("/admin/state");
    if (!reply || reply->status != 200)
        throw std::runtime_error("the sandbox did not give its state");
    const Json state = Json::parse(reply->body);
    FeedTally tally;
    for (const auto& [serial, book] : state.at("registers").items())
        for (const Json& doc : book.at("docs"))
            if (doc.value("sent_count", 0) > 0) {
                ++tally.given;
                tally.unacked += doc.value("state", "") == "acked" ? 0 : 1;
            }
    return tally;
}

// After the run the registers catch up: each cycles until the sandbox has acknowledged every
// document it gave (a few rounds; the feed may give one more meanwhile).
FeedTally drain(std::vector<std::unique_ptr<RegisterExchange>>& registers, int sandboxPort,
                RunResult& result) {
    constexpr int kDrainRounds = 6;
    FeedTally tally = tallyFeed(sandboxPort);
    for (int round = 0; round < kDrainRounds && tally.unacked != 0; ++round) {
        for (auto& exchange : registers)
            runCycle(*exchange, result);
        tally = tallyFeed(sandboxPort);
    }
    return tally;
}

long countRows(const std::filesystem::path& journal, const char* status) {
    RawDatabase db(journal);
    RawStatement count(db, "select * from checks where status = ?1");
    return static_cast<long>(count.bind(1, status).readAll());
}

}  // namespace
}  // namespace th::bench

int main(int argc, char** argv) {
    using namespace th;
    using namespace th::bench;
    return runBenchmark("bench_memory", [&] {
        const Options options = readOptions(argc, argv);
        ScratchDir dir;
        dir.write("seed.json", dumpCompact(sandboxSeed(options.registers)));
        dir.write("emulator.json", emulatorBench(options.registers));
        const auto journalFile = dir.file(kJournalFileName);
        createJournalFile(journalFile);
        SandboxProcess sandbox(options.sandbox, dir.file("seed.json"));
        dir.write("settings.ini", settingsFor(sandbox.port()));

        // The process-wide objects, handed to every register as the program hands them.
        AppSettings settings(dir.path());
        AutomationRegistry registry;
        installRegisterBackend(registry, "emulator", dir.path());
        CommandResults results;
        CountingDialogs dialogs;
        std::vector<std::unique_ptr<RegisterExchange>> registers;
        for (int i = 0; i < options.registers; ++i)
            registers.push_back(std::make_unique<RegisterExchange>(i, registry, settings,
                                                                   journalFile, results, dialogs));

        RunResult result = run(registers, options.duration);
        const FeedTally feed = drain(registers, sandbox.port(), result);
        const Sample& last = result.samples.back();
        const long growth = last.rssKiB - result.baselineRssKiB;
        Json summary = {
            {"registers", options.registers}, {"minutes", last.minutes},
            {"cycles", result.cycles},        {"failed_cycles", result.failedCycles},
            {"boxes", dialogs.shown()},       {"acked_rows", countRows(journalFile, "acked")},
            {"fed_docs", feed.given},         {"unacked_docs", feed.unacked},
            {"peak_kib", last.hwmKiB},        {"baseline_rss_kib", result.baselineRssKiB},
            {"final_rss_kib", last.rssKiB},   {"growth_kib", growth}};
        reportSummary(summary, options.json);
    });
}
