#pragma once

#include <cstdint>
#include <string>

#include "cashbox/InFlight.h"
#include "platform/Errors.h"

namespace th {

class TaskJournal;

// A person's answer for a document whose fate the register could not tell was refused: the
// document is no longer in question, or the number cannot be its number.
TH_DECLARE_ERROR(ResolutionError, Error);

// What the person who checked the register's documents found.
struct DoubtfulResolution {
    enum class Kind {
        // "Чек пробит": the receipt is there, with this fiscal document number.
        Printed,
        // "Чек не пробит — пробить": it is not; the document runs again.
        NotPrinted,
    };
    Kind kind = Kind::NotPrinted;
    std::int64_t fiscalNumber = 0;
};

// The answer a confirmed receipt is completed with.
Json operatorConfirmedResponse(std::int64_t fiscalNumber);

// Settles a doubtful document of the register as the person says, in one journal write:
// "printed" completes its row with the number (which must be one the register made after the
// document was handed over, up to its count now, and no other row's); "not printed" clears
// its mark, so the next execution pass hands it over again, marked anew. Only an "added"
// row with its mark qualifies: a completed or acknowledged row is never printed again.
// Returns the line for tillhaven.log; ResolutionError names what stood in the way.
std::string resolveDoubtfulDocument(TaskJournal& journal, const std::string& serial,
                                    const std::string& origId, const DoubtfulResolution& resolution,
                                    const RegisterTask& run);

// "Документ <id> больше не под вопросом".
std::string noLongerDoubtfulMessage(const std::string& origId);

}  // namespace th
