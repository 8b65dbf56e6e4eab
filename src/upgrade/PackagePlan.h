// Which folder a firmware package serves to a camera of a given hardware
// kind: the session's package preparation and the engine's pre-flight check
// make the same choice through this one function.
#pragma once

#include <string>

namespace package {

enum class Layout {
    SingleImage,    // an information file at the top level
    PerKind,        // one inner archive per hardware kind
    PackageFolder,  // neither worked out: the package's own folder is served
};
// "single image", "per kind", "package folder".
const char* layoutName(Layout layout);

struct Plan {
    Layout layout = Layout::PackageFolder;
    std::string dir;       // the folder to serve, without a trailing separator
    std::string problem;   // why the package folder is served; empty otherwise
    std::string infoFile;  // the information file found in dir; empty when none
    bool threeD = false;   // a kind-0 camera took the 3D line's image
    std::string entry;     // per kind: the name of the chosen inner archive
};

// Unpacks the package into unpackDir (and the chosen inner archive into
// unpackDir/upgrade) and decides what a camera of that kind is served.
// With `folders`, a folder (the package itself, or a per-kind entry) is
// copied where an archive would be unpacked, and checked the same way.
Plan plan(const std::string& packagePath, const std::string& unpackDir, int kind,
          bool folders = false);

// The whole archive into dest, which is created with its missing parents.
bool unpack(const std::string& archive, const std::string& dest);

// The first information file in dir, or empty.
std::string infoFileIn(const std::string& dir);

}  // namespace package
