// The exchange cycle end to end: the in-process sandbox on 127.0.0.1 as the service, the
// register emulator behind the ATOL driver as the register, a real journal file. Each figure
// runs next to its floor, the least the same work can cost:
//
// exchange/cycle/P  one runExchangeCycle with P pending rows; floor: the register's three
//                   state tasks on the emulator, the same "tasks" POST made with plain libcurl
//                   and the cycle's three indexed selects. The ratio is then the client's own
//                   cost, not the emulator's.
//                   Pending rows are "added" rows the register cannot answer (their data is
//                   not a JSON task): they stay "added", go out in "received" every cycle
//                   and are offered to the register every execution pass, as a document does
//                   that the register keeps refusing to answer. Completed rows cannot wait:
//                   the sandbox acknowledges every completed row in the very answer.
// exchange/burst    one answer with 1,000 sales, stored, executed and completed in one
//                   cycle, each sale marked in flight before it goes to the register;
//                   floor: the same 1,000 sales executed on the emulator directly through
//                   the ATOL driver, each with a plain autocommit insert before and update
//                   after, with the journal's settings (WAL, synchronous=FULL).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <iostream>

#include "BenchRig.h"
#include "DemoFeed.h"
#include "SandboxServer.h"
#include "dispatcher/Messages.h"
#include "emulator/RegisterBackends.h"

namespace th::bench {
namespace {

constexpr const char* kSelect = "select * from checks where serial = ?1 and status = ?2";

sandbox::SandboxOptions sandboxOptions() {
    sandbox::SandboxOptions options;
    options.seed = sandboxSeed(1);
    options.handOutOnce = true;
    return options;
}

// One register at work: its own directory, journal, sandbox and emulator.
class ExchangeRig {
public:
    ExchangeRig()
        : sandbox_(sandboxOptions()),
          port_(prepare()),
          settings_(dir_.path()),
          exchange_(0, registry_, settings_, journalFile(), results_, dialogs_) {}

    std::filesystem::path journalFile() const { return dir_.file(kJournalFileName); }
    const std::string serial() const { return registerSerial(0); }
    RegisterExchange& exchange() { return exchange_; }
    sandbox::SandboxServer& sandbox() { return sandbox_; }
    const CountingDialogs& dialogs() const { return dialogs_; }
    std::string tasksUrl() { return exchange_.client().baseUrl() + "/tasks"; }

    // The body of the "tasks" request the next cycle sends, as the client's log sees it.
    std::string nextTasksBody() {
        std::string body;
        exchange_.client().setOnLog([&](const std::string& command, const Json& data) {
            if (command == std::string(kRequestLogMarker) + kCommandTasks)
                body = dumpDispatcher(data);
        });
        exchange_.tick();
        exchange_.client().setOnLog(nullptr);
        return body;
    }

private:
    int prepare() {
        dir_.write("emulator.json", emulatorBench(1));
        createJournalFile(journalFile());
        installRegisterBackend(registry_, "emulator", dir_.path());
        const int port = sandbox_.start();
        dir_.write("settings.ini", settingsFor(port));
        return port;
    }

    ScratchDir dir_;
    AutomationRegistry registry_;
    sandbox::SandboxServer sandbox_;
    int port_;
    AppSettings settings_;
    CommandResults results_;
    CountingDialogs dialogs_;
    RegisterExchange exchange_;
};

// The plain libcurl POST the client's "tasks" request amounts to: the same URL, headers and
// body on a reused connection.
class PlainPost {
public:
    PlainPost(std::string url, std::string body) : url_(std::move(url)), body_(std::move(body)) {
        headers_ = curl_slist_append(headers_, "Content-Type: application/json");
        headers_ = curl_slist_append(headers_, "Accept: application/json");
        headers_ = curl_slist_append(headers_, "Accept-Charset: utf-8");
        headers_ =
            curl_slist_append(headers_, (std::string("X-Api-Key: ") + kAccountToken).c_str());
        headers_ = curl_slist_append(headers_, "Expect:");
        curl_ = curl_easy_init();
    }
    ~PlainPost() {
        curl_easy_cleanup(curl_);
        curl_slist_free_all(headers_);
    }
    PlainPost(const PlainPost&) = delete;
    PlainPost& operator=(const PlainPost&) = delete;

    // The answer's body; raises when the request did not get one.
    const std::string& post() {
        answer_.clear();
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body_.data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body_.size()));
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &PlainPost::collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer_);
        const CURLcode code = curl_easy_perform(curl_);
        if (code != CURLE_OK)
            throw std::runtime_error(curl_easy_strerror(code));
        return answer_;
    }

