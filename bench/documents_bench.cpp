// A register's "Документы" page on journals of 1 thousand and 1 million rows: the page must
// open as fast on the large journal as on the small one, and hold as much memory, since it
// reads one page of rows, never the journal.
//
// The journals are made as bench_journal makes them: rows spread over 10 registers taking
// turns, almost all "acked", each with its times; a few rows of each register are in
// question. The fill is not measured; the journal is then opened once by the worker's
// connection (which adds what older journals lack).
//
// Figures per size: the time from building the page to its first page of rows shown and
// painted (median of 5), the time to find one document by its full id, and the growth of the
// process's resident memory while a page is open (the 1-thousand-row page first, as a
// warm-up, so Qt's own first-use costs are not counted for either size).
//
// bench_documents [--max-rows N] [--json FILE]
#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <iostream>

#include "BenchRig.h"
#include "SandboxProcess.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/DocumentsModel.h"
#include "cashbox/DocumentsPage.h"
#include "drivers/Automation.h"

namespace th::bench {
namespace {

constexpr int kRegisters = 10;
constexpr int kInQuestionPerRegister = 3;
constexpr int kRepetitions = 5;

struct Options {
    int maxRows = 1000000;
    std::string json;
};

Options readOptions(int argc, char** argv) {
    Options options;
    readNamedOptions(
        argc, argv,
        {{"--max-rows",
          [&](const std::string& v) { options.maxRows = std::max(1000, std::stoi(v)); }},
         {"--json", [&](const std::string& v) { options.json = v; }}});
    return options;
}

std::string rowId(int reg, int position) {
    return "sbx-" + std::to_string(reg) + "-" + std::to_string(position);
}

void buildJournal(const std::filesystem::path& file, int rows) {
    createJournalFile(file);
    {
        TaskJournal journal;  // the tables and the index beside `checks`
        journal.openJournal(file);
        journal.inFlightMarks(registerSerial(0));
    }
    RawDatabase db(file);
    db.exec("pragma synchronous=off; begin;");
    RawStatement insert(db, "insert into checks values (?1, ?2, 'sell', ?3, ?4, ?5)");
    RawStatement times(db, "insert into checks_times values (?1, ?2, ?3, ?3, ?3)");
    RawStatement mark(db,
                      "insert into checks_in_flight (serial, orig_id, fiscal_number_before)"
                      " values (?1, ?2, 1)");
    const std::string response = dumpCompact(saleAnswer(4711));
    const int perRegister = rows / kRegisters;
    for (int position = 0; position < perRegister; ++position)
        for (int reg = 0; reg < kRegisters; ++reg) {
            const std::string serial = registerSerial(reg);
            const std::string id = rowId(reg, position);
            const bool inQuestion = position % (perRegister / kInQuestionPerRegister) == 0;
            insert.bind(1, serial)
                .bind(2, id)
                .bind(3, dumpCompact(saleDocument(id)))
                .bind(4, inQuestion ? "added" : "acked")
                .bind(5, inQuestion ? "" : response);
            insert.run();
            times.bind(1, serial).bind(2, id).bind(3, "2026-01-01T10:00:00Z").run();
            if (inQuestion)
                mark.bind(1, serial).bind(2, id).run();
        }
    db.exec("commit;");
}

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class Page {
public:
    explicit Page(CashboxRecord& record) : page_(dialogs_, record) {
        page_.resize(746, 500);
        page_.activate();
        page_.show();
        page_.grab();  // laid out and painted
        QCoreApplication::processEvents();
    }
    DocumentsPage& page() { return page_; }

private:
    RecordingDialogs dialogs_;
    DocumentsPage page_;
};

Json measure(int rows) {
    ScratchDir dir;
    const auto file = dir.file(kJournalFileName);
    std::cerr << "building a journal of " << rows << " rows\n";
    buildJournal(file, rows);
    AutomationRegistry automation;
    CommandResults results;
    const RegisterEnvironment environment{automation, results, file,   nullptr,
                                          nullptr,    nullptr, nullptr};
    CashboxRecord record(environment);
    record.setData({{"kkt_serial", registerSerial(kRegisters / 2)}});

    std::vector<double> openMs;
    for (int n = 0; n < kRepetitions; ++n) {
        QElapsedTimer clock;
        clock.start();
        Page page(record);
        openMs.push_back(clock.nsecsElapsed() / 1e6);
        if (page.page().model().rowCount() != DocumentsModel::kPageRows)
            throw std::runtime_error("the page did not show a page of rows");
    }
    const long before = statusKiB("VmRSS");
    Page page(record);
    QElapsedTimer clock;
    clock.start();
    const std::string wanted = rowId(kRegisters / 2, rows / kRegisters / 2);
    page.page().model().setSearch(wanted);
    const double searchMs = clock.nsecsElapsed() / 1e6;
    if (page.page().model().rowCount() != 1)
        throw std::runtime_error("the search did not find " + wanted);
    // The first characters of an id match a whole register's rows.
    clock.restart();
    page.page().model().setSearch(rowId(kRegisters / 2, 0).substr(0, 6));
    const double broadSearchMs = clock.nsecsElapsed() / 1e6;
    page.page().model().setSearch("");
    const long after = statusKiB("VmRSS");
    return {{"rows", rows},
            {"open_ms", medianOf(openMs)},
            {"search_ms", searchMs},
            {"broad_search_ms", broadSearchMs},
            {"page_rss_kib", after - before}};
}

}  // namespace
}  // namespace th::bench

int main(int argc, char** argv) {
    using namespace th;
    using namespace th::bench;
    drawOffScreenUnlessTold();
    QApplication application(argc, argv);
    return runBenchmark("bench_documents", [&] {
        const Options options = readOptions(argc, argv);
        Json sizes = Json::array();
        measure(1000);  // warm-up: Qt's first use of a table, fonts, styles
        for (int rows : {1000, options.maxRows}) {
            sizes.push_back(measure(rows));
            std::cerr << sizes.back().dump(2) << '\n';
        }
        const Json summary = {{"sizes", sizes}};
        reportSummary(summary, options.json);
    });
}
