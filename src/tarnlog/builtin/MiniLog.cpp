// The built-in logging backend (see MiniLog.h for what it covers and why it
// exists). It also implements the facade of TarnLog.h for that build.
#include "tarnlog/builtin/MiniLog.h"
#include "tarnlog/TarnLog.h"
#include "tarnlog/TarnLogShared.h"

#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace minilog {

namespace {

struct CategoryData {
    int priority = PRIORITY_NOTSET;
    bool additive = true;
    std::vector<std::shared_ptr<Appender>> appenders;
};

// Root is the empty name. Everything is guarded by one lock: logging is
// serialised line by line, and reconfiguration never meets a half-written line.
struct State {
    std::mutex lock;
    std::map<std::string, CategoryData> categories;
    const Appender* defaultConsole = nullptr;  // what LoadDefault installed last
    State() { categories[""].priority = 600; }  // root starts at INFO, as in log4cpp
};

State& state() {
    static State s;
    return s;
}

const std::int64_t kStartMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();

std::string parentOf(const std::string& name) {
    auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

std::string trim(const std::string& s) {
    auto begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return std::string();
    auto end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

std::vector<std::string> splitList(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(trim(item));
    return out;
}

const char* const kPriorityNames[] = {"FATAL", "ALERT", "CRIT", "ERROR", "WARN",
                                      "NOTICE", "INFO", "DEBUG", "NOTSET"};

const char* priorityName(int priority) {
    int index = (priority + 1) / 100;
    return (priority < 0 || index > 8) ? "UNKNOWN" : kPriorityNames[index];
}

bool parsePriority(const std::string& text, int* out) {
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper == "EMERG" || upper == "FATAL") {
        *out = 0;
        return true;
    }
    for (int i = 1; i < 9; ++i) {
        if (upper == kPriorityNames[i]) {
            *out = i * 100;
            return true;
        }
    }
    if (!upper.empty() && std::all_of(upper.begin(), upper.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; })) {
        *out = std::stoi(upper);
        return true;
    }
    return false;
}

std::string formatTime(std::int64_t timeMs, std::string format) {
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03d", static_cast<int>(timeMs % 1000));
    for (auto at = format.find("%l"); at != std::string::npos; at = format.find("%l", at + 3))
        format.replace(at, 2, millis);
    std::time_t secs = static_cast<std::time_t>(timeMs / 1000);
    const std::tm parts = platform::localTime(secs);
    std::ostringstream text;
    text << std::put_time(&parts, format.c_str());
    return text.str();
}

std::string dateFormat(const std::string& arg) {
    if (arg.empty() || arg == "ISO8601")
        return "%Y-%m-%d %H:%M:%S,%l";
    if (arg == "ABSOLUTE")
        return "%H:%M:%S,%l";
    if (arg == "DATE")
        return "%d %b %Y %H:%M:%S,%l";
    return arg;
}

// A layout turns an event into the text an appender writes.
struct Layout {
    std::string pattern = "%R %p %c %x: %m%n";  // log4cpp's BasicLayout

    std::string format(const Event& event) const {
        std::string text;
        formatPattern(pattern, event, &text);
        return text;
    }
};

class ConsoleAppender : public Appender {
public:
    explicit ConsoleAppender(Layout layout) : m_layout(std::move(layout)) {}
    void append(const Event& event) override {
        std::cout << m_layout.format(event) << std::flush;
    }

private:
    Layout m_layout;
};

// What LoadDefault installs: the same console line as with log4cpp.
class DefaultConsoleAppender : public Appender {
public:
    void append(const Event& event) override {
        std::cout << TARNlog4cpp::consoleLine(static_cast<std::time_t>(event.timeMs / 1000),
                                              static_cast<int>(event.timeMs % 1000),
                                              event.thread, event.message)
                  << std::flush;
    }
};

class FileAppender : public Appender {
public:
    FileAppender(Layout layout, std::string path, bool append, std::int64_t maxSize,
                 int maxBackups)
        : m_layout(std::move(layout)), m_path(std::move(path)), m_maxSize(maxSize),
          m_maxBackups(maxBackups) {
        m_file = std::fopen(m_path.c_str(), append ? "ab" : "wb");
    }
    ~FileAppender() override {
        if (m_file != nullptr)
            std::fclose(m_file);
    }
    FileAppender(const FileAppender&) = delete;
    FileAppender& operator=(const FileAppender&) = delete;

    bool ok() const { return m_file != nullptr; }

    void append(const Event& event) override {
        if (m_file == nullptr)
            return;
        std::string text = m_layout.format(event);
        std::fwrite(text.data(), 1, text.size(), m_file);
        std::fflush(m_file);
        if (m_maxSize > 0 && std::ftell(m_file) >= m_maxSize)
            roll();
    }

private:
    // camupgrade.log -> .1 -> .2 ... up to maxBackupIndex; the oldest goes.
    void roll() {
        std::fclose(m_file);
        m_file = nullptr;
        for (int i = m_maxBackups; i >= 1; --i) {
            std::string to = m_path + "." + std::to_string(i);
            std::string from = i == 1 ? m_path : m_path + "." + std::to_string(i - 1);
            std::remove(to.c_str());  // rename does not replace on Windows
            std::rename(from.c_str(), to.c_str());
        }
        if (m_maxBackups < 1)
            std::remove(m_path.c_str());
        m_file = std::fopen(m_path.c_str(), "wb");
    }

