// Whether a name stays inside a folder: the one rule for the names a camera
// asks the file service for and for the entries of a firmware package.
// Either comes from outside, so both separators count on every system: an
// archive made on Windows says "a\b", and a camera may ask for "..\x".
#pragma once

#include <filesystem>
#include <string>

namespace platform {

enum class NamePlace {
    Outside,  // empty, absolute, with a drive letter or a ".." component
    Folder,   // the folder itself: nothing but "." and empty components
    Below,    // something inside the folder
};

// Where the name points when it is appended to a folder, by its text alone.
NamePlace placeOf(const char* name);

// What the name reaches from the folder once every link on the way has been
// followed, when that exists and lies below the folder; an empty path
// otherwise.
std::filesystem::path resolveBelow(const std::string& folder, const char* name);

}  // namespace platform
