#include "cashbox/ExchangeCycle.h"

#include <algorithm>

#include "cashbox/CommandResults.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "drivers/CashboxDriver.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"

namespace th {

namespace {

// The register state tasks, in the order they run.
constexpr const char* kShiftStatusTask = R"({"type": "getShiftStatus"})";
constexpr const char* kOfdExchangeStatusTask = R"({"type": "ofdExchangeStatus"})";
constexpr const char* kShiftTotalsTask = R"({"type": "getShiftTotals"})";

constexpr const char* kAckNotSaved = "Подтверждение не записано в журнал заданий, документ ";
constexpr const char* kDocumentsNotSaved =
    "Документы не записаны в журнал заданий и будут записаны при следующем обмене: ";

const Json* member(const Json& object, const char* name) {
    if (!object.is_object())
        return nullptr;
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

}  // namespace

ExchangeCycle::ExchangeCycle(ExchangeHost& host, DispatcherClient& ownClient, TaskJournal& journal,
                             CommandResults& commandResults, IDialogs& dialogs)
    : host_(host),
      client_(ownClient),
      journal_(journal),
      commandResults_(commandResults),
      dialogs_(dialogs) {}

void ExchangeCycle::runExchangeCycle() {
    // A box shown while this window's request is under way lets timer ticks through.
    if (!client_.isReady())
        return;
    const std::string serial = host_.serialText();
    reportedThisCycle_ = false;
    flushPending();
    RegisterState state = readRegisterState();
    settleInFlight();
    // The journal is read before the command results are taken: a journal error then ends
    // the cycle with nothing taken.
    TasksState request;
    for (const CheckRow& row : journal_.selectChecks(serial, statusText(CheckStatus::Added)))
        request.received.push_back(row.orig_id);
    for (const CheckRow& row : journal_.selectChecks(serial, statusText(CheckStatus::Completed)))
        request.completed.push_back(completedEntry(row.orig_id, row.response));
    request.serial = serial;
    request.token = host_.cashboxToken();
    request.driver = host_.driverName();
    request.shift = std::move(state.shift);
    request.ofd = std::move(state.ofd);
    request.totals = std::move(state.totals);
    request.commands = commandResults_.takeAll();
    exchange(tasksRequest(request), request.commands);
    executionPass(serial);
}

void ExchangeCycle::report(const std::string& text) {
    reportedThisCycle_ = true;
    host_.reportProblem(text);
}

void ExchangeCycle::flushPending() {
    saveUnsavedAnswers();
    if (!pendingDocuments_.empty())
        storeDocuments(host_.serialText(), Json::array());
}

void ExchangeCycle::settleInFlight() {
    // An answer still waiting for the journal settles its row by itself.
    if (!unsavedAnswers_.empty() || host_.driver() == nullptr)
        return;
    const std::string serial = host_.serialText();
    try {
        const auto run = [this](const Json& task) { return runTask(&task); };
        std::set<std::string> doubtful;
        bool everyMarkSettled = true;
        for (const SettledMark& settled : th::settleInFlight(journal_, serial, run)) {
            if (settled.outcome == Settlement::Doubtful) {
                doubtful.insert(settled.origId);
                reportDoubtful(serial, settled.origId);
            }
            everyMarkSettled = everyMarkSettled && settled.outcome != Settlement::NoContact;
            if (settled.outcome == Settlement::Recovered)
                host_.journalChanged();
        }
        // Marks the register could not be asked about keep their last verdict.
        if (everyMarkSettled)
            doubtful_ = std::move(doubtful);
        else
            doubtful_.merge(doubtful);
    } catch (const JournalError& e) {
        // The marks stay; their rows are not executed until they are settled.
        report(e.what());
    }
}

std::string ExchangeCycle::resolveDoubtful(const std::string& origId,
                                           const DoubtfulResolution& resolution) {
    if (!doubtful_.count(origId))
        throw ResolutionError(noLongerDoubtfulMessage(origId));
    const auto run = [this](const Json& task) { return runTask(&task); };
    std::string done =
        resolveDoubtfulDocument(journal_, host_.serialText(), origId, resolution, run);
    doubtful_.erase(origId);
    reportedDoubtful_.erase(origId);
    host_.journalChanged();
    return done;
}

void ExchangeCycle::reportDoubtful(const std::string& serial, const std::string& origId) {
    if (!reportedDoubtful_.insert(origId).second)
        return;
    CheckRow unknown;
    unknown.orig_id = origId;
    const std::optional<CheckRow> row = journal_.findCheck(serial, origId);
    report(doubtfulDocumentMessage(serial, row ? *row : unknown));
}

std::optional<Json> ExchangeCycle::runTask(const Json* task) {
    CashboxDriver* driver = host_.driver();
    if (driver == nullptr)
        return std::nullopt;
    return driver->processJSON(task);
}

std::optional<Json> ExchangeCycle::runTask(const char* constantTask) {
    const Json task = Json::parse(constantTask);
    return runTask(&task);
}

ExchangeCycle::RegisterState ExchangeCycle::readRegisterState() {
    // All three run before any answer is looked at.
    std::optional<Json> shift = runTask(kShiftStatusTask);
    std::optional<Json> ofd = runTask(kOfdExchangeStatusTask);
    std::optional<Json> totals = runTask(kShiftTotalsTask);
    if (!shift || !ofd || !totals) {
        host_.reconnectAfterFailure();
        throw ExchangeError(kNoRegisterContact);
    }
    return {std::move(*shift), std::move(*ofd), std::move(*totals)};
}

void ExchangeCycle::exchange(const Json& request, const Json& takenResults) {
    bool answerHandled = false;
    try {
        client_.executeImmediate(kCommandTasks, request,
                                 [&](DispatcherClient& sender, const Json& response) {
                                     answerHandled = true;
                                     processResponseData(sender, response);
                                 });
    } catch (const std::exception& e) {
        failedExchange(takenResults, answerHandled, e.what());
        return;
    } catch (...) {
        failedExchange(takenResults, answerHandled, "");
        return;
    }
    // An answer with a status other than 200 refused the request, results included.
    if (!answerHandled) {
        commandResults_.restoreFront(takenResults);
        return;
    }
    // An answer that brought problems of its own is no recovery from them.
    if (!reportedThisCycle_)
        host_.exchangeSucceeded();
}

// The service never saw results of a request that failed before its answer was handled:
// they go out again with the next request. The reason stays in sight for the merchant.
void ExchangeCycle::failedExchange(const Json& takenResults, bool answerHandled,
                                   const std::string& reason) {
    if (!answerHandled)
        commandResults_.restoreFront(takenResults);
    host_.reconnectAfterFailure();
    if (!reason.empty())
        report(reason);
}

void ExchangeCycle::processResponseData(DispatcherClient& /*sender*/, const Json& response) {
    const TasksAnswer answer = readTasksAnswer(response);
    const std::string serial = host_.serialText();
    acknowledge(serial, answer.acked);
    for (const std::string& refusal : answer.refusedDocs)
        report(refusal);
    storeDocuments(serial, answer.docs);
    for (const Json& command : answer.commands)
        commandResults_.append(runCommand(command));
}

// An acknowledgement the journal cannot write costs nothing: the row stays "completed", is
// reported again, and the service acknowledges it again. The first failure ends the list,
// so a locked journal is waited for once, not once per identifier.
void ExchangeCycle::acknowledge(const std::string& serial, const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
        try {
            journal_.ackCheck(statusText(CheckStatus::Acked), serial, id);
        } catch (const JournalError& e) {
            report(kAckNotSaved + id + ": " + e.what());
            break;
        }
    }
    if (!ids.empty())
        host_.journalChanged();
}

// One answer's documents are stored in one transaction, after any left over from before.
// A document the register already has is dropped (the service sent it again); one that is
// no document is reported and dropped; any other journal failure keeps them all here.
void ExchangeCycle::storeDocuments(const std::string& serial, const Json& documents) {
    std::vector<Json> batch = std::move(pendingDocuments_);
    pendingDocuments_.clear();
    for (const Json& document : documents)
        batch.push_back(document);
    if (batch.empty())
        return;
    std::vector<bool> unreadable(batch.size(), false);
    try {
        TaskJournal::Transaction transaction(journal_);
        for (size_t n = 0; n < batch.size(); ++n) {
            try {
                journal_.insertCheck(serial, batch[n]);
            } catch (const JournalDuplicateError&) {
            } catch (const JournalDocumentError& e) {
                unreadable[n] = true;
                report(errorTypeName(e) + kDocumentErrorJoin + e.what());
            }
        }
        transaction.commit();
        host_.journalChanged();
    } catch (const JournalError& e) {
        for (size_t n = 0; n < batch.size(); ++n)
            if (!unreadable[n])
                pendingDocuments_.push_back(std::move(batch[n]));
        report(kDocumentsNotSaved + std::string(e.what()));
    }
}

Json ExchangeCycle::runCommand(const Json& command) {
    const std::optional<Json> result = runTask(member(command, "payload"));
    return commandResult(member(command, "id"), result);
}

// Rows run in the order they were stored. A marked row waits for its settlement; a fiscal
// document goes to the register only once its mark is on disk; the pass ends at the first
// document without an answer, whose fate the next settlement decides.
void ExchangeCycle::executionPass(const std::string& serial) {
    std::set<std::string> marked;
    try {
        for (const InFlightMark& mark : journal_.inFlightMarks(serial))
            marked.insert(mark.origId);
    } catch (const JournalError& e) {
        // Without the marks nothing can be handed over safely; the next cycle tries again.
        report(e.what());
        return;
    }
    std::optional<FiscalCount> count;
    for (const CheckRow& row : journal_.selectChecks(serial, statusText(CheckStatus::Added))) {
        if (isUnsaved(row) || marked.count(row.orig_id))
            continue;
        // A row whose data is not JSON is no task: the register gives no answer to it.
        const std::optional<Json> task = parseJson(row.data);
        if (task && isFiscalDocument(*task)) {
            if (!executeFiscal(row, *task, count))
                return;
            continue;
        }
        const std::optional<Json> answer = runTask(task ? &*task : nullptr);
        if (answer && !completeRow(row, dumpCompact(*answer), false))
            return;
    }
}

// The register's count is read once per pass and then followed from each answer's own
// fiscal document number.
bool ExchangeCycle::executeFiscal(const CheckRow& row, const Json& task,
                                  std::optional<FiscalCount>& count) {
    if (!count)
        count = readFiscalCount([this](const Json& t) { return runTask(&t); });
    if (count->kind == FiscalCount::Kind::NoAnswer)
        return false;
    try {
        journal_.markInFlight({row.serial, row.orig_id,
                               count->isKnown() ? std::optional(count->number) : std::nullopt});
    } catch (const JournalError& e) {
        report(e.what());
        return false;
    }
    const std::optional<Json> answer = runTask(&task);
    if (!answer)
        return false;
    if (auto made = answeredFiscalNumber(*answer))
        count = FiscalCount::known(*made);
    else if (!answer->is_object() || !answer->contains("error"))
        count.reset();
    return completeRow(row, dumpCompact(*answer), true);
}

// The register has executed the document (a receipt may be printed): an answer the journal
// cannot take now is kept, and the row is not executed again meanwhile.
bool ExchangeCycle::completeRow(const CheckRow& row, const std::string& response, bool fiscal) {
    try {
        writeCompletion({row.serial, row.orig_id, response, fiscal});
        host_.journalChanged();
        return true;
    } catch (const JournalError& e) {
        unsavedAnswers_.push_back({row.serial, row.orig_id, response, fiscal});
        report(e.what());
        return false;
    }
}

// A fiscal row's mark goes in the same transaction as its completion.
void ExchangeCycle::writeCompletion(const UnsavedAnswer& answer) {
    const char* completed = statusText(CheckStatus::Completed);
    if (answer.fiscal)
        journal_.completeInFlight(completed, answer.response, answer.serial, answer.origId);
    else
        journal_.completeCheck(completed, answer.response, answer.serial, answer.origId);
}

void ExchangeCycle::saveUnsavedAnswers() {
    while (!unsavedAnswers_.empty()) {
        const UnsavedAnswer& first = unsavedAnswers_.front();
        try {
            writeCompletion(first);
        } catch (const JournalError& e) {
            report(e.what());
            return;
        }
        unsavedAnswers_.erase(unsavedAnswers_.begin());
        host_.journalChanged();
    }
}

bool ExchangeCycle::isUnsaved(const CheckRow& row) const {
    return std::any_of(unsavedAnswers_.begin(), unsavedAnswers_.end(), [&](const auto& unsaved) {
        return unsaved.serial == row.serial && unsaved.origId == row.orig_id;
    });
}

}  // namespace th
