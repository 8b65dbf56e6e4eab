// Preparing a firmware package: unpacking, the choice of the served folder,
// the private unpack folders and their removal. The manager is left
// unconnected, so the camera counts as kind 0.
#include "ManagerGigeProto.h"
#include "compress/DeCompress.h"
#include "support/Archives.h"
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "upgrade/DevApp.h"
#include "upgrade/PackagePlan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>

namespace fs = std::filesystem;
using camtest::ArchiveEntry;
using camtest::ArchiveFormat;

namespace {

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        // A temporary folder of the test's own, so Quarnel.tmp can be planted.
        fs::create_directories(m_root / "tmp");
        fs::create_directories(m_root / "fw");
        ::setenv("TMPDIR", (m_root / "tmp").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    std::string quarnel() const { return m_root / "tmp/Quarnel.tmp"; }
    std::string pkg(const std::string& name) const { return m_root / ("fw/" + name); }

    std::unique_ptr<DevApp> prepare(const std::string& packagePath) {
        auto app = std::make_unique<DevApp>(&m_manager, "127.0.3.1", "127.0.3.2");
        app->init(packagePath);
        return app;
    }

    camtest::ScratchDir m_root;
    managerGige m_manager;
    camtest::LogCapture m_log;
};

int modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

const std::string kInner = "fw-image";

}  // namespace

TEST_F(Package, SingleImageIsServedFromTheUnpackFolder) {
    const ArchiveFormat formats[] = {ArchiveFormat::Zip, ArchiveFormat::TarGz,
                                     ArchiveFormat::SevenZip};
    const char* infos[] = {"gige_ip_core_app_upd.info", "cameralink_ip_core_app_upd.info",
                           "app_upd.info"};
    int previous = -1;
    for (int i = 0; i < 3; ++i) {
        // The tar as tar -C dir -czf pkg.tgz . makes it: "./" first, names
        // below "./"; entries for the folder itself are skipped.
        std::string path = pkg("single" + std::to_string(i));
        std::string dot = formats[i] == ArchiveFormat::TarGz ? "./" : "";
        camtest::writeArchive(path, formats[i],
                              {{"./", "", ArchiveEntry::Dir}, {dot + infos[i], "info"},
                               {dot + "sub", "", ArchiveEntry::Dir}, {dot + "sub/app.bin", std::string(3000, 'x')}});
        auto app = prepare(path);
        std::string tmp = app->tmpDir();
        EXPECT_EQ(app->fwDir(), tmp + "/");
        EXPECT_EQ(camtest::readFile(tmp + "/sub/app.bin"), std::string(3000, 'x'));

        // <temp>/Quarnel.tmp/0x<low 32 bits of the object>_<n>, n counting up
        // by one per session in the process; both folders owner-only.
        char expect[32];
        std::snprintf(expect, sizeof expect, "/0x%.8x_",
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(app.get())));
        ASSERT_EQ(tmp.rfind(quarnel() + expect, 0), 0u) << tmp;
        int n = std::stoi(tmp.substr(tmp.rfind('_') + 1));
        if (previous >= 0) {
            EXPECT_EQ(n, previous + 1);
        }
        previous = n;
        EXPECT_EQ(modeOf(quarnel()), 0700);
        EXPECT_EQ(modeOf(tmp), 0700);
    }
}

