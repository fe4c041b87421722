#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "settings/ProfileFile.h"

namespace th {

// The record of one register in settings.ini, one member per key of its section (the keys
// are listed in AppSettings.cpp). A new record has every text empty and the switch false.
struct CashboxSettings {
    std::string token;
    std::string address;
    std::string place;
    std::string serial;
    std::string registrationNumber;
    std::string fiscalStorageSerial;
    std::string ofdName;
    std::string ofdInn;
    std::string vendingMachineSerial;
    std::string driver;
    std::string connectionType;
    std::string comPort;
    std::string baudRate;
    std::string dataBits;
    std::string stopBits;
    std::string parity;
    bool autostart = false;

    bool operator==(const CashboxSettings&) const = default;
};

using CashBoxSettingsPtr = std::shared_ptr<CashboxSettings>;

// The process's settings, read once from settings.ini and written back key by key by save.
// Every operation takes the store's lock, so the wizard's worker thread and the
// user-interface thread can share it; two saves never interleave inside the process.
class AppSettings {
public:
    // Create: the empty lists, then load.
    explicit AppSettings(std::filesystem::path directory);

    void load();
    // Writes token, log switch, serials and every record; raises SettingsError
    // "Unable to write to <path>" at the first key that cannot be written.
    void save();

    std::string token() const;
    void setToken(const std::string& token);
    bool systemTestMode() const;
    bool keepVersion() const;
    bool clientLog() const;
    void setClientLog(bool on);
    // client/RunAtLogin: whether the user wants the program started at login; nullopt while
    // the user has never chosen. Written at once by setRunAtLogin.
    std::optional<bool> runAtLogin() const;
    void setRunAtLogin(bool on);
    // system/TestUrl: replaces the built-in test endpoint when set. Read only.
    std::string systemTestUrl() const;
    // system/RegisterDriver: which backend serves the register driver. Read only.
    std::string registerDriver() const;

    // The last record whose KKTSerial equals serial exactly, or nullptr.
    CashBoxSettingsPtr getCashboxSettings(const std::string& serial) const;
    // Replaces the last record with the same KKTSerial, or appends record and serial.
    void setCashboxSettings(const CashBoxSettingsPtr& cashboxsettings);

    // Changes a record under the store's lock (records are shared with the windows).
    void editCashbox(const CashBoxSettingsPtr& record,
                     const std::function<void(CashboxSettings&)>& change);
    CashboxSettings readCashbox(const CashBoxSettingsPtr& record) const;

    std::vector<std::string> serials() const;
    std::vector<CashboxSettings> cashboxes() const;
    const std::filesystem::path& path() const { return file_.path(); }

private:
    mutable std::recursive_mutex mutex_;
    ProfileFile file_;
    std::string token_;
    bool systemTestMode_ = false;
    bool keepVersion_ = false;
    bool clientLog_ = false;
    std::optional<bool> runAtLogin_;
    std::string systemTestUrl_;
    std::string registerDriver_;
    std::vector<CashBoxSettingsPtr> cashboxList_;
    std::vector<std::string> serialsList_;
};

}  // namespace th
