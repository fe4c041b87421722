#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Json.h"

// The dispatcher API's six commands: how each request is built (members in the order the
// service documents) and how the members of their answers are read. Readers never throw on
// a missing member or a value of another type unless they say so: they report "nothing
// usable" and leave it to the sender to keep its state unchanged.
namespace th {

// An answer that cannot be used as it stands (for example "data.docs" not an array).
TH_DECLARE_ERROR(DispatcherAnswerError, Error);

inline constexpr const char* kCommandTest = "test";
inline constexpr const char* kCommandAuthorize = "authorize";
inline constexpr const char* kCommandGetSalePoints = "getsalepoints";
inline constexpr const char* kCommandCashbox = "cashbox";
inline constexpr const char* kCommandTasks = "tasks";
inline constexpr const char* kCommandSwVersion = "swversion";

// Texts of DispatcherAnswerError.
inline constexpr const char* kNoTokenInAnswer = "Сервис не прислал токен авторизации";
inline constexpr const char* kNoAuthInAnswer = "Сервис прислал некорректный ответ авторизации";
inline constexpr const char* kTasksMemberNotArray =
    "Сервис прислал некорректный ответ на обмен заданиями: не является списком: ";
// Texts of a "docs" element left out of a "tasks" answer.
inline constexpr const char* kDocumentNotObject =
    "Сервис прислал документ, который не является объектом: ";
inline constexpr const char* kDocumentWithoutId = "Сервис прислал документ без \"external_id\"";
inline constexpr const char* kDocumentBadId =
    "Сервис прислал документ с недопустимым \"external_id\": ";

// ---- requests ------------------------------------------------------------------------------

Json testRequest();
Json authorizeRequest(const std::string& login, const std::string& password);
Json getSalePointsRequest();
Json swversionRequest();

// The register's answers to the four identity tasks, in the order the request lists them.
struct CashboxReport {
    std::string driver;
    Json deviceInfo;    // {"type": "getDeviceInfo"}
    Json deviceStatus;  // {"type": "getDeviceStatus"}
    Json fnInfo;        // {"type": "getFnInfo"}
    Json registration;  // {"type": "getRegistrationInfo"}
};
// {"Driver","cashbox","status","fn","reg"}; enrolment adds "add": "1" at the end.
Json cashboxRequest(const CashboxReport& report, bool enrol);

// One exchange of a connected register.
struct TasksState {
    std::string serial;
    std::string token;
    std::string driver;
    Json shift;                         // {"type": "getShiftStatus"}
    Json ofd;                           // {"type": "ofdExchangeStatus"}
    Json totals;                        // {"type": "getShiftTotals"}
    Json commands = Json::array();      // command results (commandResult)
    std::vector<std::string> received;  // external ids of stored, unanswered documents
    Json completed = Json::array();     // completed entries (completedEntry)
};
Json tasksRequest(const TasksState& state);

// {"id": <id>, "result": <answer>}: "id" absent when the command had none, "result" absent
// when the register did not answer.
Json commandResult(const Json* id, const std::optional<Json>& result);
// {"id": <external id>, "response": <stored answer>}: "response" absent when the stored
// text is not JSON.
Json completedEntry(const std::string& externalId, const std::string& storedResponse);

// ---- answers -------------------------------------------------------------------------------

// Deeper nesting than this inside one document makes it unreadable.
inline constexpr int kMaxDocumentDepth = 64;
// Why a document of "data.docs" cannot be read.
inline constexpr const char* kDocumentTooDeep = "вложенность глубже 64 уровней";
inline constexpr const char* kDocumentNumberOutOfRange = "число вне допустимого диапазона";
inline constexpr const char* kDocumentInvalidUtf8 =
    "недопустимая последовательность UTF-8 в строке";
inline constexpr const char* kDocumentNotJson = "документ не читается как JSON";

// A document of "data.docs" whose own text cannot be read, while the answer around it can:
// its "external_id" when that can be read by itself, its "type" when readable, its text as
// it came, and why it cannot be read.
struct UnreadableDocument {
    size_t position = 0;  // among the answer's documents, from 1
    std::optional<std::string> externalId;
    std::string type;
    std::string text;
    std::string reason;
};

// An answer's text read so that each document of "data.docs" is read on its own: one that
// cannot be read (invalid UTF-8 in a string, a number beyond a double's range, nesting deeper
// than kMaxDocumentDepth) is left out of the answer and described in `unreadable`; the rest
// of the answer stands. nullopt when the text is not JSON as a whole (or, outside the
// documents, too deep or unreadable).
struct ReadAnswer {
    Json answer;
    std::vector<UnreadableDocument> unreadable;
};
std::optional<ReadAnswer> readAnswerText(std::string_view text);

// "status" compared as text with "200" (a number or a string).
bool isStatus200(const Json& answer);

// "test": the token is accepted only for status "200" and "data.auth" true; anything else
// (including a missing or non-Boolean "data.auth") means not logged in.
bool testAuthorized(const Json& answer);

// "authorize": auth false for a status other than "200" or "data.auth" false. Raises
// DispatcherAnswerError when "data.auth" is missing or not a Boolean, or when it is true and
// "data.token" is missing or empty: such an answer is neither a login nor a refusal.
struct AuthorizeResult {
    bool auth = false;
    std::string token;
};
AuthorizeResult authorizeResult(const Json& answer);

// A register entry of "getsalepoints"; every member read as text, missing ones empty.
struct SalePoint {
    std::string kktSerial;
    std::string address;
    std::string place;
    std::string token;
    std::string kktRegNum;
    std::string fsSerial;
};
// A copy of "data" when it is an array (copied because the answer dies with the next
// request of the client), else nullopt.
std::optional<Json> salePoints(const Json& answer);
// nullopt for an element that is not an object or has no (non-empty) text "kkt_serial".
std::optional<SalePoint> readSalePoint(const Json& element);

// "cashbox" with "add": "data.result" when it is a Boolean, else nullopt.
std::optional<bool> enrolResult(const Json& answer);

// "tasks": the three lists, all validated before any is used. Raises DispatcherAnswerError
// naming the member when "data.acked", "data.docs" or "data.commands" is neither an array
// nor null (null is an empty list). Acknowledged identifiers that are neither text nor
// number are left out: the document then stays reported as completed and the service can
// acknowledge it again. A "docs" element that is no object, has no "external_id", or one
// that is neither text nor an exact integer is left out of docs and described in
// refusedDocs; the answer's other elements stand.
struct TasksAnswer {
    std::vector<std::string> acked;
    Json docs = Json::array();
    Json commands = Json::array();
    std::vector<std::string> refusedDocs;
};
TasksAnswer readTasksAnswer(const Json& answer);

// A document's "external_id" and "type" as text; nullopt when missing or not text.
std::optional<std::string> documentExternalId(const Json& document);
std::optional<std::string> documentType(const Json& document);

// "swversion": "data.new_version" as text, nullopt when missing or of another type.
std::optional<std::string> newVersion(const Json& answer);

}  // namespace th
