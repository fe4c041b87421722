#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Json.h"

namespace th {

// A bench file or state file that cannot be used; the message names the file and the fault.
TH_DECLARE_ERROR(EmulatorError, Error);

using Clock = std::chrono::system_clock;

// One register on the bench, as emulator.json describes it. The flags are re-read at every
// operation, so a person can unplug the register or open its cover while the client runs.
struct RegisterConfig {
    std::string serial;
    std::string model = "АТОЛ 30Ф";
    std::string port = "USB";  // "USB" or a COM port name such as "COM3"
    bool reachable = true;     // false: the port is gone (a USB register unplugged)
    bool silent = false;       // true: the port stays, but the register does not answer
    bool blocked = false;
    bool coverOpened = false;
    bool fiscal = true;
    bool fnPresent = true;
    bool fnFiscal = true;
    bool paperPresent = true;
    bool ofdOnline = true;  // documents reach the fiscal data operator at once
    std::string firmwareVersion = "5.8.100";
    std::string fnSerial;            // derived from the serial when empty
    std::string registrationNumber;  // derived from the serial when empty
    std::string organizationName = "ООО \"Тиллхейвен\"";
    std::string organizationVatin = "7701234567";
    std::string organizationAddress = "г. Москва, ул. Примерная, д. 1";
    std::string paymentsAddress = "Торговый зал";
    // Faults a test can stage. A document takes this long to print; the answer comes after.
    double printSeconds = 0;
    // The first this many fiscal documents are made but their answers lost on the link.
    std::int64_t loseAnswers = 0;
};

// The longest print a bench may ask for: a register never takes an hour over one document.
inline constexpr double kMaxPrintSeconds = 3600;

// Parses the text of emulator.json; raises EmulatorError naming the faulty member.
std::vector<RegisterConfig> parseBench(const std::string& text);

// Money is kept in kopecks so that totals add up exactly.
struct ReceiptTotals {
    std::int64_t count = 0;
    std::int64_t sum = 0;
    std::map<std::string, std::int64_t> payments;  // by payment type, net of change
    bool operator==(const ReceiptTotals&) const = default;
};

// What one register remembers between tasks and between runs of the program.
struct EmulatedRegisterState {
    bool shiftOpened = false;
    std::int64_t shiftNumber = 0;
    std::int64_t shiftOpenedAt = 0;       // Unix time
    std::int64_t lastDocumentNumber = 1;  // number 1 is the registration report
    std::int64_t lastReceiptNumber = 0;   // within the shift
    std::int64_t documentsInShift = 0;
    std::int64_t lastSentDocumentNumber = 1;
    std::int64_t firstUnsentAt = 0;  // Unix time of the oldest unsent document
    std::int64_t cash = 0;           // cash in the drawer, kopecks
    std::int64_t beeps = 0;
    std::map<std::string, ReceiptTotals> totals;  // this shift's receipts by type
    std::int64_t lostAnswers = 0;  // fiscal documents made whose answer the link lost
    Json lastFiscalParams;         // the last fiscal document's fiscalParams; null before one
    bool operator==(const EmulatedRegisterState&) const = default;
};

Json stateToJson(const EmulatedRegisterState& state);
// Raises EmulatorError when a member is missing or of the wrong type.
EmulatedRegisterState stateFromJson(const Json& value);

// "closed", "opened" or "expired" (a shift older than 24 hours).
std::string shiftState(const EmulatedRegisterState& state, Clock::time_point now);

// ISO 8601 local time with the zone offset, as the register writes its dates.
std::string formatLocalTime(Clock::time_point time);

}  // namespace th