    Layout m_layout;
    std::string m_path;
    std::int64_t m_maxSize;
    int m_maxBackups;
    std::FILE* m_file = nullptr;
};

struct CategoryConfig {
    std::string name;
    int priority = PRIORITY_NOTSET;
    std::vector<std::string> appenders;
};

// A properties file turned into new appenders and category settings; only a
// fully valid one is applied.
class Configuration {
public:
    bool load(const char* fileName) {
        std::ifstream in(fileName, std::ios::binary);
        if (!in)
            return false;
        std::string line;
        while (std::getline(in, line)) {
            line = trim(line);
            if (line.empty() || line[0] == '#' || line[0] == '!')
                continue;
            auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string key = trim(line.substr(0, eq));
            const std::string prefix = "log4cpp.";
            if (key.compare(0, prefix.size(), prefix) != 0)
                continue;
            m_props[key.substr(prefix.size())] = trim(line.substr(eq + 1));
        }
        return build();
    }

    void apply(State& s) {
        for (const auto& cat : m_categories) {
            CategoryData& data = s.categories[cat.name];
            data.priority = cat.priority;
            data.appenders.clear();
            for (const auto& name : cat.appenders)
                data.appenders.push_back(m_appenders[name]);
        }
        for (const auto& add : m_additivity)
            s.categories[add.first].additive = add.second;
    }

private:
    bool build() {
        if (m_props.count("rootCategory") == 0)  // as log4cpp's configurator demands
            return false;
        for (const auto& prop : m_props) {
            const std::string& key = prop.first;
            if (key.compare(0, 9, "appender.") == 0 && key.find('.', 9) == std::string::npos) {
                if (!makeAppender(key.substr(9), prop.second))
                    return false;
            } else if (key == "rootCategory") {
                if (!addCategory("", prop.second))
                    return false;
            } else if (key.compare(0, 9, "category.") == 0) {
                if (!addCategory(key.substr(9), prop.second))
                    return false;
            } else if (key.compare(0, 11, "additivity.") == 0) {
                m_additivity[key.substr(11)] = prop.second == "true";
            }
        }
        for (const auto& cat : m_categories)
            for (const auto& name : cat.appenders)
                if (m_appenders.count(name) == 0)
                    return false;
        return true;
    }

    bool addCategory(const std::string& name, const std::string& value) {
        CategoryConfig cat;
        cat.name = name;
        auto items = splitList(value);
        if (!items.empty() && !items[0].empty() && !parsePriority(items[0], &cat.priority))
            return false;
        for (std::size_t i = 1; i < items.size(); ++i)
            if (!items[i].empty())
                cat.appenders.push_back(items[i]);
        m_categories.push_back(cat);
        return true;
    }

    std::string prop(const std::string& key, const std::string& fallback) const {
        auto it = m_props.find(key);
        return it == m_props.end() ? fallback : it->second;
    }

    bool makeLayout(const std::string& appender, Layout* layout) const {
        std::string base = "appender." + appender + ".layout";
        std::string type = prop(base, "BasicLayout");
        if (type == "PatternLayout")
            layout->pattern = prop(base + ".ConversionPattern", "%m%n");
        else if (type == "SimpleLayout")
            layout->pattern = "%p - %m%n";
        else if (type != "BasicLayout")
            return false;
        std::string probe;
        return formatPattern(layout->pattern, Event(), &probe);
    }

    bool makeAppender(const std::string& name, const std::string& type) {
        Layout layout;
        if (!makeLayout(name, &layout))
            return false;
        std::string base = "appender." + name + ".";
        if (type == "ConsoleAppender") {
            m_appenders[name] = std::make_shared<ConsoleAppender>(layout);
            return true;
        }
        if (type != "FileAppender" && type != "RollingFileAppender")
            return false;
        std::string path = prop(base + "fileName", "");
        if (path.empty())
            return false;
        bool append = prop(base + "append", "true") != "false";
        std::int64_t maxSize = 0;
        int backups = 0;
        if (type == "RollingFileAppender") {
            try {
                maxSize = std::stoll(prop(base + "maxFileSize", "10485760"));
                backups = std::stoi(prop(base + "maxBackupIndex", "1"));
            } catch (const std::exception&) {
                return false;
            }
        }
        auto file = std::make_shared<FileAppender>(layout, path, append, maxSize, backups);
        if (!file->ok())
            return false;
        m_appenders[name] = file;
        return true;
    }

