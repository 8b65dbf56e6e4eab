// Which folder a firmware package serves to a camera of a given hardware
// kind: the session's package preparation and the engine's pre-flight check
// make the same choice through this one function.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
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

// The rule for where a package is unpacked: a private folder "Quarnel.tmp"
// (a real folder of ours nobody else can enter: someone could otherwise swap a
// firmware file before it is served) under root, or under the system's
// temporary folder when root is empty, or else beside the package; in it a
// folder named after `owner` and the process's next folder number, emptied of
// what a killed process left there. Empty when there is nowhere safe: the
// package's own folder is served then.
std::string unpackFolder(const std::string& root, const std::string& packagePath,
                         const void* owner);

// Removes the folder and everything in it; links go, never their targets.
void removeTree(const std::string& dir);

// A package unpacked for one camera of a known kind, and the plan for it.
// The folder goes with the object unless a session took it over.
struct Prepared {
    std::string unpackDir;  // empty when nothing was unpacked
    Plan plan;
    int kind = 0;

    Prepared() = default;
    ~Prepared() { removeTree(unpackDir); }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
};
// `folders` as for plan().
std::unique_ptr<Prepared> prepare(const std::string& packagePath, const std::string& root, int kind,
                                  const void* owner, bool folders = false);

// prepare() in two steps, so that a package nobody can use is told before
// any camera is asked for its kind. The first unpacks the package and
// decides a single image; its plan has a problem when no camera could be
// served. The second chooses the folder for a camera of `kind`.
std::unique_ptr<Prepared> prepareTop(const std::string& packagePath, const std::string& root,
                                     const void* owner, bool folders = false);
void prepareKind(Prepared& prepared, int kind, bool folders = false);

}  // namespace package

// Numbers the unpack folders of the whole process; the first is 1.
extern std::atomic<std::int32_t> g_tmpDirCount;
