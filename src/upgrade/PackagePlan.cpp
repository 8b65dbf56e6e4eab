#include "upgrade/PackagePlan.h"

#include "compress/DeCompress.h"
#include "platform/files.h"
#include "printfColor.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

std::atomic<std::int32_t> g_tmpDirCount{1};

namespace package {

namespace {

// Whether anything, a dangling link included, holds the name.
bool isLeftover(const std::string& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
}

bool privateBase(const std::string& base, std::string& out) {
    out = base + (platform::endsWithSeparator(base) ? "Quarnel.tmp" : "/Quarnel.tmp");
    platform::DirCheck check = platform::ensurePrivateDir(out);
    if (check == platform::DirCheck::Ok)
        return true;
    LOG_LINE("not using temporary folder %s: %s\n", out.c_str(), platform::dirCheckText(check));
    return false;
}

// A process killed in the middle of a job leaves its folder behind, and a
// later one with the same address and number would unpack over it, stale
// files included: a stale information file would switch the layout. A
// folder of ours goes; anything else at that name is left alone and unused.
bool clearLeftover(const std::string& dir) {
    if (!isLeftover(dir))
        return true;
    platform::DirCheck check = platform::ensurePrivateDir(dir);
    if (check == platform::DirCheck::Ok)
        removeTree(dir);
    if (!isLeftover(dir))
        return true;
    LOG_LINE("not using unpack folder %s: %s\n", dir.c_str(),
             check == platform::DirCheck::Ok ? "it could not be emptied"
                                             : platform::dirCheckText(check));
    return false;
}

// Names of the information file that marks a single-image package.
const char* const kInfoFiles[] = {
    "gige_ip_core_app_upd.info",
    "cameralink_ip_core_app_upd.info",
    "app_upd.info",
};

// The inner archive for the camera's kind: "-D" in the name marks kind 1,
// except that "KX-D" (the 3D line) is taken by kind 0 too. Names are tested
// as full paths, in listing order.
const std::string* chooseEntry(const std::vector<std::string>& entries, int kind, bool* threeD) {
    for (const std::string& entry : entries) {
        bool dMark = entry.find("-D") != std::string::npos;
        if ((kind == 0 && !dMark) || (kind == 1 && dMark))
            return &entry;
        if (kind == 0 && entry.find("KX-D") != std::string::npos) {
            *threeD = true;
            return &entry;
        }
    }
    return nullptr;
}

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> out;
    std::vector<platform::DirEntry> entries;
    if (platform::readDirectory(dir, entries))
        for (const platform::DirEntry& entry : entries)
            out.push_back(dir + platform::PATH_SEP + entry.name);
    return out;
}

// An archive is unpacked; with `folders`, a folder is copied as it stands.
bool take(const std::string& source, const std::string& dest, bool folders) {
    std::error_code ec;
    if (!folders || !std::filesystem::is_directory(source, ec))
        return unpack(source, dest);
    std::filesystem::create_directories(dest, ec);
    if (!ec)
        std::filesystem::copy(source, dest, std::filesystem::copy_options::recursive, ec);
    return !ec;
}

}  // namespace

std::string unpackFolder(const std::string& root, const std::string& packagePath,
                         const void* owner) {
    const std::int32_t number = g_tmpDirCount.fetch_add(1);
    std::string base = root;
    std::string quarnel;
    bool ok = (!base.empty() || platform::tempPath(base)) && privateBase(base, quarnel);
    if (!ok) {
        std::string::size_type cut = packagePath.rfind('/');
        base = cut == std::string::npos ? packagePath : packagePath.substr(0, cut);
        ok = privateBase(base, quarnel);
    }
    if (!ok)
        return std::string();
    char name[64];
    std::snprintf(name, sizeof name, "%c0x%.8" PRIx32 "_%" PRId32, platform::PATH_SEP,
                  static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(owner)), number);
    std::string dir = quarnel + name;
    return clearLeftover(dir) ? dir : std::string();
}

void removeTree(const std::string& dir) {
    if (dir.empty())
        return;
    std::string prefix = platform::endsWithSeparator(dir) ? dir : dir + platform::PATH_SEP;
    std::vector<platform::DirEntry> entries;
    if (platform::readDirectory(dir, entries)) {
        for (const platform::DirEntry& entry : entries) {
            // The listing holds no "." or ".."; a folder whose name starts
            // with a dot comes from the package and goes like any other.
            if (!entry.isDir)
                platform::deleteFile(prefix + entry.name);  // links too, never their targets
            else if (entry.name != "." && entry.name != "..")
                removeTree(prefix + entry.name);
        }
    }
    platform::removeEmptyDir(dir);
}

std::unique_ptr<Prepared> prepare(const std::string& packagePath, const std::string& root, int kind,
                                  const void* owner, bool folders) {
    auto prepared = std::make_unique<Prepared>();
    prepared->kind = kind;
    prepared->unpackDir = unpackFolder(root, packagePath, owner);
    prepared->plan = plan(packagePath, prepared->unpackDir, kind, folders);
    return prepared;
}

