#include "tarnlog/TarnLogShared.h"

#include "platform/platform.h"
#include "tarnlog/TarnLog.h"

#include <cstdio>
#include <mutex>
#include <shared_mutex>

namespace TARNlog4cpp {

namespace {

struct Sink {
    std::shared_mutex lock;  // shared while a line is handed over
    std::function<void(const std::string&)> function;
};

Sink& sink() {
    static Sink s;
    return s;
}

}  // namespace

std::string formatText(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(needed > 0 ? static_cast<std::size_t>(needed) : 0, '\0');
    if (needed > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}

void CTarnLog::SetLineSink(std::function<void(const std::string&)> function) {
    Sink& s = sink();
    std::unique_lock<std::shared_mutex> guard(s.lock);
    s.function = std::move(function);
}

bool sendToSink(const char* format, va_list args) {
    Sink& s = sink();
    std::shared_lock<std::shared_mutex> guard(s.lock);
    if (!s.function)
        return false;
    std::string line = formatText(format, args);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    s.function(line);
    return true;
}

std::string consoleLine(std::time_t secs, int millis, const std::string& thread,
                        const std::string& message) {
    const std::tm parts = platform::localTime(secs);
    char stamp[40];
    std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d", millis);
    std::string line = std::string(stamp) + " [" + thread + "] " + message;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    return line;
}

void CTarnLog::Log(Category* category, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(category, level, format, args);
    va_end(args);
}

}  // namespace TARNlog4cpp
