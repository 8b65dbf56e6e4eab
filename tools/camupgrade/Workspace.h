// What one upgrade run holds on this host: the log file it writes as it
// goes, a temporary folder of its own, and the lock that says port 69 is
// taken by an upgrade on this host.
#pragma once

#include "platform/processlock.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace cli {

// The --log file, written line by line as the library logs, so that it is
// complete however the command ends.
class LogFile {
public:
    ~LogFile();
    // Opens (truncates) the file now; false with the reason in *error.
    bool open(const std::string& path, std::string* error);
    void write(const std::string& line);

private:
    std::mutex m_lock;
    std::FILE* m_file = nullptr;
};

// A folder of this run under the system's temporary folder, made the
// temporary folder of the process (TMPDIR) so that whatever the job unpacks
// lands inside it; removed by remove() and by the destructor.
class PrivateTemp {
public:
    ~PrivateTemp();
    bool create(std::string* error);
    // Safe to call from the thread that exits at a second Ctrl-C.
    void remove();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::mutex m_lock;
};

// Held while an upgrade runs; a second camupgrade in the same network
// finds it held. Port 69 belongs to a network namespace, so the lock does.
class PortLock {
public:
    // False when another camupgrade holds it; *holder then names it.
    bool acquire(std::string* holder);
    void release() { m_lock.release(); }

private:
    platform::ProcessLock m_lock;
};

}  // namespace cli
