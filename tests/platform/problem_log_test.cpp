#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/Background.h"
#include "platform/ProblemLog.h"
#include "support/TempDir.h"

using th::ProblemLog;

namespace {

size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ProblemLog, TheSameProblemIsNotifiedOnceUntilTheRegisterRecovers) {
    th::test::TempDir dir;
    ProblemLog log(dir.file(ProblemLog::kFileName));
    EXPECT_TRUE(log.report("K1", "Нет связи с кассой"));
    for (int n = 0; n < 9; ++n)
        EXPECT_FALSE(log.report("K1", "Нет связи с кассой"));
    EXPECT_TRUE(log.report("K2", "Нет связи с кассой"));  // each register for itself
    EXPECT_TRUE(log.report("K1", "В кассе отсутствует чековая лента"));
    log.registerRecovered("K1");
    EXPECT_TRUE(log.report("K1", "Нет связи с кассой"));
    EXPECT_FALSE(log.report("K2", "Нет связи с кассой"));

    // Every report is a line of the file, with the register it came from.
    const std::string text = dir.read(ProblemLog::kFileName);
    EXPECT_EQ(lineCount(text), 14u);
    EXPECT_NE(text.find("  K2  Нет связи с кассой\n"), std::string::npos);
}

TEST(ProblemLog, ALineIsOneLineAndTheFileIsRotatedKeepingOneOlder) {
    th::test::TempDir dir;
    ProblemLog log(dir.file(ProblemLog::kFileName), 1000);
    log.report("", "первая\nвторая");
    EXPECT_EQ(lineCount(dir.read(ProblemLog::kFileName)), 1u);
    EXPECT_NE(dir.read(ProblemLog::kFileName).find("  -  первая вторая"), std::string::npos);
    for (int n = 0; n < 100; ++n)
        log.report("K1", "отчёт " + std::to_string(n));
    EXPECT_LE(std::filesystem::file_size(dir.file(ProblemLog::kFileName)), 1000u);
    EXPECT_LE(std::filesystem::file_size(dir.file("tillhaven.log.1")), 1000u);
    EXPECT_NE(dir.read(ProblemLog::kFileName).find("отчёт 99\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("tillhaven.log.2")));
}

TEST(ProblemLog, AnUnwritableLogStopsNothing) {
    ProblemLog log("/nonexistent-dir/tillhaven.log");
    EXPECT_TRUE(log.report("K1", "Нет связи с кассой"));
}

}  // namespace

// A step that fails for the moment waits 5 s, then twice as long each time, at most 5 min;
// a success starts again from 5 s.
TEST(RetrySchedule, DoublesFromFiveSecondsUpToFiveMinutes) {
    th::RetrySchedule schedule;
    std::vector<int> delays;
    for (int attempt = 0; attempt < 9; ++attempt)
        delays.push_back(schedule.nextDelaySeconds());
    EXPECT_EQ(delays, (std::vector<int>{5, 10, 20, 40, 80, 160, 300, 300, 300}));
    schedule.reset();
    EXPECT_EQ(schedule.nextDelaySeconds(), 5);
}
