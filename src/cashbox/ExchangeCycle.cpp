#include "cashbox/ExchangeCycle.h"

#include <algorithm>

#include "cashbox/CommandResults.h"
#include "cashbox/Journal.h"
#include "dispatcher/Messages.h"
#include "dispatcher/RestClient.h"
#include "drivers/Cashboxdrv.h"
#include "platform/Dialogs.h"

namespace th {

namespace {

// The register state tasks, in the order they run.
constexpr const char* kShiftStatusTask = R"({"type": "getShiftStatus"})";
constexpr const char* kOfdExchangeStatusTask = R"({"type": "ofdExchangeStatus"})";
constexpr const char* kShiftTotalsTask = R"({"type": "getShiftTotals"})";

const Json* member(const Json& object, const char* name) {
    if (!object.is_object())
        return nullptr;
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

}  // namespace

TExchangeCycle::TExchangeCycle(ExchangeHost& host, TTHVRESTClient& ownClient, TJournal& journal,
                               TCommandResults& commandResults, IDialogs& dialogs)
    : host_(host),
      client_(ownClient),
      journal_(journal),
      commandResults_(commandResults),
      dialogs_(dialogs) {}

void TExchangeCycle::ClientTimerTimer() {
    // A box shown while this window's request is under way lets timer ticks through.
    if (!client_.isReady())
        return;
    RegisterState state = readRegisterState();
    const std::string serial = host_.serialText();
    saveUnsavedAnswers();
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

std::optional<Json> TExchangeCycle::runTask(const Json* task) {
    TCashboxdrv* driver = host_.driver();
    if (driver == nullptr)
        return std::nullopt;
    return driver->processJSON(task);
}

std::optional<Json> TExchangeCycle::runTask(const char* constantTask) {
    const Json task = Json::parse(constantTask);
    return runTask(&task);
}

TExchangeCycle::RegisterState TExchangeCycle::readRegisterState() {
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

void TExchangeCycle::exchange(const Json& request, const Json& takenResults) {
    bool answerHandled = false;
    try {
        client_.executeImmediate(kCommandTasks, request,
                                 [&](TTHVRESTClient& sender, const Json& response) {
                                     answerHandled = true;
                                     processResponseData(sender, response);
                                 });
    } catch (...) {
        // The service never saw results of a request that failed before its answer was
        // handled: they go out again with the next request.
        if (!answerHandled)
            commandResults_.restoreFront(takenResults);
        host_.reconnectAfterFailure();
        return;
    }
    // An answer with a status other than 200 refused the request, results included.
    if (!answerHandled)
        commandResults_.restoreFront(takenResults);
}

void TExchangeCycle::processResponseData(TTHVRESTClient& /*sender*/, const Json& response) {
    const TasksAnswer answer = readTasksAnswer(response);
    const std::string serial = host_.serialText();
    for (const std::string& id : answer.acked)
        journal_.ackCheck(statusText(CheckStatus::Acked), serial, id);
    for (const Json& document : answer.docs)
        storeDocument(serial, document);
    for (const Json& command : answer.commands)
        commandResults_.append(runCommand(command));
}

void TExchangeCycle::storeDocument(const std::string& serial, const Json& document) {
    try {
        journal_.insertCheck(serial, document);
    } catch (const JournalError&) {
        // The database refused the row; a document sent again with the same "external_id"
        // ends here, so it is neither stored nor executed twice.
    } catch (const std::exception& e) {
        dialogs_.show(BoxKind::Error, errorTypeName(e) + kDocumentErrorJoin + e.what());
    }
}

Json TExchangeCycle::runCommand(const Json& command) {
    const std::optional<Json> result = runTask(member(command, "payload"));
    return commandResult(member(command, "id"), result);
}

void TExchangeCycle::executionPass(const std::string& serial) {
    for (const CheckRow& row : journal_.selectChecks(serial, statusText(CheckStatus::Added))) {
        if (isUnsaved(row))
            continue;
        // A row whose data is not JSON is no task: the register gives no answer to it.
        const std::optional<Json> task = parseJson(row.data);
        const std::optional<Json> answer = runTask(task ? &*task : nullptr);
        if (answer)
            completeRow(row, dumpCompact(*answer));
    }
}

void TExchangeCycle::completeRow(const CheckRow& row, const std::string& response) {
    try {
        journal_.completeCheck(statusText(CheckStatus::Completed), response, row.serial,
                               row.orig_id);
    } catch (const JournalError&) {
        // The register has executed the document (a receipt may be printed): it must not
        // be executed again because the journal was briefly unwritable.
        unsavedAnswers_.push_back({row.serial, row.orig_id, response});
        throw;
    }
}

void TExchangeCycle::saveUnsavedAnswers() {
    while (!unsavedAnswers_.empty()) {
        const UnsavedAnswer& first = unsavedAnswers_.front();
        journal_.completeCheck(statusText(CheckStatus::Completed), first.response, first.serial,
                               first.origId);
        unsavedAnswers_.erase(unsavedAnswers_.begin());
    }
}

bool TExchangeCycle::isUnsaved(const CheckRow& row) const {
    return std::any_of(unsavedAnswers_.begin(), unsavedAnswers_.end(), [&](const auto& unsaved) {
        return unsaved.serial == row.serial && unsaved.origId == row.orig_id;
    });
}

}  // namespace th
