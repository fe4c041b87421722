#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Errors.h"
#include "platform/Json.h"

namespace th {

TH_DECLARE_ERROR(DriverError, Error);

inline constexpr const char* kNoRegisterContact = "Нет связи с кассой";
inline constexpr const char* kNoDriverInstalled = "Драйвер не установлен";

// The abstract register driver: one object per physical register.
class TCashboxdrv {
public:
    using ChangedStateEvent = std::function<void(TCashboxdrv& sender)>;

    // Create(serial): TestMode is true exactly for the one-character text "0".
    explicit TCashboxdrv(std::string serial);
    virtual ~TCashboxdrv() = default;
    TCashboxdrv(const TCashboxdrv&) = delete;
    TCashboxdrv& operator=(const TCashboxdrv&) = delete;

    // The seven operations, in slot order.
    virtual void connect() = 0;
    virtual void disconnect() = 0;
    virtual std::string getVersion() = 0;
    virtual bool checkConnection() = 0;
    virtual bool checkConnected() = 0;
    virtual void onclose() = 0;
    // Runs one JSON task. Never raises. nullopt: no answer (closed, out of reach, no task);
    // {"error": "..."}: the register refused the task. data == nullptr means no task.
    virtual std::optional<Json> processJSON(const Json* data) = 0;

    const std::string& Serial() const { return FSerial; }
    const std::string& ComType() const { return FComType; }
    void setComType(const std::string& v) { FComType = v; }
    const std::string& ComPort() const { return FComPort; }
    void setComPort(const std::string& v) { FComPort = v; }
    const std::string& Baudrate() const { return FBaudrate; }
    void setBaudrate(const std::string& v) { FBaudrate = v; }
    const std::string& Bits() const { return FBits; }
    void setBits(const std::string& v) { FBits = v; }
    const std::string& StopBits() const { return FStopBits; }
    void setStopBits(const std::string& v) { FStopBits = v; }
    const std::string& Parity() const { return FParity; }
    void setParity(const std::string& v) { FParity = v; }
    bool isConnected() { return checkConnected(); }
    const ChangedStateEvent& onChangedState() const { return FChangedState; }
    void setOnChangedState(ChangedStateEvent e) { FChangedState = std::move(e); }
    bool TestMode() const { return FTestMode; }
    void setTestMode(bool v) { FTestMode = v; }

protected:
    void notifyChangedState() {
        if (FChangedState)
            FChangedState(*this);
    }

private:
    std::string FSerial;
    std::string FComType;
    std::string FComPort;
    std::string FBaudrate;
    std::string FBits;
    std::string FStopBits;
    std::string FParity;
    ChangedStateEvent FChangedState;
    bool FTestMode = false;
};

// Runs the task {"type": type} on the register; DriverError "Нет связи с кассой" when the
// register gives no answer.
Json runRegisterTask(TCashboxdrv& driver, const char* type);

}  // namespace th
