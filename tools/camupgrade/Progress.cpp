#include "Progress.h"

namespace cli {

std::string bar(unsigned percent, unsigned width) {
    if (percent > 100)
        percent = 100;
    unsigned filled = percent * width / 100;
    std::string s = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    char num[8];
    std::snprintf(num, sizeof num, "%3u%%", percent);
    return s + num;
}

void ProgressView::update(unsigned percent, const std::string& what) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_percent = percent;
    m_what = what;
    draw();
}

void ProgressView::note(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_terminal && m_drawn)
        std::fputs("\r\033[K", m_out);
    std::fprintf(m_out, "%s\n", line.c_str());
    if (m_terminal && m_drawn)
        draw();
    std::fflush(m_out);
}

void ProgressView::finish() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_terminal && m_drawn)
        std::fputs("\n", m_out);
    m_drawn = false;
    std::fflush(m_out);
}

void ProgressView::draw() {
    std::string line = bar(m_percent) + "  " + m_what;
    if (m_terminal) {
        std::fprintf(m_out, "\r\033[K%s", line.c_str());
        m_drawn = true;
    } else if (line != m_shown) {
        std::fprintf(m_out, "progress %3u%%  %s\n", m_percent, m_what.c_str());
        m_shown = line;
    }
    std::fflush(m_out);
}

}  // namespace cli
