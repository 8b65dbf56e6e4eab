// A lock that one process at a time holds among the processes of one
// network namespace, for a resource that belongs to the namespace (a port).
// It is a file under /run/lock (or the temporary folder) that the holder
// locks and writes its process id into. On Windows no lock is taken: every
// acquire succeeds, and the resource's own check reports a clash there.
#pragma once

#include <string>

namespace platform {

class ProcessLock {
public:
    ~ProcessLock();
    // name: the stem of the lock file. False when another process holds the
    // lock; *holderPid then is the process id it wrote (empty when unknown).
    // True as well when no lock file can be made at all.
    bool acquire(const std::string& name, std::string* holderPid);
    // Removes the file along with the lock, so that a namespace of a test
    // leaves nothing behind.
    void release();

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace platform
