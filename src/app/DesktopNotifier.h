#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QSystemTrayIcon;

namespace th {

// Brings a notification to the screen on any desktop: the tray icon's balloon while the
// desktop has a tray, otherwise the desktop's notification service (org.freedesktop.
// Notifications on the session bus), as GNOME without a tray extension has. Counts the
// notifications that reached one of them; one that reached neither is not counted.
class DesktopNotifier : public QObject {
public:
    using TrayProbe = std::function<bool()>;

    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    // How long the notification service shows one, in milliseconds.
    static constexpr int kTimeoutMs = 10000;

    DesktopNotifier(QSystemTrayIcon& tray, TrayProbe trayAvailable, QObject* parent = nullptr);

    void notify(const QString& title, const QString& text);
    void setTrayProbe(TrayProbe probe) { trayAvailable_ = std::move(probe); }
    int shownCount() const { return shown_; }

private:
    void notifyOverDBus(const QString& title, const QString& text);

    QSystemTrayIcon& tray_;
    TrayProbe trayAvailable_;
    int shown_ = 0;
};

}  // namespace th
