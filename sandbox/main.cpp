// tillhaven-sandbox: a local stand-in for the tillhaven dispatcher service.

#include "DemoFeed.h"
#include "DemoSeed.h"
#include "SandboxServer.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

namespace {

using namespace th::sandbox;

constexpr const char* kUsage =
    "usage: tillhaven-sandbox [options]\n"
    "  --port N              port to listen on; 0 (default) picks a free one\n"
    "  --host HOST           address to listen on (default 127.0.0.1)\n"
    "  --seed FILE           accounts and sale points (default: the built-in demo seed)\n"
    "  --state FILE          keep the state in FILE across restarts\n"
    "  --demo-feed           queue demo documents and a command for every register\n"
    "  --feed-interval SEC   seconds between demo feed steps (default 3)\n"
    "  --feed-sales N        demo sales per register, 0 for no end (default 5)\n"
    "  --new-version V       version offered by \"swversion\"\n"
    "  --refuse-enrolment    answer every enrolment with data.result false\n"
    "  --hand-out-once       send each document in one answer only, never again\n"
    "  --quiet               print no event lines\n";

struct CommandLine {
    std::string host = "127.0.0.1";
    int port = 0;
    std::optional<std::string> seedFile;
    std::optional<std::string> stateFile;
    std::optional<std::string> newVersion;
    bool demoFeed = false;
    double feedInterval = 3.0;
    int feedSales = 5;
    bool refuseEnrolment = false;
    bool handOutOnce = false;
    bool quiet = false;
    bool help = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int toInt(const std::string& text, const std::string& option) {
    try {
        size_t used = 0;
        int value = std::stoi(text, &used);
        if (used == text.size() && value >= 0)
            return value;
    } catch (const std::exception&) {
    }
    throw UsageError(option + " needs a non-negative whole number, not \"" + text + "\"");
}

double toSeconds(const std::string& text, const std::string& option) {
    try {
        size_t used = 0;
        double value = std::stod(text, &used);
        if (used == text.size() && value > 0)
            return value;
    } catch (const std::exception&) {
    }
    throw UsageError(option + " needs a positive number of seconds, not \"" + text + "\"");
}

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError(option + " needs a value");
            return argv[++i];
        };
        if (option == "--port") {
            line.port = toInt(value(), option);
            if (line.port > 65535)
                throw UsageError("--port must be at most 65535");
        } else if (option == "--host")
            line.host = value();
        else if (option == "--seed")
            line.seedFile = value();
        else if (option == "--state")
            line.stateFile = value();
        else if (option == "--new-version")
            line.newVersion = value();
        else if (option == "--demo-feed")
            line.demoFeed = true;
        else if (option == "--feed-interval")
            line.feedInterval = toSeconds(value(), option);
        else if (option == "--feed-sales")
            line.feedSales = toInt(value(), option);
        else if (option == "--refuse-enrolment")
            line.refuseEnrolment = true;
        else if (option == "--hand-out-once")
            line.handOutOnce = true;
        else if (option == "--quiet")
            line.quiet = true;
        else if (option == "--help" || option == "-h")
            line.help = true;
        else
            throw UsageError("unknown option " + option);
    }
    return line;
}

th::Json readSeed(const std::optional<std::string>& file) {
    if (!file)
        return *th::parseJson(kDemoSeedText);
    std::ifstream in(*file, std::ios::binary);
    if (!in)
        throw SandboxDataError("cannot read the seed file " + *file);
    std::stringstream text;
    text << in.rdbuf();
    auto seed = th::parseJson(text.str());
    if (!seed)
        throw SandboxDataError("the seed file " + *file + " is not JSON");
    return *seed;
}

// Event lines go to stdout as they happen, whole lines only, flushed for pipes.
EventSink stdoutEvents(bool quiet) {
    if (quiet)
        return nullptr;
    auto lock = std::make_shared<std::mutex>();
    return [lock](const std::string& line) {
        std::lock_guard guard(*lock);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
}

// Blocks the stop signals in every thread, so that main alone receives them by sigwait.
sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

int run(const CommandLine& line) {
    if (line.help) {
        std::cout << kUsage;
        return 0;
    }
    sigset_t signals = blockStopSignals();
    // A client that hangs up mid-answer must not end the sandbox.
    std::signal(SIGPIPE, SIG_IGN);
    SandboxOptions options;
    options.seed = readSeed(line.seedFile);
    if (line.stateFile)
        options.stateFile = *line.stateFile;
    options.events = stdoutEvents(line.quiet);
    options.refuseEnrolment = line.refuseEnrolment;
    options.handOutOnce = line.handOutOnce;
    options.newVersion = line.newVersion;
    SandboxServer server(std::move(options));
    int port = server.start(line.host, line.port);
    std::printf("tillhaven-sandbox listening on http://%s:%d\n", line.host.c_str(), port);
    std::fflush(stdout);
    DemoFeed feed(server.state(), line.feedSales);
    if (line.demoFeed)
        feed.start(std::chrono::milliseconds(static_cast<int64_t>(line.feedInterval * 1000)));
    int received = 0;
    sigwait(&signals, &received);
    feed.stop();
    server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parseCommandLine(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "tillhaven-sandbox: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "tillhaven-sandbox: " << e.what() << "\n";
        return 1;
    }
}
