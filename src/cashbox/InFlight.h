#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"

namespace th {

class TaskJournal;
struct CheckRow;

// A receipt must be printed exactly once, whatever fails. Before a fiscal document goes to
// the register the journal records that it is going, with the register's count of fiscal
// documents read just before. Whenever the register's answer did not make it into the
// journal (a lost link, a crash, a power cut), the register's own count tells afterwards
// whether the document was made.

// The documents that leave a fiscal record (and so a count) on the register.
bool isFiscalDocument(const Json& task);

// The register's last fiscal document number, as far as the register tells it.
struct FiscalCount {
    enum class Kind { NoAnswer, Unreadable, Known };
    Kind kind = Kind::NoAnswer;
    std::int64_t number = 0;

    static FiscalCount noAnswer() { return {}; }
    static FiscalCount unreadable() { return {Kind::Unreadable, 0}; }
    static FiscalCount known(std::int64_t number) { return {Kind::Known, number}; }
    bool isKnown() const { return kind == Kind::Known; }
};

// Runs one JSON task on the register: nullopt when it gave no answer.
using RegisterTask = std::function<std::optional<Json>(const Json& task)>;

// Reads the count with the vendor's {"type": "getFnStatus"} (fnStatus.fiscalDocumentNumber).
FiscalCount readFiscalCount(const RegisterTask& run);

// The fiscal document number in a document's own answer ({"fiscalParams": {...}}).
std::optional<std::int64_t> answeredFiscalNumber(const Json& answer);

// Whether the register's last fiscal document, as getLastFiscalParams shows it, can be the
// given document: a receipt's total must be shown and equal the document's; a shift
// document shows no receipt total. What the answer does not show is not held against it.
bool fiscalParamsFitDocument(const Json& fiscalParams, const Json& document);

// What settling one marked document came to.
enum class Settlement {
    NotMade,    // the count did not move: the document may be executed again
    Recovered,  // the register made it: the row is completed from the register's record
    Doubtful,   // the register cannot tell: the row waits for a person and is never re-run
    NoContact,  // the register did not answer: left as it is for the next attempt
};

struct SettledMark {
    std::string origId;
    Settlement outcome;
};

// What the register's count says about one document, when the count before the document
// and the count now are both known. Recovered comes with the row's response, read from the
// register's record of its last document.
struct CountVerdict {
    Settlement outcome;
    std::optional<Json> response;
};
// document is the row's task, nullptr when its data is not JSON (it cannot be matched then).
CountVerdict judgeByCount(std::int64_t before, std::int64_t now, const Json* document,
                          const RegisterTask& run);

// Settles every marked document of the register, oldest first, before anything else goes
// to it. Completes recovered rows and clears the marks of rows that were not made or are
// no longer waiting. Journal errors reach the caller. Stops at the first NoContact.
std::vector<SettledMark> settleInFlight(TaskJournal& journal, const std::string& serial,
                                        const RegisterTask& run);

// The text shown for a document left doubtful.
std::string doubtfulDocumentMessage(const std::string& serial, const CheckRow& row);

}  // namespace th
