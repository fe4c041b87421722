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
class CashboxDriver {
public:
    using ChangedStateEvent = std::function<void(CashboxDriver& sender)>;

    // create(serial): TestMode is true exactly for the one-character text "0".
    explicit CashboxDriver(std::string serial);
    virtual ~CashboxDriver() = default;
    CashboxDriver(const CashboxDriver&) = delete;
    CashboxDriver& operator=(const CashboxDriver&) = delete;

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

    const std::string& serial() const { return serial_; }
    const std::string& comType() const { return comType_; }
    void setComType(const std::string& v) { comType_ = v; }
    const std::string& comPort() const { return comPort_; }
    void setComPort(const std::string& v) { comPort_ = v; }
    const std::string& baudRate() const { return baudrate_; }
    void setBaudrate(const std::string& v) { baudrate_ = v; }
    const std::string& bits() const { return bits_; }
    void setBits(const std::string& v) { bits_ = v; }
    const std::string& stopBits() const { return stopBits_; }
    void setStopBits(const std::string& v) { stopBits_ = v; }
    const std::string& parity() const { return parity_; }
    void setParity(const std::string& v) { parity_ = v; }
    bool isConnected() { return checkConnected(); }
    const ChangedStateEvent& onChangedState() const { return changedState_; }
    void setOnChangedState(ChangedStateEvent e) { changedState_ = std::move(e); }
    bool testMode() const { return testMode_; }
    void setTestMode(bool v) { testMode_ = v; }

protected:
    void notifyChangedState() {
        if (changedState_)
            changedState_(*this);
    }

private:
    std::string serial_;
    std::string comType_;
    std::string comPort_;
    std::string baudrate_;
    std::string bits_;
    std::string stopBits_;
    std::string parity_;
    ChangedStateEvent changedState_;
    bool testMode_ = false;
};

// Runs the task {"type": type} on the register; DriverError "Нет связи с кассой" when the
// register gives no answer.
Json runRegisterTask(CashboxDriver& driver, const char* type);

}  // namespace th
