#include "main.h"
#include "support/LogCapture.h"

#include <camupgrade.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

struct Row {
    int state;
    const char* message;  // nullptr: nothing logged
    ResProcess result;
    bool repeated;
};

const Row kTable[] = {
    {0, "Upgrade success...\n", RES_SUC, true},
    {1, "IP eror\n", RES_FAL, true},
    {2, "Check validation fail\n", RES_FAL, true},
    {3, "Firewall intercepting or device reports error (firmware not matach or other exception).\n",
     RES_FAL, true},
    {4, "*", RES_RUNNING, true},
    {5, "Ready\n", RES_RUNNING, false},
    {6, "Connect fail\n", RES_FAL, false},
    {7, "Version not match\n", RES_FAL, false},
    {8, "Time out\n", RES_FAL, false},
    {9, "Ready sending\n", RES_RUNNING, false},
    {10, "Device lost connection, try resuming...\n", RES_CONNECTING, false},
    {11, "Tools refusing to upgrade because of mismatched firmare.\n", RES_FAL, true},
    {12, "Connecting...\n", RES_CONNECTING, false},
    {13, "Inner error, Double-click for detail\n", RES_FAL, true},
    {14, nullptr, RES_OFFLINE, false},
};

std::vector<std::string> bodies(camtest::LogCapture& log) {
    std::vector<std::string> out;
    for (auto& line : log.take())
        out.push_back(camtest::LogCapture::body(line));
    return out;
}

}  // namespace

TEST(StateTable, EveryRowLogsMapsAndPublishes) {
    camtest::LogCapture log;
    for (const Row& row : kTable) {
        SCOPED_TRACE(row.state);
        // The percent byte must not change the outcome.
        std::uint16_t word = static_cast<std::uint16_t>(0x3700 | row.state);
        EXPECT_EQ(processRes(word), row.result);
        auto first = bodies(log);
        EXPECT_EQ(getProcessStatus(word), row.state);
        auto second = bodies(log);

        if (row.message == nullptr) {
            EXPECT_TRUE(first.empty());
        } else {
            ASSERT_EQ(first.size(), 1u);
            EXPECT_EQ(first[0], row.message);
        }
        if (row.repeated) {
            ASSERT_EQ(second.size(), 1u);
            EXPECT_EQ(second[0], row.message);
        } else {
            EXPECT_TRUE(second.empty());
        }
    }
}

TEST(StateTable, StatesAbove14KeepPollingAndLogNothing) {
    camtest::LogCapture log;
    for (int s : {15, 100, 255}) {
        std::uint16_t word = static_cast<std::uint16_t>(0x0500 | s);
        EXPECT_EQ(processRes(word), RES_CONNECTING);
        EXPECT_EQ(getProcessStatus(word), 4);
    }
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

TEST(GetUpdateStatus, AdvancesPublishedProgressAndPauses) {
    g_upgradeStatus.store(4);
    g_upgradeProgress.store(50);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetUpdateStatus(), 55u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1990));

    g_upgradeStatus.store(0);
    EXPECT_EQ(GetUpdateStatus(), 100u);
    g_upgradeStatus.store(0);
    g_upgradeProgress.store(0);
}
