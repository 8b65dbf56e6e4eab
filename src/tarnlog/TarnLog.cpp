#include "tarnlog/TarnLog.h"

#include "tarnlog/TarnLogShared.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Layout.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/TimeStamp.hh>

#include <exception>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TARNlog4cpp {

class Category {
public:
    explicit Category(log4cpp::Category& impl) : m_impl(impl) {}
    log4cpp::Category& impl() { return m_impl; }

private:
    log4cpp::Category& m_impl;
};

namespace {

const char* const kConsoleAppender = "camupgrade-console";

class ConsoleLayout : public log4cpp::Layout {
public:
    std::string format(const log4cpp::LoggingEvent& event) override {
        return consoleLine(event.timeStamp.getSeconds(), event.timeStamp.getMilliSeconds(),
                           event.threadName, event.message);
    }
};

// Every appender attached to a category now.
std::set<log4cpp::Appender*> attachedAppenders() {
    std::set<log4cpp::Appender*> out;
    std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *all)
        for (log4cpp::Appender* appender : category->getAllAppenders())
            out.insert(appender);
    return out;
}

// The appenders configuration files made. The configurator attaches them
// without handing them over, and a later configuration only detaches them:
// each upgrade would leave its predecessor's appenders behind, open log
// file included. The last ones go when the program ends, detached first so
// that nothing logs into them afterwards.
class ConfiguredAppenders {
public:
    ConfiguredAppenders() = default;
    ConfiguredAppenders(const ConfiguredAppenders&) = delete;
    ConfiguredAppenders& operator=(const ConfiguredAppenders&) = delete;
    // The console appender's layout is a class of this library, so it must
    // go while the library is loaded: a host that unloads us would otherwise
    // crash when log4cpp's registry frees it at exit.
    ~ConfiguredAppenders() {
        drop();
        log4cpp::Category& root = log4cpp::Category::getRoot();
        if (log4cpp::Appender* console = root.getAppender(kConsoleAppender))
            root.removeAppender(console);
    }
    // Detaches every one of them from every category and frees it.
    void drop() {
        std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
        for (log4cpp::Category* category : *all)
            for (log4cpp::Appender* appender : set)
                category->removeAppender(appender);
        for (log4cpp::Appender* appender : set)
            delete appender;
        set.clear();
    }
    std::set<log4cpp::Appender*> set;
};

// Made after log4cpp's own registry, so it goes before it at exit.
ConfiguredAppenders& configured() {
    log4cpp::Category::getRoot();
    static ConfiguredAppenders appenders;
    return appenders;
}

}  // namespace

bool CTarnLog::LoadConfig(const char* fileName) {
    if (fileName == nullptr)
        return false;
    try {
        const std::set<log4cpp::Appender*> before = attachedAppenders();
        log4cpp::PropertyConfigurator::configure(fileName);
        const std::set<log4cpp::Appender*> after = attachedAppenders();
        std::set<log4cpp::Appender*>& ours = configured().set;
        for (auto it = ours.begin(); it != ours.end();) {
            if (after.count(*it) == 0) {
                delete *it;
                it = ours.erase(it);
            } else {
                ++it;
            }
        }
        for (log4cpp::Appender* appender : after)
            if (before.count(appender) == 0)
                ours.insert(appender);
        return true;
    } catch (const std::exception&) {
        // ConfigureFailure for a missing or broken file; anything else the
        // configurator throws counts as broken as well.
        return false;
    }
}

void CTarnLog::LoadDefault() {
    // Replaces what an earlier LoadDefault or LoadConfig installed: a job
    // without a properties file must not keep writing into the file the
    // previous job configured. Appenders that a host program attached
    // itself stay where they are.
    configured().drop();
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

void CTarnLog::LogV(Category* category, int level, const char* format, va_list args) {
    if (category == nullptr || format == nullptr || sendToSink(format, args))
        return;
    category->impl().logva(level, format, args);
}

}  // namespace TARNlog4cpp
