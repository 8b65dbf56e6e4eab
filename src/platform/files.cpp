#include "platform/files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace fs = std::filesystem;

bool endsWithSeparator(const std::string& path) {
#ifdef _WIN32
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
#else
    // A backslash is an ordinary character of a POSIX name: a folder that
    // ends in one still needs its "/".
    return !path.empty() && path.back() == '/';
#endif
}

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
#ifdef _WIN32
        if (!CreateDirectoryA(prefix.string().c_str(), nullptr)
            && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
#else
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
#endif
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

#ifdef _WIN32

bool tempPath(std::string& out) {
    char buf[1024];
    DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n >= sizeof buf)
        return false;
    out.assign(buf, n);
    return true;
}

bool pathExists(const std::string& path) { return PathFileExistsA(path.c_str()) != FALSE; }

bool readDirectory(const std::string& dir, std::vector<DirEntry>& out) {
    out.clear();
    WIN32_FIND_DATAA data;
    std::string pattern = dir + (endsWithSeparator(dir) ? "*" : "\\*");
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        bool dirAttr = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        out.push_back({name, dirAttr && !reparse});
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return true;
}

bool deleteFile(const std::string& path) {
    // A link to a folder is itself a (reparse-point) folder on Windows.
    if (DeleteFileA(path.c_str()))
        return true;
    return RemoveDirectoryA(path.c_str()) != FALSE;
}

bool removeEmptyDir(const std::string& path) { return RemoveDirectoryA(path.c_str()) != FALSE; }

namespace {

// The SID that the process gives as owner to what it creates, and the user's
// own SID. The buffers keep the SIDs alive.
std::vector<BYTE> tokenInfo(TOKEN_INFORMATION_CLASS cls) {
    std::vector<BYTE> buf;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return buf;
    DWORD size = 0;
    GetTokenInformation(token, cls, nullptr, 0, &size);
    buf.resize(size);
    if (size == 0 || !GetTokenInformation(token, cls, buf.data(), size, &size))
        buf.clear();
    CloseHandle(token);
    return buf;
}

// Ours: owned by our user, or by the owner our token gives to what we create
// (the Administrators group for an elevated process).
bool ownedByUs(const std::string& path) {
    std::vector<BYTE> ownerInfo = tokenInfo(TokenOwner);
    std::vector<BYTE> userInfo = tokenInfo(TokenUser);
    if (ownerInfo.empty() || userInfo.empty())
        return false;
    PSID defaultOwner = reinterpret_cast<TOKEN_OWNER*>(ownerInfo.data())->Owner;
    PSID user = reinterpret_cast<TOKEN_USER*>(userInfo.data())->User.Sid;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    bool same = EqualSid(owner, defaultOwner) != FALSE || EqualSid(owner, user) != FALSE;
    LocalFree(sd);
    return same;
}

// A protected DACL that grants the current user full access and nobody else
// anything, inherited by everything created inside.
bool createOwnerOnlyDir(const std::string& path) {
    std::vector<BYTE> info = tokenInfo(TokenUser);
    if (info.empty())
        return false;
    char* sidText = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &sidText))
        return false;
    std::string sddl = std::string("D:P(A;OICI;FA;;;") + sidText + ")";
    LocalFree(sidText);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
        return false;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    BOOL ok = CreateDirectoryA(path.c_str(), &sa);
    LocalFree(sd);
    return ok != FALSE;
}

}  // namespace

DirCheck ensurePrivateDir(const std::string& path) {
    if (createOwnerOnlyDir(path))
        return DirCheck::Ok;
    DWORD attrs = GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return DirCheck::Failed;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT)
        return DirCheck::IsLink;
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
        return DirCheck::NotDir;
    return ownedByUs(path) ? DirCheck::Ok : DirCheck::NotOwned;
}

#else

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

#endif

}  // namespace platform
