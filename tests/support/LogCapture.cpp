#include "support/LogCapture.h"

#ifdef CAMUPGRADE_LOG_BUILTIN
#include "tarnlog/builtin/MiniLog.h"
#else
#include <log4cpp/Category.hh>
#include <log4cpp/LayoutAppender.hh>
#include <log4cpp/PatternLayout.hh>
#endif

#include <memory>
#include <mutex>

namespace camtest {

#ifdef CAMUPGRADE_LOG_BUILTIN

// Keeps each message; appends come from the library's threads.
class CaptureAppender : public minilog::Appender {
public:
    void append(const minilog::Event& event) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(event.message);
    }
    std::vector<std::string> popAll() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::string> out;
        out.swap(m_lines);
        return out;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// Like a log4cpp category, the backend owns the appender while it is attached.
LogCapture::LogCapture() : m_appender(new CaptureAppender()) {
    minilog::setPriority("camclient", minilog::PRIORITY_DEBUG);
    minilog::addAppender("camclient", std::shared_ptr<minilog::Appender>(m_appender));
}

LogCapture::~LogCapture() { minilog::removeAppender("camclient", m_appender); }

#else

// Keeps each formatted message; appends come from the library's threads.
class CaptureAppender : public log4cpp::LayoutAppender {
public:
    CaptureAppender() : log4cpp::LayoutAppender("capture") {}
    void close() override {}
    std::vector<std::string> popAll() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::string> out;
        out.swap(m_lines);
        return out;
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        std::string line = _getLayout().format(event);
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::move(line));
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

LogCapture::LogCapture() : m_appender(new CaptureAppender()) {
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%m");
    m_appender->setLayout(layout);
    log4cpp::Category& cat = log4cpp::Category::getInstance("camclient");
    cat.setPriority(log4cpp::Priority::DEBUG);
    cat.addAppender(m_appender);
}

LogCapture::~LogCapture() {
    log4cpp::Category::getInstance("camclient").removeAppender(m_appender);
}

#endif

void LogCapture::drain() {
    for (auto& line : m_appender->popAll())
        m_lines.push_back(std::move(line));
}

std::vector<std::string> LogCapture::take() {
    drain();
    std::vector<std::string> out;
    out.swap(m_lines);
    return out;
}

std::size_t LogCapture::count(const std::string& text) {
    drain();
    std::size_t n = 0;
    for (const auto& line : m_lines)
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

std::string LogCapture::body(const std::string& line) {
    auto end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

}  // namespace camtest
