#include "app/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace th {

DesktopNotifier::DesktopNotifier(QSystemTrayIcon& tray, TrayProbe trayAvailable, QObject* parent)
    : QObject(parent), tray_(tray), trayAvailable_(std::move(trayAvailable)) {}

void DesktopNotifier::notify(const QString& title, const QString& text) {
    if (trayAvailable_ && trayAvailable_()) {
        tray_.showMessage(title, text, QSystemTrayIcon::Warning);
        ++shown_;
        return;
    }
    notifyOverDBus(title, text);
}

// Asked without waiting: a slow or missing service must not hold the window up. Counted
// when the service answers that it took the notification.
void DesktopNotifier::notifyOverDBus(const QString& title, const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    call << QString("tillhaven") << 0u << QString("tillhaven") << title << text << QStringList()
         << QVariantMap{{"urgency", QVariant::fromValue<uchar>(1)}} << kTimeoutMs;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                if (!QDBusPendingReply<uint>(*finished).isError())
                    ++shown_;
                finished->deleteLater();
            });
}

}  // namespace th
