#include "platform/files.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

namespace platform {

bool endsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

namespace detail {
bool makeDirLevel(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}
}  // namespace detail

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
    return true;
}

namespace {

// The unpacker gives an entry without owner-write the read-only attribute,
// and DeleteFile and RemoveDirectory refuse such names. Links are left alone:
// changing their attributes could reach what they point at.
bool clearReadOnly(const std::string& path) {
    DWORD attrs = GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_READONLY) == 0
        || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    attrs &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesA(path.c_str(), attrs != 0 ? attrs : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

}  // namespace

bool deleteFile(const std::string& path) {
    if (DeleteFileA(path.c_str()) || (clearReadOnly(path) && DeleteFileA(path.c_str())))
        return true;
    // A link to a folder is itself a (reparse-point) folder on Windows.
    return RemoveDirectoryA(path.c_str()) != FALSE;
}

bool removeEmptyDir(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != FALSE
           || (clearReadOnly(path) && RemoveDirectoryA(path.c_str()) != FALSE);
}

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

}  // namespace platform
