#pragma once

#include "platform/Errors.h"
#include "platform/Json.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace th::sandbox {

// A seed or state file that cannot be used; the message names the file's fault.
TH_DECLARE_ERROR(SandboxDataError, Error);

// An admin request that cannot be carried out; httpStatus is the answer's HTTP status.
class AdminError : public Error {
public:
    AdminError(int httpStatus, const std::string& message)
        : Error(message), httpStatus_(httpStatus) {}
    int httpStatus() const { return httpStatus_; }
    const char* typeName() const noexcept override { return "AdminError"; }

private:
    int httpStatus_;
};

struct DispatcherReply {
    int httpStatus = 200;
    Json body;
};

// One line per notable event, "<event> key=value ...", for the terminal and the demo.
using EventSink = std::function<void(const std::string& line)>;

inline constexpr const char* kDefaultNewVersion = "1.0.1.0";
inline constexpr const char* kUnauthorizedMessage = "Пользователь не авторизован";
// Cashbox reports kept per register; older ones are dropped so a long run stays bounded.
inline constexpr size_t kCashboxReportsKept = 20;

// Everything the sandbox knows: accounts with their sale points, and per register the
// documents and commands on their way, what the client reported, and its reports.
// All members are safe to call from several threads at once.
class SandboxState {
public:
    // seed: {"accounts": [...], "new_version": "...", "refuse_enrolment": bool,
    // "hand_out_once": bool}.
    // Throws SandboxDataError when the seed is unusable.
    explicit SandboxState(const Json& seed);

    void setEventSink(EventSink sink);
    // Called after every change, with the state locked: it must only take note.
    void setChangeListener(std::function<void()> listener);

    // One dispatcher request: command name, the percent-decoded "X-Api-Key", the body.
    DispatcherReply handle(const std::string& command, const std::string& apiKey,
                           const std::string& body);
    static bool isDispatcherCommand(const std::string& command);

    // Admin side. Each throws AdminError for a request it cannot carry out.
    std::vector<std::string> queueDocs(const std::string& serial, const Json& docs);
    std::vector<Json> queueCommands(const std::string& serial, const Json& commands);
    void configure(const Json& config);
    // Back to the given seed, or to the one the sandbox started from.
    void reset(const std::optional<Json>& seed = std::nullopt);
    std::vector<std::string> registerSerials() const;

    // The whole state: the admin read-back and, unchanged, the state file's content.
    Json snapshot() const;
    Json registerSnapshot(const std::string& serial) const;
    // Takes over a snapshot written earlier; throws SandboxDataError when it is unusable.
    void restore(const Json& saved);

private:
    enum class DocState { Queued, Sent, Received, Acked };
    enum class CommandState { Queued, Sent, Answered };

    struct DocRecord {
        std::string id;
        Json doc;  // null for a document the client reported but the sandbox never queued
        DocState state = DocState::Queued;
        int sentCount = 0;
        int ackCount = 0;
        std::optional<Json> response;
    };
    struct CommandRecord {
        Json id;
        Json payload;
        CommandState state = CommandState::Queued;
        std::optional<Json> result;
    };
    struct RegisterBook {
        std::vector<DocRecord> docs;
        std::map<std::string, size_t> docIndex;
        std::vector<CommandRecord> commands;
        std::vector<Json> commandResults;
        std::vector<Json> cashboxReports;
        Json lastExchange = Json::object();
        std::map<std::string, int64_t> requests;
    };
    struct Account {
        std::string login;
        std::string password;
        std::string token;
        std::vector<Json> salepoints;
    };
    struct Located {
        Account* account;
        const Json* salepoint;
    };
    struct TasksReport;

    void loadSeed(const Json& seed);
    Account* accountByToken(const std::string& token);
    Json* salepointOf(Account& account, const std::string& serial);
    bool serialKnown(const std::string& serial) const;
    RegisterBook& book(const std::string& serial);
    void emit(const std::string& line);
    void changed();

    DispatcherReply handleTest();
    DispatcherReply handleAuthorize(const Json& body);
    DispatcherReply handleSalepoints(const Account& account);
    DispatcherReply handleCashbox(Account& account, const Json& body);
    DispatcherReply handleTasks(Account& account, const Json& body);
    DispatcherReply handleSwversion();

    bool enrol(Account& account, const std::string& serial, const Json& body);
    void recordReceived(const std::string& serial, RegisterBook& reg, const Json& received,
                        TasksReport& report);
    void recordCompleted(const std::string& serial, RegisterBook& reg, const Json& completed,
                         TasksReport& report);
    void recordCommandResults(const std::string& serial, const Json& results);
    CommandRecord* commandById(const Json& id, std::string* ownerSerial);
    Json docsToSend(const std::string& serial, RegisterBook& reg, const TasksReport& report);
    Json commandsToSend(const std::string& serial, RegisterBook& reg);
    DocRecord& docRecord(RegisterBook& reg, const std::string& id);

    std::string newExternalId();
    Json newCommandId();
    bool commandIdTaken(const Json& id) const;

    static Json docToJson(const DocRecord& doc);
    static Json commandToJson(const CommandRecord& command);
    Json registerToJson(const RegisterBook& reg) const;
    static RegisterBook registerFromJson(const Json& saved);
    Json accountsToJson() const;

    mutable std::mutex mutex_;
    EventSink events_;
    std::function<void()> onChange_;
    Json seed_;
    std::vector<Account> accounts_;
    std::map<std::string, RegisterBook> registers_;
    std::map<std::string, int64_t> requests_;
    std::string newVersion_;
    bool refuseEnrolment_ = false;
    bool handOutOnce_ = false;
    std::string idPrefix_;
    int64_t nextDocNumber_ = 1;
    int64_t nextCommandId_ = 1;
};

// Percent-decodes a header value ("%41" -> "A"); malformed escapes stay as they are.
std::string percentDecode(const std::string& text);

}  // namespace th::sandbox