private:
    static size_t collect(char* data, size_t size, size_t count, void* answer) {
        static_cast<std::string*>(answer)->append(data, size * count);
        return size * count;
    }

    std::string url_;
    std::string body_;
    std::string answer_;
    curl_slist* headers_ = nullptr;
    CURL* curl_ = nullptr;
};

// P "added" rows the register cannot answer, behind 1,000 "acked" rows of the register.
void addPendingRows(const std::filesystem::path& journalFile, const std::string& serial,
                    int pending) {
    RawDatabase db(journalFile);
    db.exec("begin;");
    RawStatement insert(db, "insert into checks values (?1, ?2, 'sell', ?3, ?4, ?5)");
    const std::string answer = dumpCompact(saleAnswer(1));
    for (int n = 0; n < 1000; ++n) {
        const std::string id = "old-" + std::to_string(n);
        insert.bind(1, serial).bind(2, id).bind(3, dumpCompact(saleDocument(id)));
        insert.bind(4, "acked").bind(5, answer).run();
    }
    for (int n = 0; n < pending; ++n) {
        const std::string id = "pending-" + std::to_string(n);
        // Cut short: not JSON, so the driver gives no answer and the row stays "added".
        const std::string data = dumpCompact(saleDocument(id)).substr(0, 120);
        insert.bind(1, serial).bind(2, id).bind(3, data).bind(4, "added").bind(5, "").run();
    }
    db.exec("commit;");
}

void checkQuiet(benchmark::State& state, ExchangeRig& rig) {
    if (rig.dialogs().shown() != 0 || rig.exchange().failures() != 0)
        state.SkipWithError(("the cycle did not go through: " + rig.dialogs().lastText()).c_str());
}

void cycle(benchmark::State& state, ExchangeRig& rig) {
    for (auto _ : state)
        rig.exchange().tick();
    checkQuiet(state, rig);
}

struct CycleFloor {
    RawDatabase db;
    RawStatement select;
    std::string body;
    PlainPost post;

    explicit CycleFloor(ExchangeRig& rig)
        : db(rig.journalFile()),
          select(db, kSelect),
          body(rig.nextTasksBody()),
          post(rig.tasksUrl(), body) {}
};

// The register's state tasks every cycle begins with, straight through the driver.
void runStateTasks(ExchangeRig& rig) {
    static const Json tasks[] = {{{"type", "getShiftStatus"}},
                                 {{"type", "ofdExchangeStatus"}},
                                 {{"type", "getShiftTotals"}}};
    for (const Json& task : tasks)
        benchmark::DoNotOptimize(rig.exchange().driver()->processJSON(&task));
}

// Where a cycle's time goes: the register's three state tasks, and the request through the
// dispatcher client.
void stateTasks(benchmark::State& state, ExchangeRig& rig) {
    for (auto _ : state)
        runStateTasks(rig);
}

void clientPost(benchmark::State& state, ExchangeRig& rig, CycleFloor& floor) {
    const Json request = Json::parse(floor.body);
    for (auto _ : state)
        benchmark::DoNotOptimize(rig.exchange().client().executeDelay(kCommandTasks, request));
}

void cycleFloor(benchmark::State& state, ExchangeRig& rig, CycleFloor& floor) {
    const std::string serial = rig.serial();
    for (auto _ : state) {
        runStateTasks(rig);
        floor.select.bind(1, serial).bind(2, "added").readAll();
        floor.select.bind(1, serial).bind(2, "completed").readAll();
        benchmark::DoNotOptimize(floor.post.post());
        floor.select.bind(1, serial).bind(2, "added").readAll();
    }
}

constexpr int kBurst = 1000;

// The register opens its shift before the sales come.
void openShift(ExchangeRig& rig) {
    rig.sandbox().state().queueDocs(rig.serial(), sandbox::DemoFeed::openShiftTask());
    rig.exchange().tick();  // stored and executed
    rig.exchange().tick();  // reported and acknowledged
}

// round: counts on over repetitions, so every round has identifiers of its own.
void burst(benchmark::State& state, ExchangeRig& rig, int& round) {
    for (auto _ : state) {
        state.PauseTiming();
        Json sales = Json::array();
        for (int n = 0; n < kBurst; ++n)
            sales.push_back(
                saleDocument("burst-" + std::to_string(round) + "-" + std::to_string(n)));
        rig.sandbox().state().queueDocs(rig.serial(), sales);
        ++round;
        state.ResumeTiming();

        rig.exchange().tick();

        state.PauseTiming();
        if (rig.exchange().journal().selectChecks(rig.serial(), "completed").size() != kBurst)
            state.SkipWithError("the burst was not completed in one cycle");
        rig.exchange().tick();  // reports the answers; the sandbox acknowledges them
        state.ResumeTiming();
    }
    checkQuiet(state, rig);
}

