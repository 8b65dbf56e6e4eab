// File-system services of the upgrade session: the temporary folder, folder
// listings, existence tests, removal, and the private folders that firmware
// is unpacked into.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Separator the system joins path names with.
#ifdef _WIN32
constexpr char PATH_SEP = '\\';
#else
constexpr char PATH_SEP = '/';
#endif

// True when the text ends in a path separator of the system ("/", and "\\" too on Windows).
bool endsWithSeparator(const std::string& path);
// The folder with a "/" after it, unless it already ends in a separator.
std::string withTrailingSlash(const std::string& dir);

// The system's folder for temporary files (GetTempPathA). False when the
// system names none or the one it names is unusable.
bool tempPath(std::string& out);

// PathFileExistsA: a file or folder of that name exists.
bool pathExists(const std::string& path);

struct DirEntry {
    std::string name;
    bool isDir;  // a real folder; a link to a folder counts as a file
};

// The entries of a folder except "." and "..". False when the folder can't be
// read. The first fitting entry of a listing picks a package's inner archive,
// so the order is the one a package's author sees: on Windows the order the
// system enumerates (NTFS compares names case-insensitively, "a.zip" before
// "B.zip"); POSIX file systems enumerate in no useful order (hash or creation
// order), so there the names are sorted byte-wise to keep the choice stable.
bool readDirectory(const std::string& dir, std::vector<DirEntry>& out);

// Removes a file (or a link, never what it points at), read-only or not.
bool deleteFile(const std::string& path);
// Removes an empty folder, read-only or not.
bool removeEmptyDir(const std::string& path);

enum class DirCheck {
    Ok,
    IsLink,    // the name is a symbolic link (or another reparse point)
    NotOwned,  // it belongs to another user
    NotDir,    // it is something other than a folder
    Failed,    // it could neither be created nor examined
};

// Makes sure a folder exists that nobody but the current user can enter:
// creates it readable and writable by the owner only, or accepts an existing
// one after checking that it is a real folder of ours (and narrowing its
// permissions to the owner). Never follows a link at that name.
DirCheck ensurePrivateDir(const std::string& path);

// Why ensurePrivateDir refused, in words for the log.
const char* dirCheckText(DirCheck check);

// Creates the folder and any missing parents; folders created here are
// readable and writable by the owner only. True when the folder exists.
bool makePrivateDirs(const std::string& path);

namespace detail {
// One level of makePrivateDirs, as the system creates folders: owner-only on
// POSIX, the inherited permissions on Windows. True when the folder exists.
bool makeDirLevel(const std::string& path);
}  // namespace detail

}  // namespace platform
