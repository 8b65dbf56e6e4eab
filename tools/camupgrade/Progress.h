// The live progress display: a redrawn bar on a terminal, one line per
// change otherwise (logs, CI, pipes).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace cli {

class ProgressView {
public:
    ProgressView(std::FILE* out, bool terminal) : m_out(out), m_terminal(terminal) {}

    void update(unsigned percent, const std::string& what);
    // A line of text shown above the bar (the library's log with --verbose).
    void note(const std::string& line);
    // Leaves the bar on its own line.
    void finish();

private:
    void draw();

    std::mutex m_lock;
    std::FILE* m_out;
    bool m_terminal;
    bool m_drawn = false;
    unsigned m_percent = 0;
    std::string m_what;
    std::string m_shown;  // last line printed when not on a terminal
};

// "[##########..........]  50%" for the given percent.
std::string bar(unsigned percent, unsigned width = 30);

}  // namespace cli
