#include "session/Worker.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>

// A few words through both functions, as the worker calls them on each poll.
TEST(StateTable, WordsMapLogAndPublish) {
    camtest::LogCapture log;
    struct Case {
        std::uint16_t word;
        ResProcess result;
        int published;
        std::size_t lines;  // processRes and getProcessStatus together
    };
    const Case cases[] = {
        {50 << 8 | ST_UPGRADING, RES_RUNNING, ST_UPGRADING, 2},  // "*" twice per poll
        {ST_SUCCESS, RES_SUC, ST_SUCCESS, 2},
        {5 << 8 | ST_LINK_LOST, RES_CONNECTING, ST_LINK_LOST, 1},
        {ST_OFFLINE, RES_OFFLINE, ST_OFFLINE, 0},
        {ST_FIRMWARE_MISMATCH, RES_FAL, ST_FIRMWARE_MISMATCH, 2},
        {0x05FF, RES_CONNECTING, ST_UPGRADING, 0},  // beyond the table: keep polling
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(processRes(c.word), c.result);
        EXPECT_EQ(getProcessStatus(c.word), c.published);
        std::vector<std::string> lines = log.take();
        EXPECT_EQ(lines.size(), c.lines);
        if (c.lines == 2) {
            EXPECT_EQ(lines[0].rfind("[main.cpp(", 0), 0u) << lines[0];
            EXPECT_NE(lines[1].find(" getProcessStatus] "), std::string::npos) << lines[1];
        }
    }
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
