#include "tarnlog/TarnLogShared.h"

#include "platform/platform.h"
#include "tarnlog/TarnLog.h"

#include <cstdio>

namespace TARNlog4cpp {

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
