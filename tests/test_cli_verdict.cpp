#include "Verdict.h"

#include <gtest/gtest.h>

using cli::judge;

namespace {
const std::string kConnected = "12:00:00,001 [1] [main.cpp(80) runGuarded] connect succeed";
std::string logged(const std::string& message) {
    return "12:00:01,000 [7] [results.cpp(60) processRes] " + message;
}
}  // namespace

TEST(CliVerdict, CameraVerdictDecidesWhenTheJobRanToItsEnd) {
    auto ok = judge(1, {kConnected, logged("Ready sending"), logged("*"),
                        logged("Device lost connection, try resuming..."),
                        logged("Upgrade success...")});
    EXPECT_EQ(ok.exitCode, cli::EXIT_UPGRADED);
    EXPECT_EQ(ok.state, 0);

    auto check = judge(1, {kConnected, logged("*"), logged("Check validation fail")});
    EXPECT_EQ(check.exitCode, 12);
    auto kind = judge(1, {kConnected, logged("Tools refusing to upgrade because of mismatched firmare.")});
    EXPECT_EQ(kind.exitCode, 21);
    auto timeout = judge(1, {kConnected, logged("Time out")});
    EXPECT_EQ(timeout.exitCode, 18);
}

TEST(CliVerdict, ProgressMessagesAreNotVerdicts) {
    EXPECT_EQ(cli::stateOfLine(logged("*")), 4);
    EXPECT_EQ(cli::stateOfLine(logged("Ready")), 5);
    EXPECT_EQ(cli::stateOfLine(logged("Ready sending")), 9);
    auto v = judge(1, {kConnected, logged("Ready sending"), logged("*")});
    EXPECT_EQ(v.exitCode, cli::EXIT_NO_VERDICT);
    EXPECT_EQ(v.state, -1);
}

TEST(CliVerdict, JobsThatStoppedEarly) {
    EXPECT_EQ(judge(0, {"[x(1) f] set register failed"}).exitCode, cli::EXIT_UNREACHABLE);
    EXPECT_EQ(judge(0, {kConnected, "[UdpSock.cpp(9) startUdpServer] CTftpSocket_New::openSocket : "
                                    "udp bind failed!"}).exitCode,
              cli::EXIT_NO_FILE_SERVICE);
    auto unreleased = judge(0, {kConnected, logged("Upgrade success...")});
    EXPECT_EQ(unreleased.exitCode, cli::EXIT_NOT_RELEASED);
    EXPECT_EQ(unreleased.state, 0);
}

TEST(CliVerdict, EveryExitCodeIsDocumented) {
    std::string table = cli::exitCodeTable();
    for (int code : {0, 1, 2, 3, 4, 5, 6, 11, 12, 13, 16, 17, 18, 21, 23})
        EXPECT_NE(table.find((code < 10 ? "   " : "  ") + std::to_string(code) + "  "),
                  std::string::npos) << code;
}
