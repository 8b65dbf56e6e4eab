#include "Records.h"

#include "ExitCodes.h"

#include "platform/sha256.h"
#include "platform/utctime.h"
#include "platform/whoami.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#ifndef CAMUPGRADE_TOOL_VERSION
#define CAMUPGRADE_TOOL_VERSION "unknown"
#endif

namespace cli {

namespace {

std::string iso(std::chrono::system_clock::time_point t) {
    return t == std::chrono::system_clock::time_point() ? std::string() : platform::isoUtc(t);
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<Field> historyFields(const camupgrade::HistoryRow& r) {
    auto text = [](const char* key, const std::string& s) {
        return s.empty() ? Field{key, std::string(), Field::Kind::Null} : textField(key, s);
    };
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    return {text("started", r.started),
            text("ended", r.ended),
            text("host", r.hostName),
            text("host_ip", r.hostIp),
            text("user", r.user),
            text("tool_version", r.toolVersion),
            text("library_version", r.libraryVersion),
            text("camera", r.camera),
            text("mac", r.mac),
            text("serial", r.serial),
            text("model", r.model),
            numberField("kind", r.kind, r.kind >= 0),
            text("version_before", r.versionBefore),
            text("version_after", r.versionAfter),
            text("expected_version", r.expectedVersion),
            text("package", r.package),
            numberField("package_size", r.packageSize, r.packageSize >= 0),
            text("package_sha256", r.packageSha256),
            text("layout", r.layout),
            text("verdict", r.verdict),
            numberField("state", r.state, r.state >= 0),
            numberField("exit_code", r.exitCode),
            text("message", r.message),
            {"seconds", seconds, Field::Kind::Number},
            numberField("bytes_served", r.bytesServed, r.bytesServed >= 0)};
}

std::string historyLine(const camupgrade::HistoryRow& r) {
    std::string versions = (r.versionBefore.empty() ? "-" : r.versionBefore) + " \u2192 " +
                           (r.versionAfter.empty() ? "-" : r.versionAfter);
    return r.started + "  " + r.camera + "  " + (r.serial.empty() ? "-" : r.serial) + "  " +
           versions + "  " + r.verdict + " (exit " + std::to_string(r.exitCode) + ")  " +
           r.message + "\n";
}

}  // namespace

std::string stampedLine(const std::string& cameraIp, const std::string& text) {
    std::string stamp = platform::isoUtc(std::chrono::system_clock::now(), true);
    return cameraIp.empty() ? stamp + " " + text : stamp + " " + cameraIp + " " + text;
}

Records::Records(const Options& o, const std::vector<Target>& targets,
                 std::function<int()> signal)
    : m_o(o), m_targets(targets), m_signal(std::move(signal)), m_hostName(platform::hostName()) {
    for (const auto& t : targets) {
        if (m_packages.count(t.package) > 0)
            continue;
        Package p;
        std::uint64_t size = 0;
        p.sha256 = platform::sha256File(t.package, &size);
        if (!p.sha256.empty())
            p.size = static_cast<std::int64_t>(size);
        m_packages[t.package] = p;
    }
}

int Records::openHistory(const Warn& warn) {
    if (m_o.noHistory)
        return -1;
    bool named = !m_o.historyPath.empty();
    m_history = camupgrade::History(named ? m_o.historyPath : camupgrade::History::defaultPath());
    std::string error;
    try {
        std::string notice = m_history.open();
        if (!notice.empty())
            warn("warning: " + notice);
        m_historyOpen = true;
        return -1;
    } catch (const camupgrade::Error& e) {
        error = e.what();
    }
    if (named) {
        std::cerr << "camupgrade: " << error << " (give another --history, or --no-history)\n";
        return EXIT_USAGE;
    }
    warn("warning: " + error + "; this run is not recorded");
    return -1;
}

const Records::Package* Records::packageOf(const std::string& cameraIp) const {
    for (const auto& t : m_targets)
        if (t.cameraIp == cameraIp) {
            auto p = m_packages.find(t.package);
            return p != m_packages.end() ? &p->second : nullptr;
        }
    return nullptr;
}

bool Records::canary(const std::string& cameraIp) const {
    for (std::size_t i = 0; i < m_targets.size() && i < m_o.canary; ++i)
        if (m_targets[i].cameraIp == cameraIp)
            return true;
    return false;
}

camupgrade::RecordInfo Records::recordInfo(const camupgrade::Result& r) const {
    camupgrade::RecordInfo info;
    info.exitCode = exitCodeOf(r, m_signal ? m_signal() : 0);
    info.toolVersion = CAMUPGRADE_TOOL_VERSION;
    info.expectedVersion = m_o.expectVersion;
    info.packageSha256 = std::string();
    if (const Package* p = packageOf(r.cameraIp)) {
        info.packageSha256 = p->sha256;
        info.packageSize = p->size;
    }
    return info;
}

void Records::record(const camupgrade::Result& result, const Warn& warn) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_historyOpen || !m_recorded.insert(result.cameraIp).second)
        return;
    try {
        std::string notice = m_history.record(result, recordInfo(result));
        if (!notice.empty())
            warn("warning: " + notice);
    } catch (const camupgrade::Error& e) {
        if (!m_warnedWrite) {
            m_warnedWrite = true;
            warn("warning: " + std::string(e.what()) + "; the upgrade goes on without its record");
        }
    }
}

std::vector<Field> Records::extraFields(const camupgrade::Result& r) const {
    camupgrade::RecordInfo info = recordInfo(r);
    auto text = [](const char* key, const std::string& s) {
        return s.empty() ? Field{key, std::string(), Field::Kind::Null} : textField(key, s);
    };
    return {text("package", r.package),
            text("package_sha256", *info.packageSha256),
            text("expected_version", info.expectedVersion),
            boolField("canary", canary(r.cameraIp)),
            text("started", iso(r.started)),
            text("ended", iso(r.ended)),
            text("host", m_hostName),
            text("host_ip", r.hostIp),
            text("tool_version", info.toolVersion)};
}

bool Records::writeReport(const std::vector<camupgrade::Result>& results,
                          std::string* error) const {
    if (m_o.reportPath.empty())
        return true;
    auto rows = resultRows(results, m_signal ? m_signal() : 0,
                           [this](const camupgrade::Result& r) { return extraFields(r); });
    std::string text = endsWith(m_o.reportPath, ".csv") ? objectsCsv(rows) : objectsJson(rows);
    std::ofstream out(m_o.reportPath, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        *error = "cannot write the report " + m_o.reportPath;
        return false;
    }
    return true;
}

int showHistory(const Options& o) {
    std::string path = o.historyPath.empty() ? camupgrade::History::defaultPath() : o.historyPath;
    std::vector<camupgrade::HistoryRow> rows;
    camupgrade::HistoryFilter filter;
    filter.camera = o.cameras.empty() ? std::string() : o.cameras[0];
    filter.serial = o.serial;
    filter.since = o.since;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        std::cerr << "camupgrade: nothing recorded yet: there is no history at " << path << "\n";
    } else {
        try {
            rows = camupgrade::History(path).query(filter);
        } catch (const camupgrade::Error& e) {
            std::cerr << "camupgrade: " << e.what() << "\n";
            return EXIT_USAGE;
        }
    }
    std::vector<std::vector<Field>> objects;
    for (const auto& r : rows)
        objects.push_back(historyFields(r));
    if (o.json)
        std::cout << objectsJson(objects);
    else if (o.csv)
        std::cout << objectsCsv(objects);
    else
        for (const auto& r : rows)
            std::cout << historyLine(r);
    return EXIT_UPGRADED;
}

}  // namespace cli