// One inner archive per hardware kind, chosen by name from the sorted
// listing, not by the order inside the package.
TEST_F(Package, ImagePerKindPicksTheFirstFittingEntryByName) {
    camtest::FakeGvcpCamera camera("127.0.3.15");
    ASSERT_TRUE(camera.ok());
    managerGige manager;
    ASSERT_TRUE(manager.connect("127.0.3.15"));
    const std::string plain = camtest::archiveBytes(ArchiveFormat::TarGz, {{"plain.bin", "0"}});
    const std::string dee = camtest::archiveBytes(ArchiveFormat::Zip, {{"dee.bin", "1"}});
    const std::string kx = camtest::archiveBytes(ArchiveFormat::Zip, {{"kx.bin", "3d"}});
    struct Case {
        int kind;
        std::vector<ArchiveEntry> entries;
        std::string served;  // the one file of the chosen image; empty: the package folder
        bool threeD;
    };
    const std::vector<Case> cases = {
        {0, {{"b.bin", plain}, {"a-D.bin", dee}}, "plain.bin", false},
        {0, {{"z.bin", plain}, {"cam-KX-D.bin", kx}, {"a-D.bin", dee}}, "kx.bin", true},
        {0, {{"x-D.bin", dee}, {"y-D.bin", dee}}, "", false},
        {1, {{"b.bin", plain}, {"c-D.bin", "not inside"}, {"a-KX-D.bin", kx}}, "kx.bin", false},
        {1, {{"b.bin", plain}}, "", false},
    };
    int i = 0;
    for (const Case& c : cases) {
        camera.setRegister(DevApp::DEV_TYPE_REG, c.kind == 1 ? 0x1A4 : 0x2A5);
        const std::string path = pkg("kind" + std::to_string(i++) + ".zip");
        camtest::writeArchive(path, ArchiveFormat::Zip, c.entries);
        m_log.take();
        DevApp app(&manager, "127.0.3.1", "127.0.3.15");
        app.init(path);
        EXPECT_EQ(app.deviceType(), c.kind) << path;
        const std::string want = c.served.empty() ? (m_root / "fw") : app.tmpDir() + "/upgrade";
        EXPECT_EQ(app.fwDir(), want + "/") << path;
        if (!c.served.empty()) {
            EXPECT_EQ(fs::directory_iterator(want)->path().filename(), c.served) << path;
        }
        EXPECT_EQ(m_log.count("] this is 3D Camera\n"), c.threeD ? 1u : 0u) << path;
    }
}

TEST_F(Package, EveryFailureServesThePackageFolder) {
    const std::string folder = m_root / "fw";
    // Not an archive at all.
    camtest::writeFile(pkg("junk.bin"), "this is no archive");
    // Text that libarchive could read as a list of names, with or without
    // the heading of such a list.
    camtest::writeFile(pkg("names.txt"), "app_upd.info\napp.bin\n");
    camtest::writeFile(pkg("listing.txt"), "#mtree\napp_upd.info type=file\n");
    // The chosen entry is no archive.
    camtest::writeArchive(pkg("bad-inner.zip"), ArchiveFormat::Zip, {{"b.bin", "not inside"}});
    // Damaged half-way: refused before anything is written.
    camtest::writeArchive(pkg("whole.tgz"), ArchiveFormat::TarGz,
                          {{"app_upd.info", "i"}, {"big", std::string(100000, 'b')}});
    std::string bytes = camtest::readFile(pkg("whole.tgz"));
    camtest::writeFile(pkg("cut.tgz"), bytes.substr(0, bytes.size() / 2));
    for (const char* name :
         {"junk.bin", "names.txt", "listing.txt", "bad-inner.zip", "missing.zip", "cut.tgz"}) {
        auto app = prepare(pkg(name));
        EXPECT_EQ(app->fwDir(), folder + "/") << name;
        if (std::string(name) == "cut.tgz") {
            EXPECT_FALSE(fs::exists(app->tmpDir())) << "damage is found before writing";
        }
    }
    // A path without any separator is its own folder.
    auto app = prepare("pkg.bin");
    EXPECT_EQ(app->fwDir(), "pkg.bin/");
}

