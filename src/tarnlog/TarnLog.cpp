#include "tarnlog/TarnLog.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Layout.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/TimeStamp.hh>

#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>

namespace TARNlog4cpp {

class Category {
public:
    explicit Category(log4cpp::Category& impl) : m_impl(impl) {}
    log4cpp::Category& impl() { return m_impl; }

private:
    log4cpp::Category& m_impl;
};

namespace {

const char* const kCategoryName = "camclient";
const char* const kConsoleAppender = "camupgrade-console";

// "2026-12-05 16:40:01.123 [thread] message": messages carry their own line
// feed or not, so the layout ends a line only where the message did not.
class ConsoleLayout : public log4cpp::Layout {
public:
    std::string format(const log4cpp::LoggingEvent& event) override {
        std::time_t secs = event.timeStamp.getSeconds();
        std::tm parts{};
#ifdef _WIN32
        localtime_s(&parts, &secs);
#else
        localtime_r(&secs, &parts);
#endif
        char stamp[40];
        std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
        std::snprintf(stamp + n, sizeof stamp - n, ".%03d", event.timeStamp.getMilliSeconds());
        std::string line = std::string(stamp) + " [" + event.threadName + "] " + event.message;
        if (line.empty() || line.back() != '\n')
            line += '\n';
        return line;
    }
};

}  // namespace

bool CTarnLog::LoadConfig(const char* fileName) {
    if (fileName == nullptr)
        return false;
    try {
        log4cpp::PropertyConfigurator::configure(fileName);
        return true;
    } catch (const std::exception&) {
        // ConfigureFailure for a missing or broken file; anything else the
        // configurator throws counts as broken as well.
        return false;
    }
}

void CTarnLog::LoadDefault() {
    // Replaces only what an earlier LoadDefault installed: appenders that a
    // host program attached itself stay where they are.
    log4cpp::Category& root = log4cpp::Category::getRoot();
    if (log4cpp::Appender* previous = root.getAppender(kConsoleAppender))
        root.removeAppender(previous);
    root.setPriority(log4cpp::Priority::DEBUG);
    auto* appender = new log4cpp::OstreamAppender(kConsoleAppender, &std::cout);
    appender->setLayout(new ConsoleLayout());
    root.addAppender(appender);

    log4cpp::Category& own = log4cpp::Category::getInstance(kCategoryName);
    own.setAdditivity(true);
    own.setPriority(log4cpp::Priority::NOTSET);
}

Category* CTarnLog::Logger_camclient() {
    static Category category(log4cpp::Category::getInstance(kCategoryName));
    return &category;
}

void CTarnLog::Log(Category* category, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(category, level, format, args);
    va_end(args);
}

void CTarnLog::LogV(Category* category, int level, const char* format, va_list args) {
    if (category == nullptr || format == nullptr)
        return;
    category->impl().logva(level, format, args);
}

}  // namespace TARNlog4cpp
