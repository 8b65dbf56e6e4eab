// The program's one log statement and the coloured result lines.
//
// Every line goes out at level 700 with the prefix "[file(line) function] ",
// where file and function are base names. Messages are passed unchanged: a
// message that should end a line carries its own "\n".
#pragma once

#include "tarnlog/TarnLog.h"

namespace camlog {

constexpr int LOG_LEVEL = 700;

// Text after the last backslash, else after the last slash, else all of it.
const char* fileBase(const char* path);
// Text after the last colon, else all of it ("DevApp::run" gives "run").
const char* funcBase(const char* name);

void write(const char* file, int line, const char* func, const char* format, ...)
    TARN_PRINTF(4, 5);

}  // namespace camlog

#define LOG_LINE(...) ::camlog::write(__FILE__, __LINE__, __func__, __VA_ARGS__)
// Lines of the exported entry points and their job worker keep "main.cpp" as
// their file and, with LOG_LINE_AS, the entry point's name, wherever the
// helper that writes them lives: host tools filter the log by both.
#define LOG_MAIN_LINE(...) ::camlog::write("main.cpp", __LINE__, __func__, __VA_ARGS__)
#define LOG_LINE_AS(func, ...) ::camlog::write("main.cpp", __LINE__, func, __VA_ARGS__)

// Error line "[ERROR] text\n" in bright red on a console.
void LOG_ERROR_(const char* text);
// Result lines in bright green (success) and bright red (failure).
void LOG_RES_SUC(const char* text);
void LOG_RES_FAL(const char* text);
