// Collects what the library logs to "camclient", through the real log4cpp.
#pragma once

#include <string>
#include <vector>

namespace camtest {

class CaptureAppender;

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every message so far, prefix included, and forgets them.
    std::vector<std::string> take();
    // Messages so far (kept) that contain the text.
    std::size_t count(const std::string& text);

    // The message part of a line: what follows the "[file(line) func] " prefix.
    static std::string body(const std::string& line);

private:
    void drain();
    CaptureAppender* m_appender;  // owned by the category
    std::vector<std::string> m_lines;
};

}  // namespace camtest
