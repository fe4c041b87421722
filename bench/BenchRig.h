// What the benchmarks share: a scratch directory, registers emulated on a bench, a sandbox
// seed for them, and one register's exchange as a cashbox window runs it.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cashbox/CommandResults.h"
#include "cashbox/ExchangeCycle.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"
#include "drivers/AtolDriver.h"
#include "platform/Dialogs.h"
#include "platform/Json.h"
#include "settings/AppSettings.h"

namespace th::bench {

inline constexpr const char* kAccountToken = "bench-account-token";

// Readers of a benchmark's options "--name value", by name.
using OptionReaders = std::map<std::string, std::function<void(const std::string& value)>>;

// Runs a benchmark's body; an error is printed under the benchmark's name and ends the run
// with status 1.
inline int runBenchmark(const char* name, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}

// Prints a benchmark's summary and, when a file is named, writes it there as well.
inline void reportSummary(const Json& summary, const std::string& jsonFile) {
    std::cout << summary.dump(2) << '\n';
    if (!jsonFile.empty())
        std::ofstream(jsonFile) << summary.dump(2) << '\n';
}

// The benchmarks that show windows draw them off screen unless QT_QPA_PLATFORM says otherwise.
inline void drawOffScreenUnlessTold() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform == nullptr || *platform == '\0')
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// Hands each option of the command line to its reader; an unknown option, or one without its
// value, is an error.
inline void readNamedOptions(int argc, char** argv, const OptionReaders& readers) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const auto reader = readers.find(name);
        if (reader == readers.end() || i + 1 >= argc)
            throw std::runtime_error("unknown option " + name);
        reader->second(argv[++i]);
    }
}

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object
// goes. The journals measured live here, so $TMPDIR picks the disk that is measured.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tillhaven-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a scratch directory under " + pattern);
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(path_ / name, std::ios::binary) << content;
    }

private:
    std::filesystem::path path_;
};

// Serial numbers of the bench's registers: 00106700000001, 00106700000002, ...
inline std::string registerSerial(int index) {
    std::string number = std::to_string(index + 1);
    return "001067" + std::string(8 - number.size(), '0') + number;
}
inline std::string registerToken(int index) {
    return "bench-kkt-token-" + std::to_string(index + 1);
}
// Every register hangs on its own COM port, so each driver reaches exactly its register.
inline std::string registerPort(int index) {
    return "COM" + std::to_string(index + 1);
}

// emulator.json with `count` reachable, fiscalised registers.
inline std::string emulatorBench(int count) {
    Json registers = Json::array();
    for (int i = 0; i < count; ++i)
        registers.push_back({{"serial", registerSerial(i)}, {"port", registerPort(i)}});
    return dumpCompact(Json{{"registers", registers}});
}

// A sandbox seed with one account owning `count` sale points, one per register.
inline Json sandboxSeed(int count) {
    Json salepoints = Json::array();
    for (int i = 0; i < count; ++i)
        salepoints.push_back({{"kkt_serial", registerSerial(i)},
                              {"address", "Тверская, 7"},
                              {"place", "Касса " + std::to_string(i + 1)},
                              {"token", registerToken(i)},
                              {"kkt_reg_num", "000000000" + std::to_string(i + 1)},
                              {"fs_serial", "99990000" + std::to_string(i + 1)}});
    return {{"accounts", Json::array({{{"login", "bench@tillhaven.local"},
                                       {"password", "bench"},
                                       {"token", kAccountToken},
                                       {"salepoints", salepoints}}})}};
}

// settings.ini that sends every request to a dispatcher on this machine's port.
inline std::string settingsFor(int port) {
    return std::string("[auth]\ntoken=") + kAccountToken +
           "\n[system]\nTestMode=1\nKeepVersion=1\nTestUrl=http://127.0.0.1:" +
           std::to_string(port) + "/dispatcher/v1\n";
}

// A sale as the service sends it: two positions paid in cash.
inline Json saleDocument(const std::string& externalId) {
    Json tax = {{"type", "vat20"}};
    Json items = Json::array({{{"type", "position"},
                               {"name", "Капучино 0,3"},
                               {"price", 180.0},
                               {"quantity", 1.0},
                               {"amount", 180.0},
                               {"tax", tax}},
                              {{"type", "position"},
                               {"name", "Круассан"},
                               {"price", 95.5},
                               {"quantity", 2.0},
                               {"amount", 191.0},
                               {"tax", tax}}});
    return {{"external_id", externalId},
            {"type", "sell"},
            {"taxationType", "osn"},
            {"operator", {{"name", "Кассир Иванова"}, {"vatin", "123654789507"}}},
            {"items", items},
            {"payments", Json::array({{{"type", "cash"}, {"sum", 371.0}}})}};
}