// A register of its own for the floor, its shift open, reached without the client.
class FloorRegister {
public:
    FloorRegister() {
        dir_.write("emulator.json", emulatorBench(1));
        installRegisterBackend(registry_, "emulator", dir_.path());
        driver_ = std::make_unique<AtolDriver>(registerSerial(0), registry_);
        driver_->setComType("COM");
        driver_->setComPort(registerPort(0));
        driver_->connect();
        run(sandbox::DemoFeed::openShiftTask());
    }
    std::string run(const Json& task) {
        const std::optional<Json> answer = driver_->processJSON(&task);
        if (!answer || answer->contains("error"))
            throw std::runtime_error("the floor's register refused " + dumpCompact(task));
        return dumpCompact(*answer);
    }

private:
    ScratchDir dir_;
    AutomationRegistry registry_;
    std::unique_ptr<AtolDriver> driver_;
};

void burstFloor(benchmark::State& state, const std::filesystem::path& file, int& round) {
    RawDatabase db(file);
    RawStatement insert(db, "insert into checks values (?1, ?2, 'sell', ?3, 'added', '')");
    RawStatement complete(
        db, "update checks set status='completed', response=?1 where serial=?2 and orig_id=?3");
    const std::string serial = registerSerial(0);
    FloorRegister reg;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::pair<std::string, std::string>> rows;  // id, data
        for (int n = 0; n < kBurst; ++n) {
            std::string id = "burst-" + std::to_string(round) + "-" + std::to_string(n);
            rows.emplace_back(id, dumpCompact(saleDocument(id)));
        }
        ++round;
        state.ResumeTiming();
        for (const auto& [id, data] : rows) {
            insert.bind(1, serial).bind(2, id).bind(3, data).run();
            const std::string answer = reg.run(Json::parse(data));
            complete.bind(1, answer).bind(2, serial).bind(3, id).run();
        }
    }
}

}  // namespace
}  // namespace th::bench

int main(int argc, char** argv) {
    using namespace th;
    using namespace th::bench;
    benchmark::Initialize(&argc, argv);
    int burstRounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--burst-rounds=", 0) == 0) {
            burstRounds = std::max(1, std::atoi(arg.c_str() + 15));
        } else {
            std::cerr << "exchange_bench: unknown option " << arg << '\n';
            return 2;
        }
    }
    try {
        std::vector<std::unique_ptr<ExchangeRig>> rigs;
        std::vector<std::unique_ptr<CycleFloor>> floors;
        for (int pending : {0, 20, 200}) {
            auto& rig = rigs.emplace_back(std::make_unique<ExchangeRig>());
            addPendingRows(rig->journalFile(), rig->serial(), pending);
            auto& floor = floors.emplace_back(std::make_unique<CycleFloor>(*rig));
            const std::string size = std::to_string(pending);
            benchmark::RegisterBenchmark(("exchange/cycle/" + size).c_str(),
                                         [r = rig.get()](benchmark::State& s) { cycle(s, *r); })
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(
                ("exchange/cycle_floor/" + size).c_str(),
                [r = rig.get(), f = floor.get()](benchmark::State& s) { cycleFloor(s, *r, *f); })
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
            if (pending != 0)
                continue;
            benchmark::RegisterBenchmark(
                "exchange/part/state_tasks",
                [r = rig.get()](benchmark::State& s) { stateTasks(s, *r); })
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(
                "exchange/part/client_post",
                [r = rig.get(), f = floor.get()](benchmark::State& s) { clientPost(s, *r, *f); })
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
        }

        int burstRound = 0, floorRound = 0;
        auto& burstRig = rigs.emplace_back(std::make_unique<ExchangeRig>());
        // The pass's time budget would spread the burst over cycles: the pass's own speed is
        // measured here, in one cycle.
        burstRig->exchange().cycle().setExecutionBudget(std::chrono::hours(1));
        openShift(*burstRig);
        benchmark::RegisterBenchmark(
            "exchange/burst/1000",
            [r = burstRig.get(), &burstRound](benchmark::State& s) { burst(s, *r, burstRound); })
            ->Iterations(burstRounds)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        ScratchDir floorDir;
        const auto floorFile = floorDir.file(kJournalFileName);
        createJournalFile(floorFile);
        benchmark::RegisterBenchmark("exchange/burst_floor/1000",
                                     [&floorFile, &floorRound](benchmark::State& s) {
                                         burstFloor(s, floorFile, floorRound);
                                     })
            ->Iterations(burstRounds)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);

        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& e) {
        std::cerr << "exchange_bench: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
