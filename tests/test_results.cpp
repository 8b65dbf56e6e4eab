#include "session/Worker.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>

// What the scenarios do not show: a running state is logged twice per poll
// (once by each function), and a word beyond the table keeps the polling on
// without a line. Final and restart states are the job tests'.
TEST(StateTable, RunningAndUnknownWords) {
    camtest::LogCapture log;
    EXPECT_EQ(processRes(50 << 8 | ST_UPGRADING), RES_RUNNING);
    EXPECT_EQ(getProcessStatus(50 << 8 | ST_UPGRADING), ST_UPGRADING);
    std::vector<std::string> lines = log.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[main.cpp(", 0), 0u) << lines[0];
    EXPECT_NE(lines[1].find(" getProcessStatus] "), std::string::npos) << lines[1];
    EXPECT_EQ(processRes(0x05FF), RES_CONNECTING);
    EXPECT_EQ(getProcessStatus(0x05FF), ST_UPGRADING);
    EXPECT_TRUE(log.take().empty());
}

// Upgrading climbs to 55 and offline to 85, five at a time; success jumps to
// 100 and every other state climbs there; nothing ever goes down.
TEST(ProgressRule, StepsAndCeilings) {
    const int cases[][3] = {{4, 0, 5},    {4, 50, 55},  {4, 55, 55},   {4, 60, 60},  {14, 70, 75},
                            {14, 80, 85}, {14, 85, 85}, {14, 90, 90},  {0, 0, 100},  {9, 97, 100},
                            {9, 100, 100}, {13, 55, 60}, {-1, 94, 99}, {10, 95, 100}};
    for (const auto& c : cases)
        EXPECT_EQ(advanceProgress(c[0], static_cast<unsigned>(c[1])), static_cast<unsigned>(c[2]))
            << c[0] << " at " << c[1];
}