// A register's answer to a sale, about the size the real one has.
inline Json saleAnswer(int number) {
    return {{"fiscalParams",
             {{"fiscalDocumentNumber", number},
              {"fiscalDocumentSign", "3326595042"},
              {"fiscalDocumentDateTime", "2024-05-14T12:31:00+03:00"},
              {"fiscalReceiptNumber", number},
              {"fnNumber", "9999078900012345"},
              {"registrationNumber", "0000000001012345"},
              {"shiftNumber", 12},
              {"total", 371.0},
              {"fnsUrl", "www.nalog.gov.ru"}}},
            {"warnings", nullptr}};
}

// Counts boxes instead of keeping them, so a long run holds no growing list.
class CountingDialogs : public IDialogs {
public:
    void show(BoxKind, const std::string& text) override {
        ++shown_;
        lastText_ = text;
    }
    bool askYesCancel(BoxKind kind, const std::string& text) override {
        show(kind, text);
        return false;
    }
    size_t shown() const { return shown_; }
    const std::string& lastText() const { return lastText_; }

private:
    std::atomic<size_t> shown_{0};
    std::string lastText_;
};

// One register's exchange as its cashbox window runs it: the ATOL driver over the shared
// emulator, the window's own dispatcher client and journal connection, and the cycle.
class RegisterExchange : public ExchangeHost {
public:
    RegisterExchange(int index, const AutomationRegistry& registry, AppSettings& settings,
                     const std::filesystem::path& journalFile, CommandResults& results,
                     IDialogs& dialogs)
        : index_(index),
          driver_(registerSerial(index), registry),
          client_(dialogs),
          cycle_(*this, client_, journal_, results, dialogs) {
        client_.setSettings(&settings);
        journal_.openJournal(journalFile);
        driver_.setComType("COM");
        driver_.setComPort(registerPort(index));
        driver_.connect();
    }

    std::string serialText() override { return registerSerial(index_); }
    std::string cashboxToken() override { return registerToken(index_); }
    std::string driverName() override { return kAtolDriverName; }
    CashboxDriver* driver() override { return &driver_; }
    void reconnectAfterFailure() override {
        ++failures_;
        driver_.disconnect();
    }
    void reportProblem(const std::string&) override { ++failures_; }

    // One tick of ClientTimer; what the window would show is counted, the register is
    // connected again after a lost contact, as ReconnectTimer would.
    void tick() {
        if (!driver_.checkConnected())
            driver_.connect();
        cycle_.runExchangeCycle();
    }

    ExchangeCycle& cycle() { return cycle_; }
    DispatcherClient& client() { return client_; }
    const DispatcherClient& client() const { return client_; }
    TaskJournal& journal() { return journal_; }
    int failures() const { return failures_; }

private:
    int index_;
    AtolDriver driver_;
    DispatcherClient client_;
    TaskJournal journal_;
    ExchangeCycle cycle_;
    int failures_ = 0;
};

// The bare SQLite connection the floors use: WAL and synchronous=FULL like the journal.
class RawDatabase {
public:
    explicit RawDatabase(const std::filesystem::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + file.string());
        exec("pragma journal_mode=WAL; pragma synchronous=FULL;");
    }
    ~RawDatabase() { sqlite3_close_v2(db_); }
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    sqlite3* get() const { return db_; }
    void exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : "?";
            sqlite3_free(message);
            throw std::runtime_error(text);
        }
    }

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement of a RawDatabase, bound by position as text.
class RawStatement {
public:
    RawStatement(RawDatabase& db, const char* sql) : db_(db.get()) {
        if (sqlite3_prepare_v2(db_, sql, -1, &statement_, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }
    ~RawStatement() { sqlite3_finalize(statement_); }
    RawStatement(const RawStatement&) = delete;
    RawStatement& operator=(const RawStatement&) = delete;

    RawStatement& bind(int position, const std::string& text) {
        sqlite3_bind_text(statement_, position, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // Runs an update or insert to the end.
    void run() {
        const int rc = sqlite3_step(statement_);
        sqlite3_reset(statement_);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }
    // Reads every row's every column as text, as the journal's select does; the row count.
    size_t readAll() {
        size_t rows = 0;
        while (sqlite3_step(statement_) == SQLITE_ROW) {
            for (int column = 0; column < sqlite3_column_count(statement_); ++column) {
                const auto* text = sqlite3_column_text(statement_, column);
                const int size = sqlite3_column_bytes(statement_, column);
                if (text != nullptr)
                    bytes_ += std::string(reinterpret_cast<const char*>(text), size).size();
            }
            ++rows;
        }
        sqlite3_reset(statement_);
        return rows;
    }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
    size_t bytes_ = 0;
};

}  // namespace th::bench
