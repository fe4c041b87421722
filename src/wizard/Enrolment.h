#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "dispatcher/DispatcherClient.h"
#include "platform/Errors.h"
#include "platform/Json.h"
#include "settings/AppSettings.h"

namespace th {

class IDialogs;
class CashboxDriver;

// What goes wrong while a register is checked or enrolled; the message is shown as it is.
TH_DECLARE_ERROR(EnrolmentError, Error);

inline constexpr const char* kChooseDriverMessage = "Сначала необходимо выбрать тип драйвера";
inline constexpr const char* kCannotAddMessage = "Касса не может быть добавлена";
inline constexpr const char* kNoSettingsMessage = "Не заданы настройки программы";
// The register answered the identity task without its serial number: nothing could be stored.
inline constexpr const char* kNoSerialMessage = "Касса не сообщила свой серийный номер";
// A connection check while the enrolment of a previous showing still uses the driver.
inline constexpr const char* kEnrolmentBusyMessage =
    "Дождитесь окончания добавления предыдущей кассы";

// A connection check found a register that the main window lists already.
inline constexpr const char* kAlreadyListedMessage = "Эта касса уже есть в списке: ";
std::string alreadyListedNotice(const std::string& serial);

// Steps of the enrolment as the wizard shows them.
inline constexpr const char* kReadingDeviceStep = "Чтение сведений о кассе...";
inline constexpr const char* kFnInfoStep = "Запрос информации о ФН...";
inline constexpr const char* kRegistrationStep = "Запрос информации о регистрации...";
inline constexpr const char* kCreatingStep = "Создание кассы в сервисе...";
inline constexpr const char* kSavingStep = "Сохранение настроек....";
inline constexpr const char* kDoneStep = "Готово!";

// The register found by a connection check.
struct DeviceIdentity {
    std::string modelName;
    std::string serial;
};

// connect, "getDeviceInfo", disconnect: the model and serial number of the register the
// driver reaches. An answer without a serial number fails with kNoSerialMessage, since the
// register could be neither enrolled nor stored under it.
DeviceIdentity checkCashbox(CashboxDriver& driver);

// Where the enrolment reports its progress. Called on the enrolment's thread.
class EnrolmentView {
public:
    virtual ~EnrolmentView() = default;
    virtual void setProgress(int percent) = 0;
    virtual void setStatus(const std::string& text) = 0;
    virtual void setError(const std::string& text) = 0;
    virtual void enableNext() = 0;
    virtual void enableBack() = 0;
    // The new register is stored in settings.ini: from now on it belongs in the list,
    // whatever the user does with the wizard.
    virtual void registerSaved() = 0;
};

// Reads the register's identity, state, fiscal storage and registration, and asks the
// service to create the cashbox ("cashbox" with "add": "1"). An answer without "data.result"
// fails with kCannotAddMessage; a "data.result" of false, the service's refusal, fails with
// the answer's "message", or kCannotAddMessage when it gives none, so the user reads why and
// can go back.
void addCashbox(CashboxDriver* driver, const std::string& driverName, DispatcherClient& client,
                EnrolmentView& view);

// The connection the user chose on the connection page.
struct ConnectionChoice {
    bool automatic = true;  // USB detection; the port fields are not stored then
    std::string port;
    std::string speed;
    std::string bits;
    std::string parity;
    std::string stopBits;
};

// What the enrolment needs from the wizard, taken on the user-interface thread when it starts.
struct EnrolmentInput {
    std::shared_ptr<CashboxDriver> driver;  // none when no driver was chosen
    std::string driverName;
    std::string serial;  // the one the last successful check displayed
    ConnectionChoice connection;
    AppSettings* settings = nullptr;        // where the new register is stored
    AppSettings* clientSettings = nullptr;  // of the shared dispatcher client
    DispatcherClient::LogEvent logSink;     // of the shared dispatcher client
    std::chrono::milliseconds finishPause{1000};
};

// The settings record of the enrolled register: connects on its own at every start.
CashBoxSettingsPtr newCashboxRecord(const EnrolmentInput& input);

// The whole enrolment: addCashbox, then the new record saved. Any error
// enables "< Назад", is shown in an error box and put in the error caption. The request goes
// through a dispatcher client of its own, so no client object is shared between threads.
void runEnrolment(const EnrolmentInput& input, IDialogs& dialogs, EnrolmentView& view);

}  // namespace th
