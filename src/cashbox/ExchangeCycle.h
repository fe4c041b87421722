#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cashbox/CommandResults.h"
#include "cashbox/DoubtfulDocuments.h"
#include "cashbox/InFlight.h"
#include "dispatcher/Messages.h"
#include "platform/Errors.h"
#include "platform/Json.h"

namespace th {

class IDialogs;
class CashboxDriver;
class TaskJournal;
struct CheckRow;
class DispatcherClient;

// "Нет связи с кассой": the register did not answer one of the state tasks.
TH_DECLARE_ERROR(ExchangeError, Error);

// Put between an error's class name and its message in the box shown for a document that
// cannot be stored.
inline constexpr const char* kDocumentErrorJoin = " ошибка с сообщением : ";
// The report of a document that is refused: the error's class name, kDocumentErrorJoin and
// the reason, which names the document.
std::string badDocumentMessage(const std::string& reason);

// What the exchange cycle needs from the cashbox window that runs it.
class ExchangeHost {
public:
    virtual ~ExchangeHost() = default;
    virtual std::string serialText() = 0;    // KKTSerial
    virtual std::string cashboxToken() = 0;  // cashboxToken_
    virtual std::string driverName() = 0;    // driverCombo
    // The register's driver; nullptr when the window has none (no answers then).
    virtual CashboxDriver* driver() = 0;
    // Lost contact: switch ReconnectTimer on and disconnect, with the window as the sender.
    virtual void reconnectAfterFailure() = 0;
    // A problem the cycle found on its own (a document it cannot store or must not print
    // again, a journal that refused an answer). Shown where the merchant looks, never in a box
    // that waits for a click: the register goes on exchanging meanwhile.
    virtual void reportProblem(const std::string& text) = 0;
    // The service took the request and its answer was handled: problems reported before
    // may be notified again when they come back.
    virtual void exchangeSucceeded() {}
    // Rows were stored, completed or acknowledged: whoever shows the journal reads it again.
    virtual void journalChanged() {}
};

// One register's periodic "tasks" exchange: the register's state and the journal's rows go
// to the service; acknowledgements, documents and commands come back; then every stored
// document not yet answered is executed on the register. Runs on the window's thread.
class ExchangeCycle {
public:
    ExchangeCycle(ExchangeHost& host, DispatcherClient& ownClient, TaskJournal& journal,
                  CommandResults& commandResults, IDialogs& dialogs);

    // One cycle, run by ClientTimer. Does nothing while the window's client is busy. Raises
    // ExchangeError "Нет связи с кассой" when a state task is unanswered (after starting the
    // reconnection) and lets journal errors of the lists through, for the host to show. A
    // failed exchange itself starts the reconnection and goes no further.
    // What the journal refused to keep (a register's answer, a document from the service) is
    // kept here and written first in the next cycle; meanwhile it is never executed.
    void runExchangeCycle();

    // Settles the documents whose fate only the register knows (see InFlight.h); run at the
    // start of every cycle and by the host after each connection. Never raises.
    void settleInFlight();

    // The documents the last settlement left for a person: only the register knows whether
    // they were made, and it cannot tell.
    const std::set<std::string>& doubtfulDocuments() const { return doubtful_; }
    // A person's answer for one of them (see DoubtfulDocuments.h); returns the line for the
    // log. ResolutionError when the document is not (or no longer) one of them.
    std::string resolveDoubtful(const std::string& origId, const DoubtfulResolution& resolution);

    // Writes what the journal refused earlier; run at the start of every cycle and by the
    // host when the register's work stops (quit, logout, a driver change). Never raises:
    // what still cannot be written is reported and kept.
    void flushPending();
    bool hasPending() const { return !unsavedAnswers_.empty() || !pendingDocuments_.empty(); }

    // How long after a cycle's request started its execution pass goes on taking documents.
    static constexpr std::chrono::milliseconds kExecutionBudget{4000};
    void setExecutionBudget(std::chrono::milliseconds budget) { executionBudget_ = budget; }

    // Handles a "tasks" answer with status 200: acknowledgements, then documents, then
    // commands. Raises DispatcherAnswerError, before touching anything, when "data.acked",
    // "data.docs" or "data.commands" is not an array.
    void processResponseData(DispatcherClient& sender, const Json& response);

private:
    struct RegisterState {
        Json shift;
        Json ofd;
        Json totals;
    };

    std::optional<Json> runTask(const Json* task);
    std::optional<Json> runTask(const char* constantTask);
    RegisterState readRegisterState();
    void exchange(const Json& request, const CommandResults::Batch& takenResults);
    void failedExchange(const CommandResults::Batch& takenResults, bool answerHandled,
                        const std::string& reason);
    void acknowledge(const std::string& serial, const std::vector<std::string>& ids);
    struct RefusedDocument {
        std::optional<std::string> externalId;
        std::optional<std::string> type;
        std::string text;
        std::string reason;
        size_t position = 0;  // in the answer's "docs", from 1; 0 when not told
    };
    void storeDocuments(const std::string& serial, const Json& documents,
                        const std::vector<UnreadableDocument>& unreadable = {});
    void checkResent(const std::string& serial, const Json& document,
                     std::vector<std::string>& refusals);
    void refuseDocument(const std::string& serial, const RefusedDocument& document,
                        std::vector<std::string>& refusals);
    Json runCommand(const Json& command);
    void executionPass(const std::string& serial, std::chrono::steady_clock::time_point deadline);
    bool executeFiscal(const CheckRow& row, const Json& task, std::optional<FiscalCount>& count);
    bool completeRefusedFiscal(const CheckRow& row, const Json& task, const Json& refusal,
                               std::optional<FiscalCount>& count);
    bool holdForPrinter(const Json& answer);
    bool printerReady();
    bool completeRow(const CheckRow& row, const std::string& response, bool fiscal);
    void saveUnsavedAnswers();
    bool isUnsaved(const CheckRow& row) const;
    void reportDoubtful(const std::string& serial, const std::string& origId);
    void report(const std::string& text);

    // Register answers whose row could not be marked completed; written before the journal
    // is read again, and their rows are not executed again meanwhile.
    struct UnsavedAnswer {
        std::string serial;
        std::string origId;
        std::string response;
        bool fiscal = false;  // its in-flight mark goes in the same transaction
    };
    std::vector<UnsavedAnswer> unsavedAnswers_;
    void writeCompletion(const UnsavedAnswer& answer);
    // Documents from the service the journal could not store yet; stored before anything
    // else in the next cycle, executed only from the journal.
    std::vector<Json> pendingDocuments_;
    // Doubtful documents already reported by this run of the program.
    std::set<std::string> reportedDoubtful_;
    // A refusal for the printer's condition ("44 [Нет бумаги]") holds the documents until
    // the printer can print again.
    std::optional<std::string> printerHold_;
    // Refused documents without a usable id already reported by this run of the program.
    std::set<std::string> reportedWithoutId_;
    std::set<std::string> doubtful_;
    bool reportedThisCycle_ = false;
    std::chrono::milliseconds executionBudget_ = kExecutionBudget;

    ExchangeHost& host_;
    DispatcherClient& client_;
    TaskJournal& journal_;
    CommandResults& commandResults_;
    IDialogs& dialogs_;
};

}  // namespace th
