#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

bool endsWithSeparator(const std::string& path) {
    // A backslash is an ordinary character of a POSIX name: a folder that
    // ends in one still needs its "/".
    return !path.empty() && path.back() == '/';
}

namespace detail {
bool makeDirLevel(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}
}  // namespace detail

bool tempPath(std::string& out) {
    std::error_code ec;
    fs::path p = fs::temp_directory_path(ec);
    if (ec || p.empty())
        return false;
    out = p.string();
    return true;
}

bool pathExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool readDirectory(const std::string& dir, std::vector<DirEntry>& out) {
    out.clear();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeEc;
        bool isDir = it->symlink_status(typeEc).type() == fs::file_type::directory;
        out.push_back({it->path().filename().string(), isDir});
    }
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return true;
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool removeEmptyDir(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

DirCheck ensurePrivateDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0)
        return DirCheck::Ok;
    if (errno != EEXIST)
        return DirCheck::Failed;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return DirCheck::Failed;
    if (S_ISLNK(st.st_mode))
        return DirCheck::IsLink;
    if (!S_ISDIR(st.st_mode))
        return DirCheck::NotDir;
    // Examine and narrow the folder through one descriptor, so that what we
    // check is what we change.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? DirCheck::IsLink : DirCheck::Failed;
    DirCheck result = DirCheck::Ok;
    if (::fstat(fd, &st) != 0)
        result = DirCheck::Failed;
    else if (st.st_uid != ::geteuid())
        result = DirCheck::NotOwned;
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        result = DirCheck::Failed;
    ::close(fd);
    return result;
}

}  // namespace platform