const char* layoutName(Layout layout) {
    switch (layout) {
    case Layout::SingleImage:
        return "single image";
    case Layout::PerKind:
        return "per kind";
    case Layout::PackageFolder:
        break;
    }
    return "package folder";
}

bool unpack(const std::string& archive, const std::string& dest) {
    char destText[1024] = {};
    // A longer destination is refused rather than cut to some other folder.
    if (dest.empty() || dest.size() >= sizeof destText)
        return false;
    std::memcpy(destText, dest.data(), dest.size());

    COMPRESS::CDeCompress* unpacker =
        COMPRESS::CDeCompressFactory::getCDeCompress(COMPRESS::DECOMPRESS_AUTO);
    if (unpacker == nullptr)
        return false;
    bool ok = unpacker->open(archive.c_str(), static_cast<std::int32_t>(archive.size())) == 0;
    std::int32_t item = -1;
    ok = ok && unpacker->selectItem(item);
    ok = ok && unpacker->extract(item, {destText, static_cast<std::int32_t>(dest.size())});
    COMPRESS::CDeCompressFactory::deleteCDeCompress(unpacker);
    return ok;
}

namespace {

// Why an unpack failed when the cause is room, not the archive: the folder
// it went into has less space left than the package itself takes.
std::string fullFolder(const std::string& packagePath, const std::string& unpackDir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path folder = fs::path(unpackDir).parent_path();
    std::uintmax_t packageSize = fs::file_size(packagePath, ec);
    if (ec)
        return std::string();
    fs::space_info room = fs::space(folder, ec);
    if (ec || room.available >= packageSize)
        return std::string();
    return "it does not fit into the temporary folder " + folder.string() + ": that file system is full (" +
           std::to_string(room.available / 1024) + " KiB free); free some space there or point TMPDIR "
           "at a folder with room";
}

}  // namespace

std::string infoFileIn(const std::string& dir) {
    std::string prefix = platform::endsWithSeparator(dir) ? dir : dir + platform::PATH_SEP;
    for (const char* name : kInfoFiles)
        if (platform::pathExists(prefix + name))
            return name;
    return std::string();
}

namespace {

// What plan() decides without the camera's kind: the package unpacked, and
// a single image found. A per-kind package is left as the package folder
// without a problem, for chooseKind.
Plan unpackTop(const std::string& packagePath, const std::string& unpackDir, bool folders) {
    Plan p;
    std::string::size_type cut = packagePath.rfind(platform::PATH_SEP);
    p.dir = cut == std::string::npos ? packagePath : packagePath.substr(0, cut);

    if (unpackDir.empty()) {
        p.problem = "no private temporary folder to unpack it into";
        return p;
    }
    if (!take(packagePath, unpackDir, folders)) {
        p.problem = fullFolder(packagePath, unpackDir);
        if (p.problem.empty())
            p.problem = "it cannot be unpacked (not an archive, or damaged)";
        return p;
    }
    p.infoFile = infoFileIn(unpackDir);
    if (!p.infoFile.empty()) {
        p.layout = Layout::SingleImage;
        p.dir = unpackDir;
    }
    return p;
}

bool undecided(const Plan& p) { return p.layout == Layout::PackageFolder && p.problem.empty(); }

void chooseKind(Plan& p, const std::string& unpackDir, int kind, bool folders) {
    const std::vector<std::string> entries = listing(unpackDir);
    const std::string* chosen = chooseEntry(entries, kind, &p.threeD);
    if (chosen == nullptr) {
        p.problem = "it holds neither an information file nor an image for hardware kind " +
                    std::to_string(kind);
        return;
    }
    std::string upgradeDir = unpackDir + "/upgrade";
    if (!take(*chosen, upgradeDir, folders)) {
        p.problem = "its image for hardware kind " + std::to_string(kind) + " cannot be unpacked";
        return;
    }
    p.layout = Layout::PerKind;
    p.dir = upgradeDir;
    p.entry = chosen->substr(unpackDir.size() + 1);
    p.infoFile = infoFileIn(upgradeDir);
}

}  // namespace

Plan plan(const std::string& packagePath, const std::string& unpackDir, int kind,
          bool folders) {
    Plan p = unpackTop(packagePath, unpackDir, folders);
    if (undecided(p))
        chooseKind(p, unpackDir, kind, folders);
    return p;
}

std::unique_ptr<Prepared> prepareTop(const std::string& packagePath, const std::string& root,
                                     const void* owner, bool folders) {
    auto prepared = std::make_unique<Prepared>();
    prepared->unpackDir = unpackFolder(root, packagePath, owner);
    Plan& p = prepared->plan;
    p = unpackTop(packagePath, prepared->unpackDir, folders);
    // Every inner archive is some kind's image: an empty one is nobody's.
    if (undecided(p) && listing(prepared->unpackDir).empty())
        p.problem = "it holds neither an information file nor an image for any hardware kind";
    return prepared;
}

void prepareKind(Prepared& prepared, int kind, bool folders) {
    prepared.kind = kind;
    if (undecided(prepared.plan))
        chooseKind(prepared.plan, prepared.unpackDir, kind, folders);
}

}  // namespace package
