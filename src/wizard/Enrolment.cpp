#include "wizard/Enrolment.h"

#include <thread>

#include "dispatcher/Messages.h"
#include "drivers/CashboxDriver.h"
#include "platform/Dialogs.h"

namespace th {

std::string alreadyListedNotice(const std::string& serial) {
    return kAlreadyListedMessage + serial;
}

DeviceIdentity checkCashbox(CashboxDriver& driver) {
    driver.connect();
    const Json info = runRegisterTask(driver, "getDeviceInfo");
    DeviceIdentity identity{textAt(info, "deviceInfo.modelName").value_or(""),
                            textAt(info, "deviceInfo.serial").value_or("")};
    if (identity.serial.empty())
        throw EnrolmentError(kNoSerialMessage);
    driver.disconnect();
    return identity;
}

namespace {

// Why the service refused the register: its own words when it gave any.
std::string refusalText(const Json& answer) {
    std::string message = textAt(answer, "message").value_or("");
    return message.empty() ? kCannotAddMessage : message;
}

}  // namespace

void addCashbox(CashboxDriver* driver, const std::string& driverName, DispatcherClient& client,
                EnrolmentView& view) {
    if (driver == nullptr)
        throw EnrolmentError(kNoDriverInstalled);
    CashboxReport report;
    report.driver = driverName;
    view.setStatus(kReadingDeviceStep);
    view.setProgress(10);
    driver->connect();
    report.deviceInfo = runRegisterTask(*driver, "getDeviceInfo");
    view.setProgress(20);
    report.deviceStatus = runRegisterTask(*driver, "getDeviceStatus");
    view.setStatus(kFnInfoStep);
    view.setProgress(30);
    report.fnInfo = runRegisterTask(*driver, "getFnInfo");
    view.setStatus(kRegistrationStep);
    view.setProgress(40);
    report.registration = runRegisterTask(*driver, "getRegistrationInfo");
    driver->disconnect();

    view.setStatus(kCreatingStep);
    view.setProgress(60);
    const Json& answer = client.executeDelay(kCommandCashbox, cashboxRequest(report, true));
    const auto result = enrolResult(answer);
    if (!result)
        throw EnrolmentError(kCannotAddMessage);
    if (!*result)
        throw EnrolmentError(refusalText(answer));
    view.setProgress(90);
}

CashBoxSettingsPtr newCashboxRecord(const EnrolmentInput& input) {
    auto record = std::make_shared<CashboxSettings>();
    record->serial = input.serial;
    record->driver = input.driverName;
    const ConnectionChoice& c = input.connection;
    if (c.automatic) {
        record->connectionType = "USB";
    } else {
        record->connectionType = "COM";
        record->comPort = c.port;
        record->baudRate = c.speed;
        record->dataBits = c.bits;
        record->stopBits = c.stopBits;
        record->parity = c.parity;
    }
    record->autostart = true;
    return record;
}

void runEnrolment(const EnrolmentInput& input, IDialogs& dialogs, EnrolmentView& view) {
    view.setProgress(0);
    view.setError("");
    view.setStatus("");
    try {
        if (input.settings == nullptr)
            throw EnrolmentError(kNoSettingsMessage);
        DispatcherClient client(dialogs);
        client.setSettings(input.clientSettings ? input.clientSettings : input.settings);
        client.setOnLog(input.logSink);
        addCashbox(input.driver.get(), input.driverName, client, view);
        view.setStatus(kSavingStep);
        input.settings->setCashboxSettings(newCashboxRecord(input));
        input.settings->save();
        view.registerSaved();
        view.setProgress(100);
        view.setStatus(kDoneStep);
        std::this_thread::sleep_for(input.finishPause);
        view.enableNext();
    } catch (const std::exception& e) {
        view.enableBack();
        dialogs.show(BoxKind::Error, e.what());
        view.setError(e.what());
    }
}

}  // namespace th