    std::map<std::string, std::string> m_props;
    std::map<std::string, std::shared_ptr<Appender>> m_appenders;
    std::vector<CategoryConfig> m_categories;
    std::map<std::string, bool> m_additivity;
};

std::string currentThread() {
    std::ostringstream id;
    id << std::this_thread::get_id();
    return id.str();
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool formatPattern(const std::string& pattern, const Event& event, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            out->push_back(pattern[i]);
            continue;
        }
        // %[-][min][.max]X[{arg}]
        ++i;
        bool left = i < pattern.size() && pattern[i] == '-';
        if (left)
            ++i;
        std::size_t minWidth = 0;
        std::size_t maxWidth = std::string::npos;
        while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])))
            minWidth = minWidth * 10 + static_cast<std::size_t>(pattern[i++] - '0');
        if (i < pattern.size() && pattern[i] == '.') {
            maxWidth = 0;
            ++i;
            while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])))
                maxWidth = maxWidth * 10 + static_cast<std::size_t>(pattern[i++] - '0');
        }
        if (i >= pattern.size())
            return false;
        char conversion = pattern[i];
        std::string arg;
        if (i + 1 < pattern.size() && pattern[i + 1] == '{') {
            auto close = pattern.find('}', i + 2);
            if (close == std::string::npos)
                return false;
            arg = pattern.substr(i + 2, close - i - 2);
            i = close;
        }
        std::string field;
        switch (conversion) {
        case 'm': field = event.message; break;
        case 'n': field = "\n"; break;
        case 'p': field = priorityName(event.priority); break;
        case 'c': field = event.category; break;
        case 't': field = event.thread; break;
        case 'd': field = formatTime(event.timeMs, dateFormat(arg)); break;
        case 'r': field = std::to_string(event.timeMs - kStartMs); break;
        case 'R': field = std::to_string(event.timeMs / 1000); break;
        case 'x': break;  // nested diagnostic context: never set by the program
        case '%': field = "%"; break;
        default: return false;
        }
        if (field.size() > maxWidth)
            field.resize(maxWidth);
        if (field.size() < minWidth)
            field.insert(left ? field.end() : field.begin(), minWidth - field.size(), ' ');
        *out += field;
    }
    return true;
}

void addAppender(const std::string& category, std::shared_ptr<Appender> appender) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().categories[category].appenders.push_back(std::move(appender));
}

void removeAppender(const std::string& category, const Appender* appender) {
    std::lock_guard<std::mutex> guard(state().lock);
    auto& list = state().categories[category].appenders;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [appender](const std::shared_ptr<Appender>& a) {
                                  return a.get() == appender;
                              }),
               list.end());
}

void setPriority(const std::string& category, int priority) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().categories[category].priority = priority;
}

}  // namespace minilog

namespace TARNlog4cpp {

class Category {
public:
    explicit Category(std::string name) : m_name(std::move(name)) {}
    const std::string& name() const { return m_name; }

private:
    std::string m_name;
};

bool CTarnLog::LoadConfig(const char* fileName) {
    if (fileName == nullptr)
        return false;
    minilog::Configuration config;
    if (!config.load(fileName))
        return false;
    std::lock_guard<std::mutex> guard(minilog::state().lock);
    config.apply(minilog::state());
    return true;
}

void CTarnLog::LoadDefault() {
    auto console = std::make_shared<minilog::DefaultConsoleAppender>();

    // Replaces only what an earlier LoadDefault installed: appenders that a
    // host program attached itself stay where they are.
    minilog::State& s = minilog::state();
    std::lock_guard<std::mutex> guard(s.lock);
    minilog::CategoryData& root = s.categories[""];
    auto& list = root.appenders;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&s](const std::shared_ptr<minilog::Appender>& a) {
                                  return a.get() == s.defaultConsole;
                              }),
               list.end());
    root.priority = minilog::PRIORITY_DEBUG;
    list.push_back(console);
    s.defaultConsole = console.get();

    minilog::CategoryData& own = s.categories[kCategoryName];
    own.additive = true;
    own.priority = minilog::PRIORITY_NOTSET;
}

Category* CTarnLog::Logger_camclient() {
    static Category category(kCategoryName);
    return &category;
}

void CTarnLog::LogV(Category* category, int level, const char* format, va_list args) {
    if (category == nullptr || format == nullptr || sendToSink(format, args))
        return;
    minilog::State& s = minilog::state();
    std::lock_guard<std::mutex> guard(s.lock);

    // Enabled when the level is at or above the first priority set on the
    // way up to root (lower numbers are more severe).
    int chained = minilog::PRIORITY_NOTSET;
    for (std::string name = category->name();; name = minilog::parentOf(name)) {
        auto it = s.categories.find(name);
        if (it != s.categories.end() && it->second.priority != minilog::PRIORITY_NOTSET) {
            chained = it->second.priority;
            break;
        }
        if (name.empty())
            break;
    }
    if (level > chained)
        return;

    minilog::Event event;
    event.category = category->name();
    event.priority = level;
    event.thread = minilog::currentThread();
    event.timeMs = minilog::nowMs();
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed > 0) {
        event.message.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(&event.message[0], event.message.size() + 1, format, args);
    }

    for (std::string name = category->name();; name = minilog::parentOf(name)) {
        auto it = s.categories.find(name);
        if (it != s.categories.end()) {
            for (const auto& appender : it->second.appenders)
                appender->append(event);
            if (!it->second.additive)
                break;
        }
        if (name.empty())
            break;
    }
}

}  // namespace TARNlog4cpp
