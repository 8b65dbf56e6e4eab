// Logging facade of the library. The program logs only through these four
// operations (and, above them, the one log statement in printfColor.h); the
// backend behind them is log4cpp.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

#if defined(__GNUC__)
#define TARN_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#else
#define TARN_PRINTF(fmtIndex, argIndex)
#endif

namespace TARNlog4cpp {

// Opaque handle of a logging category.
class Category;

class CTarnLog {
public:
    // Loads a log4cpp properties file; false when it is missing or broken.
    static bool LoadConfig(const char* fileName);
    // Root category at DEBUG to the console, with time and thread on each line.
    static void LoadDefault();
    // The category the whole program logs to: "camclient".
    static Category* Logger_camclient();
    // printf-style line at the given level (700 = DEBUG).
    static void Log(Category* category, int level, const char* format, ...) TARN_PRINTF(3, 4);
    static void LogV(Category* category, int level, const char* format, va_list args)
        TARN_PRINTF(3, 0);
    // While a sink is set, every line goes to it, without its line end, and
    // to nothing else (no console, no file). An empty function removes it and
    // waits for calls in progress. Calls come from any thread.
    static void SetLineSink(std::function<void(const std::string&)> sink);
};

}  // namespace TARNlog4cpp
