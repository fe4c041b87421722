#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "settings/ProfileFile.h"

namespace th {

// The record of one register in settings.ini. A new record has every text empty and the
// switch false.
struct TCashBoxSettings {
    std::string Token;
    std::string Address;
    std::string Place;
    std::string KKTSerial;
    std::string KKTRegnum;
    std::string FSSerial;
    std::string OFDName;
    std::string OFDinn;
    std::string AutomatSerial;
    std::string Driver;
    std::string ConnectionType;
    std::string ComPort;
    std::string BaudRate;
    std::string Bits;
    std::string StopBits;
    std::string Parity;
    bool autostart = false;

    bool operator==(const TCashBoxSettings&) const = default;
};

using CashBoxSettingsPtr = std::shared_ptr<TCashBoxSettings>;

// The process's settings, read once from settings.ini and written back key by key by save.
// Every operation takes the store's lock, so the wizard's worker thread and the
// user-interface thread can share it; two saves never interleave inside the process.
class TAppSettings {
public:
    // Create: the empty lists, then load.
    explicit TAppSettings(std::filesystem::path directory);

    void load();
    // Writes token, log switch, serials and every record; raises SettingsError
    // "Unable to write to <path>" at the first key that cannot be written.
    void save();

    std::string Token() const;
    void setToken(const std::string& token);
    bool SystemTestMode() const;
    bool KeepVersion() const;
    bool ClientLog() const;
    void setClientLog(bool on);
    // system/TestUrl: replaces the built-in test endpoint when set. Read only.
    std::string SystemTestUrl() const;
    // system/RegisterDriver: which backend serves the register driver. Read only.
    std::string RegisterDriver() const;

    // The last record whose KKTSerial equals serial exactly, or nullptr.
    CashBoxSettingsPtr getCashboxSettings(const std::string& serial) const;
    // Replaces the last record with the same KKTSerial, or appends record and serial.
    void setCashboxSettings(const CashBoxSettingsPtr& cashboxsettings);

    // Changes a record under the store's lock (records are shared with the windows).
    void editCashbox(const CashBoxSettingsPtr& record,
                     const std::function<void(TCashBoxSettings&)>& change);
    TCashBoxSettings readCashbox(const CashBoxSettingsPtr& record) const;

    std::vector<std::string> serials() const;
    std::vector<TCashBoxSettings> cashboxes() const;
    const std::filesystem::path& path() const { return file_.path(); }

private:
    mutable std::recursive_mutex mutex_;
    ProfileFile file_;
    std::string FToken;
    bool FSystemTestMode = false;
    bool FKeepVersion = false;
    bool FClientLog = false;
    std::string FSystemTestUrl;
    std::string FRegisterDriver;
    std::vector<CashBoxSettingsPtr> FCashboxList;
    std::vector<std::string> FSerialsList;
};

}  // namespace th
