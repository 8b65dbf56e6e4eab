#include "printfColor.h"
#include "support/Archives.h"
#include "support/LogCapture.h"
#include "support/ProcessCounts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// A configuration that sends every message to <dir>/camclient.log.
std::string fileConfig(const camtest::ScratchDir& dir, const std::string& pattern) {
    std::string props = dir / "log.properties";
    camtest::writeFile(props, "log4cpp.rootCategory=DEBUG, file\n"
                              "log4cpp.appender.file=FileAppender\n"
                              "log4cpp.appender.file.fileName=" + (dir / "camclient.log") + "\n"
                              "log4cpp.appender.file.append=false\n"
                              "log4cpp.appender.file.layout=PatternLayout\n"
                              "log4cpp.appender.file.layout.ConversionPattern=" + pattern + "\n");
    return props;
}

struct Widget {
    static std::string where() { return camlog::funcBase("Widget::where"); }
};

}  // namespace

// The prefix names the file (cut at the last backslash, then at the last
// slash) and the function (cut at the last colon); the message follows as
// it was given, with the marks of errors and results.
TEST(LogLines, PrefixMarksAndMessages) {
    EXPECT_STREQ(camlog::fileBase("C:\\src\\upgrade\\DevApp.cpp"), "DevApp.cpp");
    EXPECT_STREQ(camlog::fileBase("/src/upgrade/DevApp.cpp"), "DevApp.cpp");
    EXPECT_STREQ(camlog::fileBase("a\\b/c.cpp"), "b/c.cpp");
    EXPECT_STREQ(camlog::fileBase("DevApp.cpp"), "DevApp.cpp");
    EXPECT_EQ(Widget::where(), "where");
    EXPECT_STREQ(camlog::funcBase("ns::DevApp::startUpgrade"), "startUpgrade");
    EXPECT_STREQ(camlog::funcBase("process"), "process");

    camtest::LogCapture log;
    int line = __LINE__ + 1;
    LOG_LINE("value=%d %s", 42, "no line end");
    LOG_ERROR_("set tftp server IP fail...\n");
    LOG_ERROR_("plain");
    LOG_RES_SUC("done");
    LOG_RES_FAL("failed");
    auto lines = log.take();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[test_logging.cpp(" + std::to_string(line) + ") TestBody] value=42 no line end");
    EXPECT_EQ(camtest::LogCapture::body(lines[1]), "[ERROR] set tftp server IP fail...\n\n");
    EXPECT_NE(lines[1].find(" LOG_ERROR_] "), std::string::npos);
    EXPECT_EQ(camtest::LogCapture::body(lines[2]), "[ERROR] plain\n");
    EXPECT_EQ(camtest::LogCapture::body(lines[3]), "done\n");
    EXPECT_EQ(camtest::LogCapture::body(lines[4]), "failed\n");
}

TEST(LogConfig, PropertiesFileWritesThroughFileAppender) {
    camtest::ScratchDir dir;
    std::string props = fileConfig(dir, "%p|%m");
    ASSERT_TRUE(TARNlog4cpp::CTarnLog::LoadConfig(props.c_str()));
    int line = __LINE__ + 1;
    LOG_LINE("connect succeed\n");
    LOG_LINE("ip is different");
    LOG_LINE("x\n");
    // A later job without a properties file logs to the console only.
    TARNlog4cpp::CTarnLog::LoadDefault();
    LOG_LINE("use default log configuration\n");

    EXPECT_EQ(camtest::readFile(dir / "camclient.log"),
              "DEBUG|[test_logging.cpp(" + std::to_string(line) + ") TestBody] connect succeed\n"
              "DEBUG|[test_logging.cpp(" + std::to_string(line + 1) + ") TestBody] ip is different"
              "DEBUG|[test_logging.cpp(" + std::to_string(line + 2) + ") TestBody] x\n");
}

TEST(LogConfig, BrokenFilesAreRejectedAndTheShippedSampleLoads) {
    EXPECT_FALSE(TARNlog4cpp::CTarnLog::LoadConfig("/nonexistent/SDKLOG_default.properties"));
    EXPECT_FALSE(TARNlog4cpp::CTarnLog::LoadConfig(nullptr));

    camtest::ScratchDir dir;
    camtest::writeFile(dir / "broken", "log4cpp.appender.file=NoSuchAppender\n");  // and no rootCategory
    EXPECT_FALSE(TARNlog4cpp::CTarnLog::LoadConfig((dir / "broken").c_str()));

    std::string sample = std::string(CAMUPGRADE_SOURCE_DIR) + "/SDKLOG_default.properties";
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);  // the sample names a relative log file
    EXPECT_TRUE(TARNlog4cpp::CTarnLog::LoadConfig(sample.c_str()));
    TARNlog4cpp::CTarnLog::LoadDefault();
    ASSERT_EQ(chdir(cwd), 0);
}

// A host that upgrades camera after camera loads the configuration once per
// upgrade: the log file of the previous load must be closed, not leaked.
TEST(LogConfig, LoadingAgainReleasesThePreviousAppenders) {
    camtest::ScratchDir dir;
    std::string props = fileConfig(dir, "%m");
    const std::size_t none = camtest::openFdCount();
    ASSERT_TRUE(TARNlog4cpp::CTarnLog::LoadConfig(props.c_str()));
    const std::size_t once = camtest::openFdCount();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(TARNlog4cpp::CTarnLog::LoadConfig(props.c_str()));
    EXPECT_EQ(camtest::openFdCount(), once);
    LOG_LINE("still written\n");
    EXPECT_NE(camtest::readFile(dir / "camclient.log").find("still written"), std::string::npos);

    // Windows refuses to delete a file that a leaked appender still holds open.
    camtest::ScratchDir next;
    ASSERT_TRUE(TARNlog4cpp::CTarnLog::LoadConfig(fileConfig(next, "%m").c_str()));
    EXPECT_EQ(std::remove((dir / "camclient.log").c_str()), 0);
    TARNlog4cpp::CTarnLog::LoadDefault();
    EXPECT_EQ(camtest::openFdCount(), none);
}
