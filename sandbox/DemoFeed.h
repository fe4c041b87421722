#pragma once

#include "SandboxState.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace th::sandbox {

// Feeds every register of the sandbox demo work at a steady pace: a shift opening first,
// then one sale per tick, and after the second sale one command (getDeviceStatus).
// A register enrolled later joins at the next tick with its own shift opening.
class DemoFeed {
public:
    // sales: sales per register; 0 for no end.
    DemoFeed(SandboxState& state, int sales);
    ~DemoFeed();
    DemoFeed(const DemoFeed&) = delete;
    DemoFeed& operator=(const DemoFeed&) = delete;

    // One step for every register; the background thread calls it every interval.
    void tick();
    void start(std::chrono::milliseconds interval);
    void stop();

    static Json openShiftTask();
    // The n-th demo sale (from 0): items and payment agree on the sum.
    static Json saleTask(int n);
    static Json statusCommand();

private:
    void feed(const std::string& serial, int step);

    SandboxState& state_;
    int sales_;
    std::map<std::string, int> steps_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace th::sandbox
