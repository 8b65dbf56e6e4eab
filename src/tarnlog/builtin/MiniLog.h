// A minimal logging backend of our own behind TarnLog.h, for builds where
// log4cpp is not available: today only the Windows test build made on Linux
// (CAMUPGRADE_LOG_BACKEND=builtin). Product builds link log4cpp instead.
//
// It keeps log4cpp's model where the program and its configuration files rely
// on it: categories named by dots under a root, priorities on log4cpp's scale
// (DEBUG = 700), appenders on categories with additivity, and the properties
// format with these keys (all prefixed "log4cpp."):
//
//   rootCategory=PRIORITY[, appender...]
//   category.NAME=[PRIORITY][, appender...]
//   additivity.NAME=true|false
//   appender.A=ConsoleAppender | FileAppender | RollingFileAppender
//   appender.A.fileName=PATH            (file appenders)
//   appender.A.append=true|false        (file appenders, default true)
//   appender.A.maxFileSize=BYTES        (rolling, default 10 MiB)
//   appender.A.maxBackupIndex=N         (rolling, default 1)
//   appender.A.layout=PatternLayout | BasicLayout | SimpleLayout
//   appender.A.layout.ConversionPattern=%d{...} %t %p %c %m %n %r %R %x %%
//
// A file without rootCategory, or with anything else it does not know, makes
// LoadConfig fail, so a configuration never half-works unnoticed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace minilog {

constexpr int PRIORITY_DEBUG = 700;
constexpr int PRIORITY_NOTSET = 800;

struct Event {
    std::string category;
    int priority = PRIORITY_DEBUG;
    std::string message;
    std::string thread;
    std::int64_t timeMs = 0;  // since the epoch
};

class Appender {
public:
    virtual ~Appender() = default;
    // Called under the backend's lock, one event at a time.
    virtual void append(const Event& event) = 0;
};

// Attaches an appender to a category (created on first use); it receives the
// category's events, and those of its children while they are additive.
void addAppender(const std::string& category, std::shared_ptr<Appender> appender);
void removeAppender(const std::string& category, const Appender* appender);
void setPriority(const std::string& category, int priority);

// Formats an event by a log4cpp conversion pattern. False for a pattern
// with a conversion it does not know.
bool formatPattern(const std::string& pattern, const Event& event, std::string* out);

}  // namespace minilog
