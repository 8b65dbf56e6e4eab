#include "ProgressView.h"

#include "Output.h"
#include "Records.h"

#include "platform/platform.h"

#include <algorithm>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSilenceShown = std::chrono::seconds(10);
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr auto kByteLinesEvery = std::chrono::seconds(1);

std::string amount(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

bool cameraTalks(cu_phase p) {
    return p == CU_PHASE_WAITING || p == CU_PHASE_TRANSFER || p == CU_PHASE_FLASHING ||
           p == CU_PHASE_BACK_ONLINE;
}

// Cuts a line to `width` columns (UTF-8 characters), so it never wraps.
std::string fitted(const std::string& line, unsigned width) {
    unsigned columns = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80)
            continue;
        if (++columns > width)
            return line.substr(0, i);
    }
    return line;
}

bool sameNews(const camupgrade::Status& a, const camupgrade::Status& b) {
    return a.phase == b.phase && a.state == b.state && a.percent == b.percent && a.file == b.file &&
           a.linkUp == b.linkUp;
}

long silentSteps(const camupgrade::Status& s, Clock::time_point lastSign, Clock::time_point now) {
    if (s.phase == CU_PHASE_QUEUED || s.phase == CU_PHASE_DONE || lastSign == Clock::time_point())
        return 0;
    return static_cast<long>((now - lastSign) / kSilenceShown);
}

}  // namespace

std::string statusWords(const camupgrade::Status& s, Clock::time_point lastSign,
                        Clock::time_point now, bool exactSilence) {
    std::string words = s.phaseName;
    if (s.phase == CU_PHASE_TRANSFER && !s.file.empty()) {
        words += " " + s.file + " " + amount(static_cast<double>(s.fileBytes));
        if (s.fileSize > 0)
            words += " of " + amount(static_cast<double>(s.fileSize));
        if (s.bytesPerSecond > 0 && (s.fileSize == 0 || s.fileBytes < s.fileSize))
            words += ", " + amount(s.bytesPerSecond) + "/s";  // a finished file has no rate
    } else if (s.phase == CU_PHASE_RESTARTING) {
        words = "restarting \u2014 do not power off the camera";
    } else if (s.phase == CU_PHASE_LOST) {
        words = "lost during the transfer \u2014 the camera does not answer";
    }
    if (cameraTalks(s.phase) && s.state >= 0)
        words += ", camera " + std::to_string(s.percent) + "%";
    if (cameraTalks(s.phase) && !s.linkUp)
        words += ", camera not answering";
    if (long steps = silentSteps(s, lastSign, now)) {
        auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - lastSign).count();
        words += ", no sign of life for " +
                 std::to_string(exactSilence ? silent : steps * 10) + " s";
    }
    return words;
}

const char* cancelWords(cu_phase phase) {
    switch (phase) {
    case CU_PHASE_QUEUED:
    case CU_PHASE_CHECKING:
        return "not commanded: nothing changes on the camera";
    case CU_PHASE_CONNECTING:
    case CU_PHASE_PREPARING:
        return "not commanded yet: control is given back, the firmware stays as it was";
    case CU_PHASE_WAITING:
        return "commanded, nothing fetched yet: serving stops, the camera keeps its firmware";
    case CU_PHASE_TRANSFER:
    case CU_PHASE_LOST:
        return "transfer stopped: the camera keeps its old firmware unless it already had "
               "every file and is flashing; do not power it off until camupgrade info shows "
               "it idle";
    case CU_PHASE_FLASHING:
        return "may be writing its flash: do not power it off until camupgrade info shows it "
               "idle (it says \"busy \u2014 do not power off\" while it works)";
    case CU_PHASE_RESTARTING:
    case CU_PHASE_BACK_ONLINE:
        return "restarting with the new firmware: do not power it off until camupgrade info "
               "answers and shows it idle";
    default:
        return "finished";
    }
}

ProgressView::ProgressView(const std::vector<Target>& targets, Settings settings)
    : m_settings(std::move(settings)) {
    for (const auto& t : targets) {
        m_nameWidth = std::max(m_nameWidth, std::min<std::size_t>(textColumns(t.name), 14));
        Row row;
        row.status.cameraIp = t.cameraIp;
        row.status.name = t.name;
        row.status.phaseName = "queued";
        m_rows.push_back(row);
    }
}

ProgressView::~ProgressView() { stop(); }

ProgressView::Row* ProgressView::rowOf(const std::string& cameraIp) {
    for (auto& row : m_rows)
        if (row.status.cameraIp == cameraIp)
            return &row;
    return nullptr;
}

void ProgressView::onStatus(const camupgrade::Status& status) {
    std::lock_guard<std::mutex> guard(m_lock);
    Row* row = rowOf(status.cameraIp);
    if (row == nullptr)
        return;
    bool news = !sameNews(row->status, status);
    std::string name = row->status.name;
    row->status = status;
    row->lastSign = status.silent ? Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                                       *status.silent)
                                  : Clock::time_point();
    if (status.phase != CU_PHASE_RELEASING && status.phase != CU_PHASE_DONE)
        row->work = status.phase;
    if (row->status.name.empty())
        row->status.name = name;
    if (news)
        row->silentShown = 0;
    if (m_stopped || (status.phase == CU_PHASE_DONE && !m_settings.terminal))
        return;  // the result's line says it
    if (m_settings.terminal)
        drawLocked(false);
    else
        printChangeLocked(*row, news);
}

