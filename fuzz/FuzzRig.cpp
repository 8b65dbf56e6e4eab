#include "FuzzRig.h"

#include "ManagerGigeProto.h"
#include "support/FakeGvcpCamera.h"
#include "support/NetNs.h"
#include "wire/ByteCodec.h"
#include "upgrade/DevApp.h"
#include "upgrade/UpdgradeManager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace camfuzz {

namespace {

std::string g_root;

std::vector<ServedFile> makeServedFiles() {
    std::vector<ServedFile> files;
    unsigned seed = 1;
    for (std::size_t size : {0, 1, 511, 512, 513, 1024, 1500, 5000})
        files.push_back({"size" + std::to_string(size) + ".bin", camtest::fileBytes(size, seed++)});
    files.push_back({"sub/inner.bin", camtest::fileBytes(700, seed++)});
    files.push_back({"with space.bin", camtest::fileBytes(30, seed++)});
    files.push_back({"gige_ip_core_app_upd.info", camtest::fileBytes(40, seed++)});
    return files;
}

}  // namespace

void finding(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

void isolate() {
    std::string why;
    if (!camtest::isolateNetwork(&why))
        finding("needs a private network namespace (run as root): " + why);
    char pattern[] = "/tmp/camfuzz.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        finding("mkdtemp");
    g_root = pattern;
    // libFuzzer ends the process with exit(): the scratch folder goes then.
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    });
    fs::create_directories(g_root + "/tmp");
    ::setenv("TMPDIR", (g_root + "/tmp").c_str(), 1);
}

const std::string& root() { return g_root; }

const std::vector<ServedFile>& servedFiles() {
    static const std::vector<ServedFile> files = makeServedFiles();
    return files;
}

SessionRig& sessionRig() {
    static SessionRig* rig = [] {
        auto* r = new SessionRig;
        fs::path fw = fs::path(g_root) / "fw";
        for (const ServedFile& f : servedFiles())
            camtest::writeBytes(fw / f.name, f.data);
        std::string secret = OUTSIDE_MARK;
        camtest::writeBytes(fs::path(g_root) / "secret.bin", Bytes(secret.begin(), secret.end()));
        fs::create_symlink("../secret.bin", fw / "up.bin");
        fs::create_symlink(fs::path(g_root) / "secret.bin", fw / "abs.bin");
        fs::create_directory_symlink("..", fw / "parent");
        fs::create_directory_symlink("/", fw / "top");

        // A control port that refuses control: the manager learns the
        // camera's address and connects no further, so no heartbeat runs.
        {
            camtest::FakeGvcpCamera refusing(CAMERA_IP);
            if (!refusing.ok())
                finding("cannot bind the control port");
            refusing.setStatusFor(managerGige::REG_CCP, camtest::FakeGvcpCamera::STATUS_ACCESS_DENIED);
            refusing.setStatusFor(reg::FILE_SERVER_IP, camtest::FakeGvcpCamera::STATUS_ACCESS_DENIED);
            r->manager = new managerGige();
            if (r->manager->connect(CAMERA_IP))
                finding("control was granted");
            r->dispatcher = new updgradeManager();
            r->session = new DevApp(r->manager, HOST_IP, CAMERA_IP);
            // The package does not exist, so its folder is served. The
            // session thread fails at once to command the camera and ends;
            // link supervision waits for a connection that never comes.
            r->dispatcher->addDevice(r->session, (fw / "package.zip").string(), false);
            r->session->join();
        }
        if (r->session->fwDir() != fw.string() + "/")
            finding("unexpected firmware folder " + r->session->fwDir());

        r->camera = new camtest::UdpPeer(CAMERA_IP);
        if (!r->camera->bound())
            finding("cannot bind the camera's transfer socket");
        r->cameraPort = r->camera->port();
        return r;
    }();
    return *rig;
}

void checkBlock(const Bytes& datagram, const Bytes& file) {
    checkNothingFromOutside(datagram);
    if (datagram.size() < 4 || datagram.size() > 4 + 512 || wire::get16(datagram.data()) != 3)
        finding("not a data block of at most 512 bytes");
    std::size_t block = wire::get16(datagram.data() + 2);
    if (block == 0)
        finding("data block 0");
    std::size_t offset = (block - 1) * 512;
    std::size_t expected = offset >= file.size() ? 0 : std::min<std::size_t>(512, file.size() - offset);
    if (datagram.size() - 4 != expected ||
        (expected > 0 &&
         !std::equal(datagram.begin() + 4, datagram.end(), file.begin() + static_cast<long>(offset))))
        finding("block " + std::to_string(block) + " does not hold the file's bytes");
}

void checkNothingFromOutside(const Bytes& datagram) {
    std::string text(datagram.begin(), datagram.end());
    if (text.find(OUTSIDE_MARK) != std::string::npos)
        finding("a file outside the firmware folder was served");
}

}  // namespace camfuzz
