#include "platform/files.h"

#include <filesystem>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

std::string withTrailingSlash(const std::string& dir) {
    return endsWithSeparator(dir) ? dir : dir + "/";
}

bool makePrivateDirs(const std::string& path) {
    if (path.empty())
        return false;
    // One level at a time, so that every folder we create gets the narrow
    // permissions (create_directories would use the process defaults).
    fs::path prefix;
    for (const fs::path& part : fs::path(path)) {
        prefix /= part;
        if (part.empty() || (part.has_root_path() && part.relative_path().empty()))
            continue;  // the root itself
        if (!detail::makeDirLevel(prefix.string()))
            return false;
    }
    std::error_code ec;
    return fs::is_directory(path, ec);
}

const char* dirCheckText(DirCheck check) {
    switch (check) {
    case DirCheck::Ok: return "usable";
    case DirCheck::IsLink: return "it is a symbolic link";
    case DirCheck::NotOwned: return "it belongs to another user";
    case DirCheck::NotDir: return "it is not a folder";
    case DirCheck::Failed: break;
    }
    return "it can be neither created nor examined";
}

}  // namespace platform
