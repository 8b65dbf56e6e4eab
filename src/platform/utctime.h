// Wall-clock times as the records and logs write them: ISO 8601, UTC.
#pragma once

#include <chrono>
#include <string>

namespace platform {

// "2026-12-06T05:01:02Z" (with ".345" when `millis`).
std::string isoUtc(std::chrono::system_clock::time_point t, bool millis = false);
// Reads "2026-12-06", "2026-12-06T05:01", "2026-12-06 05:01:02" or with a
// trailing Z, as UTC; false when the text is no such date.
bool parseUtc(const std::string& text, std::chrono::system_clock::time_point* out);

}  // namespace platform
