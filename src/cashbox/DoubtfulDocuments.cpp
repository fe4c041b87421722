#include "cashbox/DoubtfulDocuments.h"

#include <algorithm>

#include "cashbox/TaskJournal.h"

namespace th {

namespace {

std::string numberText(std::int64_t number) {
    return std::to_string(number);
}

// The row's mark, when the row is still in question: "added", with its mark.
std::optional<InFlightMark> markOfDoubtful(TaskJournal& journal, const std::string& serial,
                                           const std::string& origId) {
    const std::optional<CheckRow> row = journal.findCheck(serial, origId);
    if (!row || row->status != statusText(CheckStatus::Added))
        return std::nullopt;
    const std::vector<InFlightMark> marks = journal.inFlightMarks(serial);
    const auto mark = std::find_if(marks.begin(), marks.end(),
                                   [&](const InFlightMark& m) { return m.origId == origId; });
    if (mark == marks.end())
        return std::nullopt;
    return *mark;
}

// The number must be one the register made while the document was away: above its count
// before the document was handed over, not above its count now, and nobody else's.
void checkFiscalNumber(TaskJournal& journal, const std::string& serial, const InFlightMark& mark,
                       std::int64_t number, const RegisterTask& run) {
    if (number <= 0)
        throw ResolutionError("Номер фискального документа должен быть больше нуля");
    const FiscalCount count = readFiscalCount(run);
    if (count.kind == FiscalCount::Kind::NoAnswer)
        throw ResolutionError(
            "Нет связи с кассой: номер последнего фискального документа не прочитан");
    if (!count.isKnown())
        throw ResolutionError("Касса не сообщила номер последнего фискального документа");
    if (number > count.number)
        throw ResolutionError("Номер ФД " + numberText(number) +
                              " больше номера последнего документа кассы (" +
                              numberText(count.number) + ")");
    if (mark.fiscalNumberBefore && number <= *mark.fiscalNumberBefore)
        throw ResolutionError("Номер ФД " + numberText(number) +
                              " был у кассы ещё до передачи документа " + mark.origId +
                              " (последний тогда — " + numberText(*mark.fiscalNumberBefore) + ")");
    if (auto other = journal.documentWithFiscalNumber(serial, number, mark.origId))
        throw ResolutionError("Номер ФД " + numberText(number) + " уже записан у документа " +
                              *other);
}

}  // namespace

Json operatorConfirmedResponse(std::int64_t fiscalNumber) {
    return Json{{"fiscalParams", {{"fiscalDocumentNumber", fiscalNumber}}},
                {"recovered", true},
                {"confirmedBy", "operator"}};
}

std::string noLongerDoubtfulMessage(const std::string& origId) {
    return "Документ " + origId + " больше не под вопросом";
}

std::string resolveDoubtfulDocument(TaskJournal& journal, const std::string& serial,
                                    const std::string& origId, const DoubtfulResolution& resolution,
                                    const RegisterTask& run) {
    const std::optional<InFlightMark> mark = markOfDoubtful(journal, serial, origId);
    if (!mark)
        throw ResolutionError(noLongerDoubtfulMessage(origId));
    if (resolution.kind == DoubtfulResolution::Kind::NotPrinted) {
        journal.clearInFlight(serial, origId);
        return "Документ " + origId +
               " отмечен оператором как не пробитый: он будет пробит при следующем обмене";
    }
    checkFiscalNumber(journal, serial, *mark, resolution.fiscalNumber, run);
    journal.completeInFlight(statusText(CheckStatus::Completed),
                             dumpCompact(operatorConfirmedResponse(resolution.fiscalNumber)),
                             serial, origId);
    return "Документ " + origId + " отмечен оператором как пробитый, номер ФД " +
           numberText(resolution.fiscalNumber);
}

}  // namespace th