TEST_F(Package, DestroyingTheSessionRemovesItsWholeTreeAndNothingElse) {
    std::string inner = camtest::archiveBytes(
        ArchiveFormat::Zip, {{"d", "", ArchiveEntry::Dir}, {"d/deep.bin", "deep"},
                             {".meta/.cache/note", "hidden folders go too"}});
    // A backslash is a plain character of a name here, also at its end.
    camtest::writeArchive(pkg("p.tgz"), ArchiveFormat::TarGz,
                          {{"b.bin", inner}, {"b-link", "", ArchiveEntry::Symlink, "b.bin"},
                           {"ends\\", "", ArchiveEntry::Dir}, {"ends\\/in", "x"}});
    std::string outside = m_root / "outside";
    fs::create_directories(outside);
    camtest::writeFile(outside + "/keep.txt", "keep");

    std::string tmp;
    {
        auto app = prepare(pkg("p.tgz"));
        tmp = app->tmpDir();
        ASSERT_EQ(camtest::readFile(tmp + "/upgrade/d/deep.bin"), "deep");
        ASSERT_TRUE(fs::exists(tmp + "/upgrade/.meta/.cache/note"));
        ASSERT_TRUE(fs::exists(tmp + "/ends\\/in"));
        // Links met on the way are removed, never followed.
        fs::create_directory_symlink(outside, tmp + "/upgrade/to-outside");
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp)));
    EXPECT_TRUE(fs::is_directory(quarnel()));
    EXPECT_EQ(camtest::readFile(outside + "/keep.txt"), "keep");
}

TEST_F(Package, ArchivesThatReachOutsideAreRefusedWhole) {
    const std::string victim = m_root / "victim";
    // Zip has no hard links or pipes: those are tar only.
    const std::vector<std::pair<std::vector<ArchiveEntry>, bool>> hostile = {
        {{{"app_upd.info", "i"}, {"../../../victim", "dotdot"}}, true},
        {{{"app_upd.info", "i"}, {victim, "absolute"}}, true},
        {{{"app_upd.info", "i"}, {"out", "", ArchiveEntry::Symlink, m_root.path()},
          {"out/victim", "through link"}}, true},
        {{{"app_upd.info", "i"}, {"up", "", ArchiveEntry::Symlink, "../.."}}, true},
        {{{"app_upd.info", "i"}, {"hard", "", ArchiveEntry::Hardlink, victim}}, false},
        {{{"app_upd.info", "i"}, {"pipe", "", ArchiveEntry::Fifo}}, false},
        // A file in the unpack folder's own place would replace the folder.
        {{{".", "folder becomes a file"}, {"app_upd.info", "i"}}, false},
    };
    int i = 0;
    for (const auto& [entries, zipToo] : hostile) {
        for (ArchiveFormat format : {ArchiveFormat::TarGz, ArchiveFormat::Zip}) {
            if (format == ArchiveFormat::Zip && !zipToo)
                continue;
            std::string path = pkg("evil" + std::to_string(i++));
            camtest::writeArchive(path, format, entries);
            auto app = prepare(path);
            EXPECT_EQ(app->fwDir(), (m_root / "fw") + "/") << path;
            EXPECT_FALSE(fs::exists(fs::symlink_status(victim))) << path;
            // Refused before anything was written, even inside.
            EXPECT_FALSE(fs::exists(app->tmpDir() + "/app_upd.info")) << path;
            std::string tmp = app->tmpDir();
            app.reset();
            EXPECT_FALSE(fs::exists(fs::symlink_status(tmp))) << path;
        }
    }
}

