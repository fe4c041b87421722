#pragma once

#include "platform/Json.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace th::sandbox {

// Ways the sandbox can misbehave on purpose, so the client's robustness can be tested.
enum class FaultMode {
    None,
    Http500,        // HTTP 500 with a short JSON body
    NotJson,        // HTTP 200 with an HTML page
    Huge,           // HTTP 200 with a valid JSON body of about 50 MB
    Deep,           // HTTP 200 with JSON nested 100000 deep under "data"
    WrongTypes,     // status 200; every member under "data" of the wrong type
    WrongElements,  // status 200; the arrays are there, their elements of the wrong types
    BadStatus,      // "status" an object, "message" a number
    Hang,           // holds the request for `seconds`, then answers normally
};

struct FaultPlan {
    FaultMode mode = FaultMode::None;
    int64_t remaining = -1;  // answers still to spoil; -1 for every answer until cleared
    double seconds = 0;      // for Hang
    std::string command;     // only this command's answers; empty for all
    bool apply = false;      // carry the request out first, then spoil its answer
};

inline constexpr size_t kHugeBodyBytes = 50u * 1024u * 1024u;
inline constexpr int kDeepNesting = 100000;

// Reads {"mode": "...", "count": N, "seconds": S, "command": "...", "apply": bool};
// nullopt with a reason in `error` when it is not such an object.
std::optional<FaultPlan> parseFaultPlan(const Json& body, std::string& error);
Json faultPlanToJson(const FaultPlan& plan);
const char* faultModeName(FaultMode mode);

// The plan in force; takes one spoiled answer from it per dispatcher request.
class FaultSwitch {
public:
    void set(const FaultPlan& plan);
    void clear();
    FaultPlan current() const;
    // The fault for this command's answer, counting it off the plan; None when none.
    FaultPlan take(const std::string& command);
    int64_t served() const;

    // Waits up to `seconds`, less when the sandbox stops.
    void hang(double seconds);
    void wakeAll();

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    FaultPlan plan_;
    int64_t served_ = 0;
};

// Bodies of the spoiled answers (the huge one is streamed, see hugeBodyChunk).
std::string notJsonBody();
std::string deepBody();
Json wrongTypesBody(const std::string& command);
Json wrongElementsBody(const std::string& command);
Json badStatusBody();
// The huge body in pieces: prefix, padding up to kHugeBodyBytes, suffix.
std::string hugeBodyPrefix();
std::string hugeBodySuffix();

}  // namespace th::sandbox
