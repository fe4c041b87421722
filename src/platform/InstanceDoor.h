#pragma once

#include <QLocalServer>
#include <QObject>

#include <chrono>
#include <filesystem>
#include <functional>

class QLocalSocket;

namespace th {

// The running program's door for later starts. The instance lock keeps them from running
// beside it; through this local socket they ask it to show its main window instead, so a
// program hidden to the tray or without any tray at all is found again by starting it.
class InstanceDoor : public QObject {
public:
    // The one request there is: show the main window and bring it to the front.
    static constexpr char kShowRequest[] = "show\n";

    explicit InstanceDoor(std::filesystem::path socketPath, QObject* parent = nullptr);
    ~InstanceDoor() override;

    // Starts listening. Only the holder of the instance lock listens, so a socket file that is
    // there already was left by an instance that died, and is replaced. False when the socket
    // cannot be made: the program runs all the same, later starts just find nobody.
    bool listen();
    bool isListening() const { return server_.isListening(); }
    // What a show request does; requests before this is set are dropped (the window is about
    // to be shown by the start anyway).
    void onShowRequest(std::function<void()> handler) { showHandler_ = std::move(handler); }

private:
    void acceptConnections();
    void readRequest(QLocalSocket& socket);

    std::filesystem::path socketPath_;
    QLocalServer server_;
    std::function<void()> showHandler_;
};

// From a start that found the instance lock taken: asks the running program to show its main
// window. Keeps trying to reach it for `patience`, since a program that has just taken the
// lock may not be listening yet. False when nobody took the request.
bool askRunningInstanceToShow(const std::filesystem::path& socketPath,
                              std::chrono::milliseconds patience = std::chrono::seconds(3));

}  // namespace th
