// The service misbehaving: HTTP 500, a body that is not JSON, 50 MB, nesting 100,000 deep,
// wrong types, and an answer that never comes. The cycle must go on, lose nothing, and
// recover once the service behaves again, with its memory bounded.
#include <gtest/gtest.h>

#include <set>

#include "CycleRig.h"
#include "support/Sanitizers.h"

using namespace th;
using namespace th::faults;

namespace {

struct ServiceFault {
    const char* mode;
    bool apply;  // the service carries the request out and only its answer is lost
    // What the three faulty exchanges must come to: a failed exchange disconnects the
    // register; what goes wrong is reported without a box, and the same report of the same
    // register is notified once until its next good exchange.
    int reconnections;
    int notifications;
};

std::ostream& operator<<(std::ostream& out, const ServiceFault& fault) {
    return out << fault.mode << (fault.apply ? "/applied" : "/refused");
}

class ServiceFaultTest : public ::testing::TestWithParam<ServiceFault> {};

TEST_P(ServiceFaultTest, TheCycleGoesOnAndEveryDocumentArrivesOnce) {
    CycleRig rig;
    // An answer lost on its way is a delivery the service must repeat: here it sends a
    // document again until the client lists it.
    if (GetParam().apply)
        rig.sandbox_.state().configure({{"hand_out_once", false}});
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
              << " errors shown, " << rig.dialogs_.count() << " message boxes, "
              << rig.notifications << " notifications of " << rig.problems.size()
              << " reports, peak memory grew by " << growth << " MiB\n";
    for (const std::string& text : std::set<std::string>(rig.problems.begin(), rig.problems.end()))
        finding() << "  reported: " << text.substr(0, 160) << "\n";
    EXPECT_EQ(rig.reconnects_, GetParam().reconnections);
    EXPECT_EQ(rig.dialogs_.count(), 0u);
    EXPECT_TRUE(rig.shown.empty());
    EXPECT_EQ(rig.notifications, GetParam().notifications);
    if (!test::kUnderSanitizer) {
        EXPECT_LT(growth, static_cast<long>(sandbox::kHugeBodyBytes / (1024 * 1024)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServiceFaultTest,
    ::testing::Values(ServiceFault{"http500", false, 3, 1}, ServiceFault{"http500", true, 3, 1},
                      ServiceFault{"not-json", true, 3, 1}, ServiceFault{"huge", false, 3, 1},
                      ServiceFault{"huge", true, 3, 1}, ServiceFault{"deep", true, 3, 1},
                      ServiceFault{"wrong-types", false, 3, 1},
                      ServiceFault{"wrong-types", true, 3, 1},
                      ServiceFault{"wrong-elements", true, 0, 7},
                      ServiceFault{"bad-status", true, 0, 1}),
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
    if (!test::kUnderSanitizer) {
        EXPECT_LT(growth, static_cast<long>(sandbox::kHugeBodyBytes / (1024 * 1024)));
    }
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
