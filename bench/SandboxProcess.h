// A sandbox in a process of its own, so that only the client's memory and descriptors are
// measured, and the figures of the measuring process itself.
#pragma once

#include <curl/curl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace th::bench {

// A kibibyte figure of /proc/self/status, such as "VmRSS".
inline long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// A kibibyte figure of /proc/self/smaps_rollup, the sum over every mapping, such as "Pss"
// or "Private_Dirty".
inline long smapsRollupKiB(const std::string& field) {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// The process's own memory: its private pages (Private_Clean + Private_Dirty of
// /proc/self/smaps), without the clean pages of mapped files. Those are the shared
// libraries' code, which the kernel counts as private only while no other process happens
// to map the same library: on a desktop every Qt program shares them, on a quiet test
// machine nobody does, and the rollup's figure swings by some 20 MiB with that.
inline long privateKiB() {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool fileBacked = false;
    long total = 0;
    while (std::getline(smaps, line)) {
        const auto colon = line.find(':');
        const bool isField = colon != std::string::npos && colon < line.find(' ');
        if (!isField) {
            // A mapping's header: "start-end perms offset dev inode [path]".
            std::istringstream header(line);
            std::string range, perms, offset, device;
            long inode = 0;
            header >> range >> perms >> offset >> device >> inode;
            fileBacked = inode != 0;
            continue;
        }
        const std::string field = line.substr(0, colon);
        if (field == "Private_Dirty" || (field == "Private_Clean" && !fileBacked))
            total += std::stol(line.substr(colon + 1));
    }
    return total;
}

// tillhaven-sandbox in a process of its own, stopped with the object: by default with the
// demo feed giving every register a sale every 5 s, each document handed out once (a
// document the client drops stays unacknowledged); extraArgs replace these options.
class SandboxProcess {
public:
    SandboxProcess(const std::string& program, const std::filesystem::path& seed,
                   std::vector<std::string> extraArgs = {}) {
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string seedText = seed.string();
        std::vector<std::string> args = {
            program,       "--port",          "0", "--seed",       seedText,
            "--demo-feed", "--feed-interval", "5", "--feed-sales", "0",
            "--quiet",     "--hand-out-once"};
        if (!extraArgs.empty()) {
            args = {program, "--port", "0", "--seed", seedText, "--quiet"};
            args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        }
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            throw std::runtime_error("cannot start " + program);
        }
        port_ = readPort(out[0]);
        ::close(out[0]);
    }
    ~SandboxProcess() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    SandboxProcess(const SandboxProcess&) = delete;
    SandboxProcess& operator=(const SandboxProcess&) = delete;

    int port() const { return port_; }

private:
    // "tillhaven-sandbox listening on http://127.0.0.1:PORT"
    int readPort(int fd) {
        std::string line;
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n')
            line += c;
        const size_t colon = line.rfind(':');
        if (line.find("listening on") == std::string::npos || colon == std::string::npos) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            throw std::runtime_error("the sandbox did not start: " + line);
        }
        return std::stoi(line.substr(colon + 1));
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

// How many descriptors the process has open.
inline long openDescriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1;  // the directory's own
}

// One request to the sandbox's admin API on 127.0.0.1; the answer's body. Needs libcurl.
inline std::string adminRequest(int port, const std::string& method, const std::string& path,
                                const std::string& body = "") {
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        throw std::runtime_error("curl_easy_init failed");
    std::string answer;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST")
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* target) {
            static_cast<std::string*>(target)->append(data, size * count);
            return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        throw std::runtime_error(std::string("admin request failed: ") + curl_easy_strerror(rc));
    return answer;
}

}  // namespace th::bench
