#pragma once

// What the fault tests share: a sandbox account with one emulated register, the data
// directory of a client, the emulator's record of fiscal documents, the real program as a
// child process, and a clear prefix for what the tests find.

#include <fcntl.h>
#include <grp.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DemoFeed.h"
#include "SandboxServer.h"
#include "cashbox/TaskJournal.h"
#include "emulator/EmulatorBench.h"
#include "platform/Json.h"
#include "support/EmulatorLog.h"
#include "support/TempDir.h"

extern char** environ;

namespace th::faults {

inline constexpr const char* kSerial = "00106700000001";
inline constexpr const char* kAccountToken = "faults-account-token";
inline constexpr const char* kRegisterToken = "faults-kkt-token";

// Every finding goes to the test's output with this prefix, to be read in the ctest log.
inline std::ostream& finding() {
    return std::cout << "[faults] ";
}

inline Json sandboxSeed() {
    Json salepoint = {{"kkt_serial", kSerial},       {"address", "Садовая, 3"},
                      {"place", "касса 1"},          {"token", kRegisterToken},
                      {"kkt_reg_num", "0000000001"}, {"fs_serial", "9999078900000001"}};
    return {{"accounts", Json::array({{{"login", "faults@tillhaven.local"},
                                       {"password", "faults"},
                                       {"token", kAccountToken},
                                       {"salepoints", Json::array({salepoint})}}})}};
}

// The service hands each document out once: a document the client drops is lost for good
// and shows, instead of being sent again until it is stored.
inline sandbox::SandboxOptions sandboxOptions() {
    sandbox::SandboxOptions options;
    options.seed = sandboxSeed();
    options.handOutOnce = true;
    return options;
}

// settings.ini of a client that runs against the sandbox with the emulated register and
// connects to it at start.
inline std::string clientSettings(int port) {
    return std::string("[auth]\ntoken=") + kAccountToken +
           "\n[system]\nTestMode=1\nKeepVersion=1\nRegisterDriver=emulator\n"
           "TestUrl=http://127.0.0.1:" +
           std::to_string(port) + "/dispatcher/v1\n[cashboxes]\nserials=" + kSerial + "\n[" +
           kSerial + "]\nKKTSerial=" + kSerial + "\nDriver=Атол\nConnectionType=USB\nAutostart=1\n";
}

// printSeconds: how long the register takes over each document (the document is made at
// once, its answer comes at the end), so a kill can land in the middle of a print.
inline std::string benchFile(bool reachable = true, double printSeconds = 0) {
    Json reg = {{"serial", kSerial}, {"port", "USB"}, {"reachable", reachable}};
    if (printSeconds > 0)
        reg["printSeconds"] = printSeconds;
    return dumpCompact(Json{{"registers", Json::array({reg})}});
}

// A client's data directory: settings.ini, emulator.json and an empty checks.db.
inline void prepareHome(const test::TempDir& home, int sandboxPort) {
    home.write("settings.ini", clientSettings(sandboxPort));
    home.write("emulator.json", benchFile());
    createJournalFile(home.file(kJournalFileName));
}

// Fiscal documents per "external_id", from the emulator's task log.
using test::fiscalisations;

inline int fiscalisedMoreThanOnce(const std::map<std::string, int>& count) {
    int twice = 0;
    for (const auto& [id, times] : count)
        twice += times > 1 ? 1 : 0;
    return twice;
}

// The admin API of a sandbox on 127.0.0.1.
class SandboxAdmin {
public:
    explicit SandboxAdmin(int port) : http_("127.0.0.1", port) { http_.set_read_timeout(30, 0); }

    std::vector<std::string> queueDocs(const Json& docs) {
        auto reply = http_.Post(std::string("/admin/registers/") + kSerial + "/docs",
                                dumpCompact(docs), "application/json");
        if (!reply || reply->status != 200)
            throw std::runtime_error("the sandbox refused the documents");
        return Json::parse(reply->body)["queued"].get<std::vector<std::string>>();
    }

    Json registerState() {
        auto reply = http_.Get(std::string("/admin/registers/") + kSerial);
        if (!reply || reply->status != 200)
            throw std::runtime_error("the sandbox gave no register state");
        return Json::parse(reply->body);
    }

    int64_t tasksRequests() { return registerState()["requests"].value("tasks", int64_t{0}); }

    // Ids of documents in the given state ("acked", "queued", ...).
    std::vector<std::string> docsIn(const std::string& state) {
        std::vector<std::string> ids;
        const Json snapshot = registerState();
        for (const Json& doc : snapshot["docs"])
            if (doc["state"] == state)
                ids.push_back(doc["external_id"]);
        return ids;
    }

    void setFault(const Json& plan) {
        auto reply = http_.Post("/admin/faults", dumpCompact(plan), "application/json");
        if (!reply || reply->status != 200)
            throw std::runtime_error("the sandbox refused the fault plan");
    }

private:
    httplib::Client http_;
};

// Polls until the condition holds; false when the deadline passes first. The deadline only
// keeps a broken run from hanging: nothing is said about speed.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::seconds deadline,
                    std::chrono::milliseconds step = std::chrono::milliseconds(100)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(step);
    }
    return condition();
}

