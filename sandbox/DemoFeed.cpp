#include "DemoFeed.h"

#include <array>

namespace th::sandbox {

namespace {

constexpr const char* kOperator = "Кассир Демо";

struct DemoItem {
    const char* name;
    int price;
    int quantity;
};

// Each sale: one to three lines from this menu, rotating.
constexpr std::array<DemoItem, 5> kMenu = {{
    {"Кофе", 150, 1},
    {"Чай", 90, 1},
    {"Круассан", 120, 2},
    {"Сок апельсиновый", 180, 1},
    {"Пирожное", 210, 1},
}};

Json operatorJson() {
    return {{"name", kOperator}};
}

Json itemJson(const DemoItem& item) {
    Json line = Json::object();
    line["type"] = "position";
    line["name"] = item.name;
    line["price"] = item.price;
    line["quantity"] = item.quantity;
    line["amount"] = item.price * item.quantity;
    line["tax"] = {{"type", "vat20"}};
    return line;
}

}  // namespace

DemoFeed::DemoFeed(SandboxState& state, int sales) : state_(state), sales_(sales) {}

DemoFeed::~DemoFeed() {
    stop();
}

Json DemoFeed::openShiftTask() {
    return {{"type", "openShift"}, {"operator", operatorJson()}};
}

Json DemoFeed::saleTask(int n) {
    Json items = Json::array();
    int total = 0;
    int lines = 1 + n % 3;
    for (int i = 0; i < lines; ++i) {
        const DemoItem& item = kMenu[(n + i) % kMenu.size()];
        items.push_back(itemJson(item));
        total += item.price * item.quantity;
    }
    Json sale = Json::object();
    sale["type"] = "sell";
    sale["taxationType"] = "osn";
    sale["operator"] = operatorJson();
    sale["items"] = items;
    sale["payments"] = Json::array({{{"type", "cash"}, {"sum", total}}});
    return sale;
}

Json DemoFeed::statusCommand() {
    return {{"payload", {{"type", "getDeviceStatus"}}}};
}

// Step 0 opens the shift, steps 1..sales sell; the command follows the second sale.
void DemoFeed::feed(const std::string& serial, int step) {
    if (step == 0) {
        state_.queueDocs(serial, openShiftTask());
        return;
    }
    if (sales_ > 0 && step > sales_)
        return;
    state_.queueDocs(serial, saleTask(step - 1));
    if (step == 2)
        state_.queueCommands(serial, statusCommand());
}

void DemoFeed::tick() {
    std::lock_guard lock(mutex_);
    for (const auto& serial : state_.registerSerials()) {
        int& step = steps_[serial];
        try {
            feed(serial, step);
        } catch (const AdminError&) {
            // The register left the sandbox (a reset) between the list and the feed.
        }
        ++step;
    }
}

void DemoFeed::start(std::chrono::milliseconds interval) {
    thread_ = std::thread([this, interval] {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            tick();
            lock.lock();
            wake_.wait_for(lock, interval, [this] { return stopping_; });
        }
    });
}

void DemoFeed::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

}  // namespace th::sandbox