void ProgressView::onCameraLogLine(const std::string& cameraIp, const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.find_first_not_of(" \t") == std::string::npos)
        return;
    // With one camera every line is its own.
    text = stampedLine(cameraIp.empty() && m_rows.size() == 1 ? m_rows[0].status.cameraIp : cameraIp,
                       text);
    if (m_settings.logSink)
        m_settings.logSink(text);
    if (m_settings.verbose)
        note(text);
}

void ProgressView::onResult(const camupgrade::Result& result) {
    std::lock_guard<std::mutex> guard(m_lock);
    Row* row = rowOf(result.cameraIp);
    if (row == nullptr)
        return;
    row->status.phase = CU_PHASE_DONE;
    row->verdict = result.verdictName;
    if (result.upgraded() && result.before && result.after)
        row->verdict += ", firmware " + result.before->version + " \u2192 " +
                        result.after->version + (result.downgraded ? " (DOWNGRADED)" : "");
    else if (!result.upgraded() && !result.message.empty())
        row->verdict += ": " + result.message;
    if (m_stopped)
        return;
    if (m_settings.terminal)
        drawLocked(true);
    else
        printChangeLocked(*row, true);
}

std::string ProgressView::rowText(const Row& row, Clock::time_point now) const {
    std::string words =
        row.verdict.empty() ? statusWords(row.status, row.lastSign, now, m_settings.terminal)
                            : row.verdict;
    if (!m_settings.terminal)
        return row.status.cameraIp + ": " + words;
    std::string label = row.status.cameraIp;
    label.resize(16, ' ');
    if (m_nameWidth > 0) {
        std::string name = fitted(row.status.name, m_nameWidth);
        label += name + std::string(m_nameWidth + 1 - textColumns(name), ' ');
    }
    return label + words;
}

void ProgressView::clearBlockLocked() {
    if (m_drawnLines > 0)
        std::fprintf(m_settings.out, "\033[%zuF\033[J", m_drawnLines);
    m_drawnLines = 0;
}

void ProgressView::drawLocked(bool force, bool whole) {
    m_dirty = true;
    auto now = Clock::now();
    if (m_settings.out == nullptr || (!force && now - m_lastDraw < kRedrawEvery))
        return;
    unsigned width = platform::terminalColumns(m_settings.out);
    std::string block;
    if (m_drawnLines > 0)
        block += "\033[" + std::to_string(m_drawnLines) + "F";
    for (const auto& row : m_rows)
        block += "\033[2K" +
                 (whole ? rowText(row, now) : fitted(rowText(row, now), width > 1 ? width - 1 : width)) +
                 "\n";
    std::fputs(block.c_str(), m_settings.out);
    std::fflush(m_settings.out);
    m_drawnLines = m_rows.size();
    m_lastDraw = now;
    m_dirty = false;
}

void ProgressView::printChangeLocked(Row& row, bool force) {
    auto now = Clock::now();
    if (m_settings.out == nullptr)
        return;
    std::string line = rowText(row, now);
    if (line == row.lastLine || (!force && now - row.lastPrinted < kByteLinesEvery))
        return;
    std::fprintf(m_settings.out, "%s\n", line.c_str());
    std::fflush(m_settings.out);
    row.lastLine = line;
    row.lastPrinted = now;
}

void ProgressView::note(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_settings.out == nullptr)
        return;
    if (m_settings.terminal)
        clearBlockLocked();
    std::fprintf(m_settings.out, "%s\n", line.c_str());
    if (m_settings.terminal && !m_rows.empty() && !m_stopped)
        drawLocked(true);
    std::fflush(m_settings.out);
}

std::string ProgressView::cancelReport() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string out;
    for (const auto& row : m_rows) {
        bool cancelled = row.verdict.empty() || row.verdict.rfind("cancelled", 0) == 0;
        out += row.status.cameraIp + ": " +
               (cancelled ? cancelWords(row.work) : row.verdict.c_str()) + "\n";
    }
    return out;
}

void ProgressView::tick() {
    std::lock_guard<std::mutex> guard(m_lock);
    auto now = Clock::now();
    bool silenceChanged = false;
    for (auto& row : m_rows) {
        long steps = row.verdict.empty() ? silentSteps(row.status, row.lastSign, now) : 0;
        if (steps == row.silentShown)
            continue;
        row.silentShown = steps;
        silenceChanged = true;
        if (!m_settings.terminal && steps > 0)
            printChangeLocked(row, true);
    }
    if (m_settings.terminal && (m_dirty || silenceChanged || now - m_lastDraw >= std::chrono::seconds(1)))
        drawLocked(true);
}

void ProgressView::start() {
    if (m_settings.out == nullptr || m_clock.joinable())
        return;
    m_stopClock = false;
    m_clock = std::thread([this] {
        std::unique_lock<std::mutex> guard(m_clockLock);
        while (!m_clockWake.wait_for(guard, std::chrono::milliseconds(250),
                                     [this] { return m_stopClock; })) {
            guard.unlock();
            tick();
            guard.lock();
        }
    });
}

void ProgressView::stop() {
    {
        std::lock_guard<std::mutex> guard(m_clockLock);
        m_stopClock = true;
    }
    m_clockWake.notify_all();
    if (m_clock.joinable())
        m_clock.join();
    std::lock_guard<std::mutex> guard(m_lock);
    // The last drawing is what stays on the screen: whole lines, wrapped if need be.
    if (m_settings.terminal && m_settings.out != nullptr && !m_rows.empty() && !m_stopped)
        drawLocked(true, true);
    m_stopped = true;  // the block stays as it is; what follows goes below it
    m_drawnLines = 0;
}

}  // namespace cli
