// What a run leaves behind for an audit: the time-stamped log lines, the
// report file, the rows of the host's history, and `camupgrade history`
// that reads them back.
#pragma once

#include "Args.h"
#include "CamerasFile.h"
#include "Output.h"

#include "camupgrade_sdk.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace cli {

// "2026-12-06T05:01:02.345Z 127.0.0.2 text"; without the address when the
// line belongs to no camera.
std::string stampedLine(const std::string& cameraIp, const std::string& text);

class Records {
public:
    using Warn = std::function<void(const std::string&)>;
    // `signal` tells which signal cancelled the run (0: none), for exit codes.
    Records(const Options& o, const std::vector<Target>& targets,
            std::function<int()> signal);

    // Opens the history (unless --no-history). A history the user named
    // that cannot be used ends the command: its exit code. Otherwise -1; a
    // default history that cannot be used, or a damaged one started anew,
    // is one line to `warn`.
    int openHistory(const Warn& warn);
    // Records the camera's attempt, once; a failure is one line to `warn`.
    void record(const camupgrade::Result& result, const Warn& warn);

    // The fields the report adds to each camera's result.
    std::vector<Field> extraFields(const camupgrade::Result& result) const;
    // Writes --report (JSON, or CSV for a name ending in .csv).
    bool writeReport(const std::vector<camupgrade::Result>& results, std::string* error) const;

private:
    struct Package {
        std::string sha256;
        std::int64_t size = -1;
    };
    camupgrade::RecordInfo recordInfo(const camupgrade::Result& result) const;
    const Package* packageOf(const std::string& cameraIp) const;
    bool canary(const std::string& cameraIp) const;

    const Options& m_o;
    std::vector<Target> m_targets;
    std::map<std::string, Package> m_packages;
    std::function<int()> m_signal;
    std::string m_hostName;
    camupgrade::History m_history;
    bool m_historyOpen = false;
    bool m_warnedWrite = false;
    std::mutex m_lock;
    std::set<std::string> m_recorded;
};

// `camupgrade history`.
int showHistory(const Options& o);

}  // namespace cli
