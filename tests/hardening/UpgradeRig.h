// What the fault matrix and the soak share: a scratch folder with a firmware
// package, a simulated camera, and one upgrade job run against it with the
// resources of the process counted around it.
#pragma once

#include "camsim/Camera.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace camhard {

constexpr const char* HOST_IP = "127.0.0.1";
constexpr const char* CAMERA_IP = "127.0.0.2";

// A fresh folder under /tmp with a firmware package in it and a temporary
// folder of its own for the unpack folders (TMPDIR points there). Removed
// by the destructor.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& path() const { return m_path; }
    // The temporary folder the job unpacks into; useTmp moves it elsewhere.
    const std::string& tmp() const { return m_tmp; }
    void useTmp(const std::string& dir);

    // A single-image package with an image of this many bytes; its path.
    std::string package(std::size_t imageBytes);
    // Makes the scratch folder the current one, where the job looks for its
    // logging configuration; with the sample configuration copied in when
    // asked (the job's log then goes to camupgrade.log there).
    void enter(bool withLogConfig);
    // A file that no unpacker reads; its path.
    std::string garbagePackage();
    // Whether anything is left under the temporary folder's unpack area.
    bool unpackFolderLeft() const;

private:
    std::string m_path;
    std::string m_tmp;
};

// Resources of this process, to compare before and after jobs.
struct Resources {
    std::size_t threads = 0;
    std::size_t fds = 0;
    std::size_t rssKiB = 0;
    static Resources now();
};

struct JobResult {
    int returned = -1;
    int state = -1;  // the status published for GetUpdateStatus
    std::chrono::milliseconds took{0};
};

// One upgrade job, as CamUpgrade runs it, with the deadline given.
JobResult runJob(const std::string& package, std::chrono::milliseconds deadline);

}  // namespace camhard
