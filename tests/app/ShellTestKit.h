#pragma once

// What the shell's tests share: a Qt application, a dispatcher on 127.0.0.1 and a
// program assembled around a temporary data directory.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "support/LoopbackServer.h"
#include "support/QtTestApp.h"

#include <QApplication>
#include <QDialog>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/MainForm.h"
#include "app/TillhavenApp.h"
#include "auth/PasswordDlg.h"
#include "platform/Dialogs.h"
#include "platform/Json.h"
#include "support/TempDir.h"

namespace th::test {

// Base of fixtures whose members are widgets: the application exists before them.
struct WithQtApplication {
    WithQtApplication() { ensureQtApplication(); }
};

// A port on 127.0.0.1 on which nothing listens.
inline int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline std::string settingsIniFor(int port, const std::string& token) {
    return "[auth]\ntoken=" + token +
           "\n[system]\nTestMode=1\nKeepVersion=1\nTestUrl=http://127.0.0.1:" +
           std::to_string(port) + "/dispatcher/v1\n";
}

// The dispatcher on 127.0.0.1 (any free port): records each command with its body and
// X-Api-Key, and answers with what the test set for the command ("status" 200 otherwise).
class ShellDispatcher {
public:
    struct Request {
        std::string command;
        Json body;
        std::string apiKey;
    };
    using Answer = std::function<Json(const Json& body)>;

    ShellDispatcher() {
        server_.Post(
            R"(/dispatcher/v1/(\w+))",
            [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
        port_ = server_.start();
    }
    ~ShellDispatcher() { server_.shutdown(); }

    int port() const { return port_; }
    std::string settingsIni(const std::string& token) const { return settingsIniFor(port_, token); }

    void answer(const std::string& command, Answer answer) {
        std::lock_guard lock(mutex_);
        answers_[command] = std::move(answer);
    }
    void answerJson(const std::string& command, const Json& body) {
        answer(command, [body](const Json&) { return body; });
    }

    std::vector<Request> requests(const std::string& command) const {
        std::lock_guard lock(mutex_);
        std::vector<Request> found;
        for (const auto& request : requests_)
            if (request.command == command)
                found.push_back(request);
        return found;
    }
    size_t count(const std::string& command) const { return requests(command).size(); }

    // Waits for a request of another process; false when none came in time.
    bool waitFor(const std::string& command, std::chrono::seconds patience) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, patience, [&] {
            for (const auto& request : requests_)
                if (request.command == command)
                    return true;
            return false;
        });
    }

private:
    void handle(const httplib::Request& req, httplib::Response& res) {
        const std::string command = req.matches[1];
        Json body = parseJson(req.body).value_or(Json());
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({command, body, req.get_header_value("X-Api-Key")});
            if (auto it = answers_.find(command); it != answers_.end())
                answer = it->second;
        }
        arrived_.notify_all();
        Json reply = answer ? answer(body) : Json{{"status", 200}, {"data", Json::object()}};
        res.set_content(dumpCompact(reply), "application/json");
    }

    LoopbackServer server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Request> requests_;
    std::map<std::string, Answer> answers_;
};

inline Json testAnswer(bool auth) {
    return {{"status", 200}, {"message", ""}, {"data", {{"auth", auth}}}};
}

// The program around a temporary data directory, with the user's part in modal dialogs
// played by loginScript (the dialog is rejected when there is none).
class ShellHarness {
public:
    explicit ShellHarness(const std::string& settingsIni) {
        ensureQtApplication();
        home.write("settings.ini", settingsIni);
    }

    TillhavenApp& start() {
        app = std::make_unique<TillhavenApp>(
            dialogs, [this](QDialog& dialog) { return runModal(dialog); }, [this] { ++quits; },
            DataPaths{home.path(), home.path()});
        return *app;
    }

    // Shows the main window and lets the start sequence run, as the message loop would.
    void showMainWindow() {
        app->Form1().show();
        QCoreApplication::processEvents();
    }

    TempDir home;
    RecordingDialogs dialogs;
    std::function<int(TPasswordDlg&)> loginScript;
    int modalRuns = 0;
    int quits = 0;
    std::unique_ptr<TillhavenApp> app;

private:
    int runModal(QDialog& dialog) {
        ++modalRuns;
        auto* login = dynamic_cast<TPasswordDlg*>(&dialog);
        if (login == nullptr || !loginScript)
            return QDialog::Rejected;
        return loginScript(*login);
    }
};

}  // namespace th::test
