// The task journal's statements on journals of 1 thousand, 100 thousand and 1 million rows
// spread over 10 registers, almost all "acked": the cost of a statement must not grow with
// the rows the journal has piled up (it never removes any).
//
// Each register has 10 "added" and 10 "completed" rows at the end of the file, as a journal
// in use has; the rest are "acked". The writes are measured on rows made for them, which
// end "acked" again, so every size keeps its make-up for the next benchmark.
//
// A write waits for the disk (synchronous=FULL), whose pace drifts over a run. The writes are
// therefore measured in rounds, every size once per round and back to back, the order turned
// round every other round; the report takes the median of the rounds. A slow spell of the disk
// then weighs on all sizes alike instead of on the one that happened to run during it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "BenchRig.h"

namespace th::bench {
namespace {

constexpr int kRegisters = 10;
constexpr int kPendingPerStatus = 10;  // "added" and "completed" rows of each register

// A row's data and answer, made once and given each row's identifier.
struct RowTexts {
    std::string dataHead, dataTail;  // around the identifier
    std::string response;

    RowTexts() {
        const std::string marker = "@ID@";
        const std::string data = dumpCompact(saleDocument(marker));
        const size_t at = data.find(marker);
        dataHead = data.substr(0, at);
        dataTail = data.substr(at + marker.size());
        response = dumpCompact(saleAnswer(4711));
    }
    std::string data(const std::string& id) const { return dataHead + id + dataTail; }
};

// Inserts rows straight through SQLite, for building and for preparing writes.
class RowWriter {
public:
    explicit RowWriter(RawDatabase& db)
        : insert_(db, "insert into checks values (?1, ?2, 'sell', ?3, ?4, ?5)") {}

    void add(const std::string& serial, const std::string& id, const char* status) {
        const bool answered = std::string(status) != "added";
        insert_.bind(1, serial)
            .bind(2, id)
            .bind(3, texts_.data(id))
            .bind(4, status)
            .bind(5, answered ? texts_.response : "");
        insert_.run();
    }

private:
    RowTexts texts_;
    RawStatement insert_;
};

const char* fillStatus(int position, int perRegister) {
    if (position >= perRegister - kPendingPerStatus)
        return "added";
    if (position >= perRegister - 2 * kPendingPerStatus)
        return "completed";
    return "acked";
}

// Builds a journal of `rows` rows in one transaction; how fast is not the question here.
void buildJournal(const std::filesystem::path& file, int rows) {
    createJournalFile(file);
    RawDatabase db(file);
    db.exec("pragma journal_mode=delete; pragma synchronous=off; begin;");
    {
        RowWriter writer(db);
        const int perRegister = rows / kRegisters;
        // Registers take turns, as their documents arrive in a shared journal.
        for (int position = 0; position < perRegister; ++position)
            for (int reg = 0; reg < kRegisters; ++reg)
                writer.add(registerSerial(reg),
                           "sbx-" + std::to_string(reg) + "-" + std::to_string(position),
                           fillStatus(position, perRegister));
    }
    db.exec("commit; pragma journal_mode=wal;");
}

// Rows written during one write benchmark: identifiers never used before in that journal.
struct WriteTarget {
    std::string serial;
    std::string id;
};

class SizedJournal {
public:
    SizedJournal(const std::filesystem::path& file, int rows) : file_(file), rows_(rows) {
        buildJournal(file, rows);
        journal_.openJournal(file);
    }

    TaskJournal& journal() { return journal_; }
    int rows() const { return rows_; }

