#include "printfColor.h"

#include "platform/platform.h"
#include "tarnlog/TarnLogShared.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace camlog {

const char* fileBase(const char* path) {
    if (path == nullptr)
        return "";
    const char* cut = std::strrchr(path, '\\');
    if (cut == nullptr)
        cut = std::strrchr(path, '/');
    return cut != nullptr ? cut + 1 : path;
}

const char* funcBase(const char* name) {
    if (name == nullptr)
        return "";
    const char* cut = std::strrchr(name, ':');
    return cut != nullptr ? cut + 1 : name;
}

void write(const char* file, int line, const char* func, const char* format, ...) {
    char prefix[256];
    std::snprintf(prefix, sizeof prefix, "[%s(%d) %s] ", fileBase(file), line, funcBase(func));

    va_list args;
    va_start(args, format);
    std::string message = TARNlog4cpp::formatText(format, args);
    va_end(args);

    TARNlog4cpp::CTarnLog::Log(TARNlog4cpp::CTarnLog::Logger_camclient(), LOG_LEVEL, "%s%s",
                               prefix, message.c_str());
}

}  // namespace camlog

// Each function logs from its own body so the line names it as the source.
void LOG_ERROR_(const char* text) {
    platform::setConsoleAttribute(platform::CONSOLE_BRIGHT_RED);
    LOG_LINE("[ERROR] %s\n", text != nullptr ? text : "");
    platform::setConsoleAttribute(platform::CONSOLE_GREY);
}

void LOG_RES_SUC(const char* text) {
    platform::setConsoleAttribute(platform::CONSOLE_BRIGHT_GREEN);
    LOG_LINE("%s\n", text != nullptr ? text : "");
    platform::setConsoleAttribute(platform::CONSOLE_GREY);
}

void LOG_RES_FAL(const char* text) {
    platform::setConsoleAttribute(platform::CONSOLE_BRIGHT_RED);
    LOG_LINE("%s\n", text != nullptr ? text : "");
    platform::setConsoleAttribute(platform::CONSOLE_GREY);
}
