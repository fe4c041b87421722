#include "platform/InstanceDoor.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>

namespace th {

namespace {

// Longer lines are not requests of this program; the connection is dropped unread.
constexpr qint64 kMaxRequestBytes = 64;
constexpr int kRetryPauseMs = 50;

QString nativePath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

}  // namespace

InstanceDoor::InstanceDoor(std::filesystem::path socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {
    // Only this user's later starts may knock.
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] { acceptConnections(); });
}

InstanceDoor::~InstanceDoor() {
    server_.close();
}

bool InstanceDoor::listen() {
    if (server_.isListening())
        return true;
    QLocalServer::removeServer(nativePath(socketPath_));
    return server_.listen(nativePath(socketPath_));
}

void InstanceDoor::acceptConnections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(*socket); });
        if (socket->bytesAvailable() > 0)
            readRequest(*socket);
    }
}

void InstanceDoor::readRequest(QLocalSocket& socket) {
    if (!socket.canReadLine()) {
        if (socket.bytesAvailable() > kMaxRequestBytes)
            socket.abort();
        return;
    }
    const QByteArray line = socket.readLine(kMaxRequestBytes + 1);
    socket.disconnectFromServer();
    if (line == kShowRequest && showHandler_)
        showHandler_();
}

bool askRunningInstanceToShow(const std::filesystem::path& socketPath,
                              std::chrono::milliseconds patience) {
    QElapsedTimer elapsed;
    elapsed.start();
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(nativePath(socketPath));
        if (socket.waitForConnected(static_cast<int>(patience.count())))
            break;
        if (elapsed.elapsed() >= patience.count())
            return false;
        QThread::msleep(kRetryPauseMs);
    }
    socket.write(InstanceDoor::kShowRequest);
    auto remainingMs = [&] {
        return static_cast<int>(std::max<qint64>(patience.count() - elapsed.elapsed(), 1));
    };
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs()))
            return false;
    }
    // The request is with the running program; the connection's end tells it nothing more.
    socket.disconnectFromServer();
    return true;
}

}  // namespace th
