#include "cashbox/ExchangeCycle.h"

#include <algorithm>

#include "cashbox/CommandResults.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "drivers/CashboxDriver.h"
#include "drivers/DriverFailures.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"

namespace th {

namespace {

// The register state tasks, in the order they run.
constexpr const char* kShiftStatusTask = R"({"type": "getShiftStatus"})";
constexpr const char* kOfdExchangeStatusTask = R"({"type": "ofdExchangeStatus"})";
constexpr const char* kShiftTotalsTask = R"({"type": "getShiftTotals"})";
constexpr const char* kDeviceStatusTask = R"({"type": "getDeviceStatus"})";

constexpr const char* kAckNotSaved = "Подтверждение не записано в журнал заданий, документ ";
constexpr const char* kDocumentsNotSaved =
    "Документы не записаны в журнал заданий и будут записаны при следующем обмене: ";

constexpr const char* kDocumentChanged =
    "под этим \"external_id\" в журнале уже есть другой документ";

// "Документ 17 не принят: " or, without a usable id, by its place in the answer.
std::string refusedDocumentName(const std::optional<std::string>& externalId, size_t position) {
    if (externalId)
        return "Документ " + *externalId + " не принят: ";
    if (position > 0)
        return "Документ №" + std::to_string(position) +
               " ответа без читаемого \"external_id\" не принят: ";
    return "Документ без читаемого \"external_id\" не принят: ";
}

// Member order and the spelling of numbers aside, the same document.
bool sameDocument(const std::string& storedText, const Json& document) {
    const std::optional<Json> stored = parseJson(storedText);
    return stored && nlohmann::json::parse(dumpCompact(*stored)) ==
                         nlohmann::json::parse(dumpCompact(document));
}

const Json* member(const Json& object, const char* name) {
    if (!object.is_object())
        return nullptr;
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

std::string printerHoldMessage(const std::string& serial, const std::string& refusal) {
    return "Касса " + serial + " не может печатать (" + refusal +
           "), документы ждут, пока принтер не будет готов";
}

// Whether a "getDeviceStatus" answer shows a printer that can print: paper in, cover shut,
// no fault. A refusal or an answer without the status is no sign that it can.
bool printerCanPrint(const Json& status) {
    const Json* device = member(status, "deviceStatus");
    if (device == nullptr || !device->is_object())
        return false;
    const auto flag = [&](const char* name, bool healthy) {
        const Json* value = member(*device, name);
        return value == nullptr || !value->is_boolean() || value->get<bool>() == healthy;
    };
    return flag("paperPresent", true) && flag("coverOpened", false) &&
           flag("printerConnectionLost", false) && flag("printerError", false) &&
           flag("cutError", false) && flag("printerOverheat", false);
}

}  // namespace

std::string badDocumentMessage(const std::string& reason) {
    const JournalDocumentError error(reason);
    return errorTypeName(error) + kDocumentErrorJoin + error.what();
}

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
    const bool mayPrint = printerReady();
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
    const CommandResults::Batch taken = commandResults_.take();
    request.commands = taken.entries;
    const auto requestStarted = std::chrono::steady_clock::now();
    exchange(tasksRequest(request), taken);
    if (mayPrint)
        executionPass(serial, requestStarted + executionBudget_);
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

void ExchangeCycle::exchange(const Json& request, const CommandResults::Batch& takenResults) {
    bool answerHandled = false;
    try {
        client_.executeImmediate(kCommandTasks, request,
                                 [&](DispatcherClient& sender, const Json& response) {
                                     answerHandled = true;
                                     // The service has the results: they leave the journal.
                                     commandResults_.delivered(takenResults);
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
void ExchangeCycle::failedExchange(const CommandResults::Batch& takenResults, bool answerHandled,
                                   const std::string& reason) {
    if (!answerHandled)
        commandResults_.restoreFront(takenResults);
    host_.reconnectAfterFailure();
    if (!reason.empty())
        report(reason);
}

void ExchangeCycle::processResponseData(DispatcherClient& sender, const Json& response) {
    // Taken first: a box shown below may let this client start its next request.
    const std::vector<UnreadableDocument> unreadable = sender.unreadableDocuments();
    const TasksAnswer answer = readTasksAnswer(response);
    const std::string serial = host_.serialText();
    acknowledge(serial, answer.acked);
    // Without a usable id nothing can tell the service: the document is reported once per run.
    for (const std::string& refusal : answer.refusedDocs) {
        const std::string message = badDocumentMessage(refusal);
        if (reportedWithoutId_.insert(message).second)
            report(message);
    }
    storeDocuments(serial, answer.docs, unreadable);
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
// A document the register already has is dropped when it is the same (the service sent it
// again) and refused when it is another; one that cannot be a row, or cannot be read, is
// refused; any other journal failure keeps the readable ones here. Refusals are reported
// once the transaction holds them.
void ExchangeCycle::storeDocuments(const std::string& serial, const Json& documents,
                                   const std::vector<UnreadableDocument>& unreadable) {
    std::vector<Json> batch = std::move(pendingDocuments_);
    pendingDocuments_.clear();
    for (const Json& document : documents)
        batch.push_back(document);
    if (batch.empty() && unreadable.empty())
        return;
    std::vector<bool> refused(batch.size(), false);
    std::vector<std::string> refusals;
    try {
        TaskJournal::Transaction transaction(journal_);
        for (size_t n = 0; n < batch.size(); ++n) {
            try {
                journal_.insertCheck(serial, batch[n]);
            } catch (const JournalDuplicateError&) {
                checkResent(serial, batch[n], refusals);
            } catch (const JournalDocumentError& e) {
                refused[n] = true;
                refuseDocument(serial,
                               {documentExternalId(batch[n]), documentType(batch[n]),
                                dumpCompact(batch[n]), e.what(), 0},
                               refusals);
            }
        }
        for (const UnreadableDocument& document : unreadable)
            refuseDocument(serial,
                           {document.externalId, document.type, document.text, document.reason,
                            document.position},
                           refusals);
        transaction.commit();
        host_.journalChanged();
    } catch (const JournalError& e) {
        for (size_t n = 0; n < batch.size(); ++n)
            if (!refused[n])
                pendingDocuments_.push_back(std::move(batch[n]));
        report(kDocumentsNotSaved + std::string(e.what()));
        return;
    }
    for (const std::string& message : refusals)
        report(message);
}

// The same document sent again is fine; other contents under a used id are refused (the
// id keeps its row) and recorded, so they are reported once.
void ExchangeCycle::checkResent(const std::string& serial, const Json& document,
                                std::vector<std::string>& refusals) {
    const std::string id = documentExternalId(document).value_or("");
    const std::optional<CheckRow> row = journal_.findCheck(serial, id);
    if (!row || sameDocument(row->data, document))
        return;
    if (journal_.recordRefusal(serial, id, kDocumentChanged))
        refusals.push_back(badDocumentMessage(refusedDocumentName(id, 0) + kDocumentChanged));
}

// A refused document with a usable id becomes a row completed with {"error": reason}, so
// the service hears of it in the next request and stops sending it; without one it is only
// reported, once per run.
void ExchangeCycle::refuseDocument(const std::string& serial, const RefusedDocument& document,
                                   std::vector<std::string>& refusals) {
    const std::string message = badDocumentMessage(
        refusedDocumentName(document.externalId, document.position) + document.reason);
    if (!document.externalId) {
        if (reportedWithoutId_.insert(message).second)
            report(message);
        return;
    }
    try {
        journal_.insertRefused(serial, *document.externalId, document.type.value_or(""),
                               document.text, document.reason);
    } catch (const JournalDuplicateError&) {
        const std::optional<CheckRow> row = journal_.findCheck(serial, *document.externalId);
        if (row && row->data == document.text)
            return;  // sent again before the service heard of the refusal
    }
    if (journal_.recordRefusal(serial, *document.externalId, document.reason))
        refusals.push_back(message);
}

Json ExchangeCycle::runCommand(const Json& command) {
    const std::optional<Json> result = runTask(member(command, "payload"));
    return commandResult(member(command, "id"), result);
}

// Rows run in the order they were stored. A marked row waits for its settlement; a fiscal
// document goes to the register only once its mark is on disk; the pass ends at the first
// document without an answer, whose fate the next settlement decides. Past the deadline it
// takes no new row (but always one), so a backlog never keeps the register from the
// service for long: the next cycle reports what was done and goes on.
void ExchangeCycle::executionPass(const std::string& serial,
                                  std::chrono::steady_clock::time_point deadline) {
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
    bool taken = false;
    for (const CheckRow& row : journal_.selectChecks(serial, statusText(CheckStatus::Added))) {
        if (isUnsaved(row) || marked.count(row.orig_id))
            continue;
        if (taken && std::chrono::steady_clock::now() >= deadline)
            return;
        taken = true;
        // A row whose data is not JSON is no task: the register gives no answer to it.
        const std::optional<Json> task = parseJson(row.data);
        if (task && isFiscalDocument(*task)) {
            if (!executeFiscal(row, *task, count))
                return;
            continue;
        }
        const std::optional<Json> answer = runTask(task ? &*task : nullptr);
        if (answer && (!completeRow(row, dumpCompact(*answer), false) || holdForPrinter(*answer)))
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
    if (answer->is_object() && answer->contains("error"))
        return completeRefusedFiscal(row, task, *answer, count) && !holdForPrinter(*answer);
    if (auto made = answeredFiscalNumber(*answer))
        count = FiscalCount::known(*made);
    else
        count.reset();
    return completeRow(row, dumpCompact(*answer), true);
}

// A refusal does not prove that nothing was made: the link may have failed after the
// print, or the printer during it. The register's count decides; where it cannot tell
// (no count before, none readable after) the refusal is all there is to report.
bool ExchangeCycle::completeRefusedFiscal(const CheckRow& row, const Json& task,
                                          const Json& refusal, std::optional<FiscalCount>& count) {
    const std::string refused = dumpCompact(refusal);
    if (!count->isKnown())
        return completeRow(row, refused, true);
    const std::int64_t before = count->number;
    count = readFiscalCount([this](const Json& t) { return runTask(&t); });
    // No answer: the mark stays, and the next settlement decides.
    if (count->kind == FiscalCount::Kind::NoAnswer)
        return false;
    if (!count->isKnown())
        return completeRow(row, refused, true);
    const CountVerdict verdict =
        judgeByCount(before, count->number, &task, [this](const Json& t) { return runTask(&t); });
    if (verdict.outcome == Settlement::NotMade)
        return completeRow(row, refused, true);
    if (verdict.outcome == Settlement::Recovered)
        return completeRow(row, dumpCompact(*verdict.response), true);
    // The register made something it cannot show to be this document, or went silent: the
    // mark stays for the next settlement, which reports what it cannot settle.
    return false;
}

// A printer that cannot print (no paper, cover open, a fault) would refuse every document
// after this one in turn: they wait in the journal, "added", until it can print again.
bool ExchangeCycle::holdForPrinter(const Json& answer) {
    if (!isPrinterNotReady(answer))
        return false;
    printerHold_ = answer.at("error").get<std::string>();
    report(printerHoldMessage(host_.serialText(), *printerHold_));
    return true;
}

// While documents are held, the register's status says when the printer is back; a status
// the register does not give leaves them held until it does. The hold is reported once and
// stands until then: no exchange meanwhile passes for a recovery.
bool ExchangeCycle::printerReady() {
    if (!printerHold_)
        return true;
    const std::optional<Json> status = runTask(kDeviceStatusTask);
    if (!status || !printerCanPrint(*status)) {
        reportedThisCycle_ = true;
        return false;
    }
    printerHold_.reset();
    return true;
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
