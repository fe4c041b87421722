#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "emulator/FptrConstants.h"
#include "emulator/RegisterModel.h"

namespace th {

// The outcome of one JSON task on one register.
struct TaskResult {
    std::string type;  // the task's "type", empty when it had none
    Json externalId;   // the task's "external_id", null when it had none
    fptr::ErrorCode code = fptr::ErrorCode::ok;
    std::string description;                           // the failure's text; empty on success
    Json answer;                                       // the register's answer on success
    std::optional<std::int64_t> fiscalDocumentNumber;  // when a fiscal document was made
    bool printed = false;  // a document (fiscal or not) came out of the printer

    bool ok() const { return code == fptr::ErrorCode::ok; }
};

// Runs a task given as JSON text the way an ATOL register does: state tasks answer from
// the register and its state; documents are checked and, when the register accepts them,
// change the state. A refused task leaves the state exactly as it was.
TaskResult executeTask(const RegisterConfig& config, EmulatedRegisterState& state,
                       std::string_view taskText, Clock::time_point now);

}  // namespace th
