// What the two logging backends behind TarnLog.h have in common, so that the
// program logs the same lines whichever one a build links.
#pragma once

#include "tarnlog/TarnLog.h"

#include <cstdarg>
#include <ctime>
#include <string>

namespace TARNlog4cpp {

// The category the whole program logs to.
inline constexpr const char* kCategoryName = "camclient";

// printf into a string.
std::string formatText(const char* format, va_list args) TARN_PRINTF(1, 0);

// Formats the line and hands it to the sink of SetLineSink; false when no
// sink is set (the backend then logs as configured).
bool sendToSink(const char* format, va_list args) TARN_PRINTF(1, 0);

// The console line LoadDefault sets up: "2026-12-05 16:40:01.123 [thread] message".
// Messages carry their own line feed or not, so the line ends only where the
// message did not.
std::string consoleLine(std::time_t secs, int millis, const std::string& thread,
                        const std::string& message);

}  // namespace TARNlog4cpp
