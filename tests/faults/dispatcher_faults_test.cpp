// The service misbehaving: HTTP 500, a body that is not JSON, 50 MB, nesting 100,000 deep,
// wrong types, and an answer that never comes. The cycle must go on, lose nothing, and
// recover once the service behaves again, with its memory bounded.
#include <gtest/gtest.h>

#include "CycleRig.h"

using namespace th;
using namespace th::faults;

namespace {

struct ServiceFault {
    const char* mode;
    bool apply;  // the service carries the request out and only its answer is lost
};

std::ostream& operator<<(std::ostream& out, const ServiceFault& fault) {
    return out << fault.mode << (fault.apply ? "/applied" : "/refused");
}

class ServiceFaultTest : public ::testing::TestWithParam<ServiceFault> {};

TEST_P(ServiceFaultTest, TheCycleGoesOnAndEveryDocumentArrivesOnce) {
    CycleRig rig;
    rig.queueSales(4);
    rig.tick();  // stored and executed before the fault
    rig.queueSales(3);
    const long memoryBefore = peakMemoryMiB();
    rig.admin_.setFault({{"mode", GetParam().mode},
                         {"count", 3},
                         {"command", "tasks"},
                         {"apply", GetParam().apply}});
    for (int n = 0; n < 3; ++n)
        rig.tick();
    const long growth = peakMemoryMiB() - memoryBefore;

    EXPECT_TRUE(rig.drain()) << rig.admin_.registerState()["docs"].dump().substr(0, 2000);
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});
    EXPECT_EQ(rig.rowsIn("added") + rig.rowsIn("completed"), 0u);
    finding() << GetParam() << ": " << rig.reconnects_ << " reconnections, " << rig.shown.size()
              << " errors shown, " << rig.dialogs_.count() << " message boxes, peak memory grew by "
              << growth << " MiB\n";
    std::map<std::string, int> boxes;
    for (const std::string& text : rig.dialogs_.texts())
        ++boxes[text.substr(0, 160)];
    for (const auto& [text, times] : boxes)
        finding() << "  box (" << times << "x): " << text << "\n";
    EXPECT_LT(growth, static_cast<long>(sandbox::kHugeBodyBytes / (1024 * 1024)));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServiceFaultTest,
    ::testing::Values(ServiceFault{"http500", false}, ServiceFault{"http500", true},
                      ServiceFault{"not-json", true}, ServiceFault{"huge", false},
                      ServiceFault{"huge", true}, ServiceFault{"deep", true},
                      ServiceFault{"wrong-types", false}, ServiceFault{"wrong-types", true},
                      ServiceFault{"wrong-elements", true}, ServiceFault{"bad-status", true}),
    [](const auto& info) {
        std::string name = info.param.mode;
        std::erase(name, '-');
        return name + (info.param.apply ? "Applied" : "Refused");
    });

// An answer larger than the client accepts is cut off at the cap, not read whole.
TEST(ServiceFaults, AHugeAnswerIsRefusedWithoutHoldingIt) {
    CycleRig rig;
    const long before = peakMemoryMiB();
    rig.admin_.setFault({{"mode", "huge"}, {"count", 1}});
    EXPECT_THROW(rig.client_.executeDelay("tasks", Json::object()), RestDataError);
    const long growth = peakMemoryMiB() - before;
    finding() << "50 MiB answer refused; peak memory grew by " << growth << " MiB (cap "
              << kMaxAnswerBytes / (1024 * 1024) << " MiB)\n";
    EXPECT_LT(growth, static_cast<long>(sandbox::kHugeBodyBytes / (1024 * 1024)));
    EXPECT_TRUE(rig.client_.isReady());
}

// The one slow case: the answer would come only after the client's 30 s time-out.
TEST(ServiceFaults, AnAnswerThatNeverComesEndsInTheTimeOutAndTheCycleRecovers) {
    CycleRig rig;
    rig.queueSales(3);
    rig.admin_.setFault({{"mode", "hang"}, {"count", 1}, {"seconds", 45}, {"command", "tasks"}});
    const auto start = std::chrono::steady_clock::now();
    rig.tick();
    const auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(rig.reconnects_, 1);
    EXPECT_TRUE(rig.client_.isReady());
    EXPECT_TRUE(rig.drain());
    EXPECT_EQ(rig.notFiscalisedOnce(), std::vector<std::string>{});
    finding() << "hanging answer: the request gave up after " << waited.count()
              << " s; then every document arrived once\n";
}

}  // namespace