// Folders that are not safely ours are not used.
TEST_F(Package, UnsafeFoldersAreNotUsed) {
    camtest::writeArchive(pkg("p.zip"), ArchiveFormat::Zip, {{"app_upd.info", "i"}});
    const std::string elsewhere = m_root / "elsewhere";
    fs::create_directories(elsewhere);
    const std::string fallback = (m_root / "fw") + "/Quarnel.tmp/";

    fs::create_directory_symlink(elsewhere, quarnel());
    auto app = prepare(pkg("p.zip"));
    EXPECT_EQ(app->tmpDir().rfind(fallback, 0), 0u) << app->tmpDir();
    EXPECT_EQ(app->fwDir(), app->tmpDir() + "/");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(m_log.count("] not using temporary folder " + quarnel()
                          + ": it is a symbolic link\n"),
              1u);
    app.reset();

    if (::geteuid() == 0) {
        fs::remove(quarnel());
        fs::create_directory(quarnel());
        ASSERT_EQ(::chown(quarnel().c_str(), 65534, 65534), 0);
        app = prepare(pkg("p.zip"));
        EXPECT_EQ(app->tmpDir().rfind(fallback, 0), 0u) << app->tmpDir();
        EXPECT_EQ(m_log.count(": it belongs to another user\n"), 1u);
    }

    // A folder of ours left too open is narrowed and used.
    fs::remove(quarnel());
    fs::create_directory(quarnel());
    fs::permissions(quarnel(), fs::perms::all);
    app = prepare(pkg("p.zip"));
    EXPECT_EQ(app->tmpDir().rfind(quarnel() + "/", 0), 0u);
    EXPECT_EQ(modeOf(quarnel()), 0700);
    app.reset();

    // A process killed in the middle of a job leaves its unpack folder
    // behind; a later session with the same address and number must not
    // unpack over it. The folder the session's init is going to take:
    auto nextFolder = [this](const DevApp* session) {
        char name[32];
        std::snprintf(name, sizeof name, "/0x%.8x_%d",
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(session)),
                      static_cast<int>(g_tmpDirCount.load()));
        return quarnel() + name;
    };
    const std::string inner = camtest::archiveBytes(ArchiveFormat::Zip, {{"app.bin", "new"}});
    camtest::writeArchive(pkg("kinds.zip"), ArchiveFormat::Zip, {{"b.bin", inner}});

    // Ours, with an information file that would make the package one image.
    app = std::make_unique<DevApp>(&m_manager, "127.0.3.1", "127.0.3.2");
    std::string stale = nextFolder(app.get());
    fs::create_directories(stale + "/upgrade");
    camtest::writeFile(stale + "/app_upd.info", "stale");
    camtest::writeFile(stale + "/upgrade/old.bin", "stale");
    app->init(pkg("kinds.zip"));
    EXPECT_EQ(app->tmpDir(), stale);
    EXPECT_EQ(app->fwDir(), stale + "/upgrade/");
    EXPECT_FALSE(fs::exists(stale + "/app_upd.info"));
    EXPECT_FALSE(fs::exists(stale + "/upgrade/old.bin"));
    EXPECT_EQ(camtest::readFile(stale + "/upgrade/app.bin"), "new");

    // Not ours: left as it is, and the package folder is served.
    app = std::make_unique<DevApp>(&m_manager, "127.0.3.1", "127.0.3.2");
    stale = nextFolder(app.get());
    fs::create_directory_symlink(elsewhere, stale);
    app->init(pkg("kinds.zip"));
    EXPECT_EQ(app->fwDir(), (m_root / "fw") + "/");
    EXPECT_EQ(m_log.count("] not using unpack folder " + stale + ": it is a symbolic link\n"), 1u);
    app.reset();
    EXPECT_TRUE(fs::is_symlink(stale));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(DeCompress, CallSequence) {
    using COMPRESS::CDeCompressFactory;
    camtest::ScratchDir dir;
    camtest::writeArchive(dir / "a.7z", ArchiveFormat::SevenZip, {{"d/f.bin", "f"}});
    EXPECT_EQ(CDeCompressFactory::getCDeCompress(static_cast<COMPRESS::CDeCompressType>(1)),
              nullptr);
    COMPRESS::CDeCompress* d = CDeCompressFactory::getCDeCompress(COMPRESS::DECOMPRESS_AUTO);
    ASSERT_NE(d, nullptr);
    // The length bounds the path; what follows it is not part of it.
    std::string path = dir / "a.7z";
    EXPECT_EQ(d->open((path + "-not-this").c_str(), static_cast<std::int32_t>(path.size())), 0);
    std::string dest = dir / "x/y";
    COMPRESS::DestDir to{dest.c_str(), static_cast<std::int32_t>(dest.size())};
    std::int32_t item = -1;
    EXPECT_FALSE(d->extract(item, to)) << "nothing selected yet";
    std::int32_t single = 0;
    EXPECT_FALSE(d->selectItem(single)) << "only the whole archive is offered";
    EXPECT_TRUE(d->selectItem(item));
    EXPECT_TRUE(d->extract(item, to));
    CDeCompressFactory::deleteCDeCompress(d);
    EXPECT_EQ(camtest::readFile(dest + "/d/f.bin"), "f");
    EXPECT_EQ(modeOf(dir / "x"), 0700) << "missing parents are created owner-only";
}