    std::vector<WriteTarget> freshTargets(int count) {
        std::vector<WriteTarget> targets;
        for (int n = 0; n < count; ++n, ++written_)
            targets.push_back(
                {registerSerial(written_ % kRegisters), "bench-" + std::to_string(written_)});
        return targets;
    }
    // Prepares rows for a write benchmark in one transaction.
    void insertRows(const std::vector<WriteTarget>& targets, const char* status) {
        RawDatabase db(file_);
        db.exec("begin;");
        RowWriter writer(db);
        for (const WriteTarget& target : targets)
            writer.add(target.serial, target.id, status);
        db.exec("commit;");
    }
    // Leaves the benchmark's rows "acked", like the journal's other old rows.
    void ackRows(const std::vector<WriteTarget>& targets) {
        RawDatabase db(file_);
        db.exec("begin;");
        RawStatement ack(db, "update checks set status='acked' where serial=?1 and orig_id=?2");
        for (const WriteTarget& target : targets)
            ack.bind(1, target.serial).bind(2, target.id).run();
        db.exec("commit;");
    }

private:
    std::filesystem::path file_;
    int rows_;
    TaskJournal journal_;
    int written_ = 0;
};

void selectRows(benchmark::State& state, SizedJournal& sized, const char* status) {
    size_t reg = 0, rows = 0;
    for (auto _ : state) {
        auto found = sized.journal().selectChecks(registerSerial(reg++ % kRegisters), status);
        rows += found.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["rows"] = benchmark::Counter(double(rows), benchmark::Counter::kAvgIterations);
}

void insertRows(benchmark::State& state, SizedJournal& sized) {
    const auto targets = sized.freshTargets(static_cast<int>(state.max_iterations));
    size_t next = 0;
    for (auto _ : state) {
        const WriteTarget& target = targets[next++];
        sized.journal().insertCheck(target.serial, saleDocument(target.id));
    }
    sized.ackRows(targets);
}

void completeRows(benchmark::State& state, SizedJournal& sized) {
    const auto targets = sized.freshTargets(static_cast<int>(state.max_iterations));
    sized.insertRows(targets, "added");
    const std::string answer = dumpCompact(saleAnswer(4711));
    size_t next = 0;
    for (auto _ : state) {
        const WriteTarget& target = targets[next++];
        sized.journal().completeCheck("completed", answer, target.serial, target.id);
    }
    sized.ackRows(targets);
}

void ackRows(benchmark::State& state, SizedJournal& sized) {
    const auto targets = sized.freshTargets(static_cast<int>(state.max_iterations));
    sized.insertRows(targets, "completed");
    size_t next = 0;
    for (auto _ : state) {
        const WriteTarget& target = targets[next++];
        sized.journal().ackCheck("acked", target.serial, target.id);
    }
}

// --max-rows=N leaves out the bigger journals (a quick look); --writes=N sets how many
// statements each write benchmark runs; --rounds=N how many rounds of writes.
struct Options {
    int maxRows = 1000000;
    int writes = 300;
    int rounds = 3;
};

Options readOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--max-rows=", 0) == 0)
            options.maxRows = std::atoi(arg.c_str() + 11);
        else if (arg.rfind("--writes=", 0) == 0)
            options.writes = std::max(1, std::atoi(arg.c_str() + 9));
        else if (arg.rfind("--rounds=", 0) == 0)
            options.rounds = std::max(1, std::atoi(arg.c_str() + 9));
        else
            throw std::runtime_error("unknown option " + arg);
    }
    return options;
}

}  // namespace
}  // namespace th::bench

int main(int argc, char** argv) {
    using namespace th::bench;
    benchmark::Initialize(&argc, argv);
    try {
        const Options options = readOptions(argc, argv);
        ScratchDir dir;
        std::vector<std::unique_ptr<SizedJournal>> journals;
        for (int rows : {1000, 100000, 1000000}) {
            if (rows > options.maxRows)
                continue;
            std::cerr << "building a journal of " << rows << " rows\n";
            journals.push_back(std::make_unique<SizedJournal>(
                dir.file("checks-" + std::to_string(rows) + ".db"), rows));
        }
        // All reads first: the writes add rows to the registers while they run.
        const std::pair<const char*, const char*> selects[] = {{"select_added", "added"},
                                                               {"select_completed", "completed"}};
        for (auto [name, status] : selects)
            for (auto& sized : journals)
                benchmark::RegisterBenchmark(
                    (std::string("journal/") + name + "/" + std::to_string(sized->rows())).c_str(),
                    [journal = sized.get(), status = status](benchmark::State& state) {
                        selectRows(state, *journal, status);
                    })
                    ->UseRealTime()
                    ->Unit(benchmark::kMicrosecond);
        const std::pair<const char*, void (*)(benchmark::State&, SizedJournal&)> writes[] = {
            {"insert", insertRows}, {"complete", completeRows}, {"ack", ackRows}};
        for (int round = 0; round < options.rounds; ++round)
            for (auto [name, write] : writes)
                for (size_t n = 0; n < journals.size(); ++n) {
                    SizedJournal* sized =
                        journals[round % 2 == 0 ? n : journals.size() - 1 - n].get();
                    benchmark::RegisterBenchmark(
                        (std::string("journal/") + name + "/" + std::to_string(sized->rows()))
                            .c_str(),
                        [sized, write = write](benchmark::State& state) { write(state, *sized); })
                        ->Iterations(options.writes)
                        ->Repetitions(1)
                        ->UseRealTime()
                        ->Unit(benchmark::kMicrosecond);
                }
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& e) {
        std::cerr << "journal_bench: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