// Rows of the register in checks.db, whatever their status, as another program reads them:
// what the client has stored for good (written and synced).
inline int64_t storedRows(const std::filesystem::path& journal) {
    sqlite3* db = nullptr;
    int64_t rows = -1;
    if (sqlite3_open_v2(journal.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* count = nullptr;
        if (sqlite3_prepare_v2(db, "select count(*) from checks where serial = ?1", -1, &count,
                               nullptr) == SQLITE_OK &&
            sqlite3_bind_text(count, 1, kSerial, -1, SQLITE_STATIC) == SQLITE_OK &&
            sqlite3_step(count) == SQLITE_ROW)
            rows = sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
    return rows;
}

// The real program, started headless on a data directory; killed when the object goes.
// `environment` adds variables of its own (NAME=value).
class ClientProcess {
public:
    explicit ClientProcess(const std::filesystem::path& home,
                           std::vector<std::string> environment = {})
        : home_(home), runtime_(home), environment_(std::move(environment)) {}
    ~ClientProcess() { kill(SIGKILL); }
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    // XDG_RUNTIME_DIR of the next start (the data directory unless told); it need not exist.
    void setRuntimeDir(const std::filesystem::path& dir) { runtime_ = dir; }
    // The next start runs as this user (and group), without supplementary groups; root only.
    void setUser(uid_t uid) { uid_ = uid; }
    // What the program writes to its standard outputs goes to this file of the data directory.
    void setOutputName(const std::string& name) { outputName_ = name; }
    std::filesystem::path outputFile() const { return home_ / outputName_; }
    pid_t pid() const { return pid_; }

    void start() {
        std::vector<std::string> env = {"TILLHAVEN_HOME=" + home_.string(),
                                        "QT_QPA_PLATFORM=offscreen",
                                        "XDG_RUNTIME_DIR=" + runtime_.string()};
        env.insert(env.end(), environment_.begin(), environment_.end());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('=') + 1);
            const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& set) {
                return set.rfind(name, 0) == 0;
            });
            if (!replaced)
                env.push_back(text);
        }
        std::vector<char*> envp;
        for (std::string& text : env)
            envp.push_back(text.data());
        envp.push_back(nullptr);
        const std::string program = std::string(TH_TEST_BIN_DIR) + "/tillhaven";
        const std::string log = outputFile().string();
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        if (uid_) {
            startAs(*uid_, program, log, argv, envp.data());
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " + program);
    }

    bool running() {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = status;
            return false;
        }
        return true;
    }

    void kill(int signal) {
        if (pid_ <= 0)
            return;
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = status;
    }

    // Sends the signal and leaves the program to end by itself.
    void signal(int signal) {
        if (pid_ > 0)
            ::kill(pid_, signal);
    }

    // The wait status of the program that ended last (waitpid's).
    int status() const { return status_; }

private:
    // Only system calls between fork and exec: the test process has threads.
    void startAs(uid_t uid, const std::string& program, const std::string& log, char** argv,
                 char** envp) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::setgroups(0, nullptr) != 0 ||
                ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
                ::_exit(127);
            ::execve(program.c_str(), argv, envp);
            ::_exit(127);
        }
        ::close(out);
        if (pid_ < 0)
            throw std::runtime_error("cannot start " + program);
    }

    std::filesystem::path home_;
    std::filesystem::path runtime_;
    std::optional<uid_t> uid_;
    std::string outputName_ = "client-output.log";
    std::vector<std::string> environment_;
    pid_t pid_ = -1;
    int status_ = 0;
};

// Peak resident memory of this process so far, in MiB.
inline long peakMemoryMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

inline int envNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// The seed of a run's random moments; TILLHAVEN_FAULT_SEED repeats a run.
inline unsigned faultSeed() {
    return static_cast<unsigned>(
        envNumber("TILLHAVEN_FAULT_SEED", static_cast<int>(std::random_device{}() & 0x7fffffff)));
}

// Documents numbered from first: a shift is opened first, every later document is a sale.
inline Json documentBatch(int first, int count) {
    Json batch = Json::array();
    for (int n = first; n < first + count; ++n)
        batch.push_back(n == 0 ? sandbox::DemoFeed::openShiftTask()
                               : sandbox::DemoFeed::saleTask(n - 1));
    return batch;
}

// Whether the client's journal holds nothing of the register left to print or to report.
inline bool journalSettled(const std::filesystem::path& journal) {
    TaskJournal rows;
    rows.openJournal(journal);
    return rows.selectChecks(kSerial, "added").empty() &&
           rows.selectChecks(kSerial, "completed").empty();
}

// How a run's documents ended on the register, from the emulator's record; each document
// fiscalised more than once is named among the findings.
struct FiscalOutcome {
    int lost = 0;   // never fiscalised
    int twice = 0;  // fiscalised more than once
};

inline FiscalOutcome fiscalOutcome(const std::filesystem::path& home,
                                   const std::vector<std::string>& ids) {
    const auto fiscal = fiscalisations(home);
    FiscalOutcome outcome;
    for (const std::string& id : ids)
        outcome.lost += fiscal.count(id) == 0 ? 1 : 0;
    outcome.twice = fiscalisedMoreThanOnce(fiscal);
    finding() << "documents lost: " << outcome.lost << ", fiscalised twice: " << outcome.twice
              << " of " << ids.size() << "\n";
    for (const auto& [id, times] : fiscal)
        if (times > 1)
            finding() << "  " << id << " fiscalised " << times << " times\n";
    return outcome;
}

}  // namespace th::faults
