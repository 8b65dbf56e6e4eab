// Package preparation with arbitrary archives under arbitrary names: the
// session unpacks into a private folder of its own, serves either that
// folder or the package's, writes nothing anywhere else, and leaves nothing
// behind once it is gone.
//
// Input: byte 0 is the length of the package's file name (mod 48), that
// many bytes of name ("/" and NUL become "_"), then the archive's bytes.
#include "FuzzRig.h"

#include "ManagerGigeProto.h"
#include "upgrade/DevApp.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

managerGige* g_manager = nullptr;  // never connected: the camera counts as kind 0

std::size_t entriesIn(const fs::path& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    camfuzz::isolate();
    fs::create_directories(camfuzz::root() + "/pkg");
    g_manager = new managerGige();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::size_t nameLength = std::min<std::size_t>(data[0] % 48u, size - 1);
    std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    if (name.empty() || name == "." || name == "..")
        name = "fw.zip";

    const fs::path pkgDir = fs::path(camfuzz::root()) / "pkg";
    const fs::path tmp = fs::path(camfuzz::root()) / "tmp";
    const std::string package = (pkgDir / name).string();
    {
        std::ofstream out(package, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data + 1 + nameLength),
                  static_cast<std::streamsize>(size - 1 - nameLength));
    }

    auto session = std::make_unique<DevApp>(g_manager, camfuzz::HOST_IP, camfuzz::CAMERA_IP);
    session->init(package);
    const std::string served = session->fwDir();
    const std::string unpacked = session->tmpDir();
    if (served != pkgDir.string() + "/" && (unpacked.empty() || !startsWith(served, unpacked + "/")))
        camfuzz::finding("serves " + served + ", neither the package's folder nor the unpack folder");
    if (entriesIn(pkgDir) != 1)
        camfuzz::finding("something was written beside the package");
    session.reset();

    if (entriesIn(tmp) > 1 || entriesIn(tmp / "Quarnel.tmp") != 0)
        camfuzz::finding("the unpack folder was not removed completely");
    std::error_code ec;
    fs::remove(package, ec);
    return 0;
}
