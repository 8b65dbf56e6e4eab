// Windows only: a package unpacked under the system's temporary folder must
// pick its inner archive in the order the system lists the folder, and must
// leave nothing behind, entries the unpacker made read-only included.
#include "ManagerGigeProto.h"
#include "support/Archives.h"
#include "support/LogCapture.h"
#include "upgrade/DevApp.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;
    std::string data;
    int perm;  // a folder when the name ends in "/"
};

// A zip whose entries carry the given permission bits.
std::string zipWithModes(const std::vector<Entry>& entries) {
    std::string bytes(1 << 20, '\0');
    std::size_t used = 0;
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    if (archive_write_open_memory(a, &bytes[0], bytes.size(), &used) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(a));
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        bool dir = e.name.back() == '/';
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, dir ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry, static_cast<__LA_MODE_T>(e.perm));
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        archive_write_header(a, entry);
        archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    bytes.resize(used);
    return bytes;
}

bool markReadOnly(const std::string& path) {
    DWORD attrs = GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES
           && SetFileAttributesA(path.c_str(), attrs | FILE_ATTRIBUTE_READONLY) != FALSE;
}

class WindowsPackage : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_root / "tmp");
        char old[1024];
        DWORD n = GetEnvironmentVariableA("TMP", old, sizeof old);
        m_oldTmp = n > 0 && n < sizeof old ? old : "";
        // GetTempPath reads TMP first: a temporary folder of the test's own.
        SetEnvironmentVariableA("TMP", (m_root / "tmp").c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableA("TMP", m_oldTmp.empty() ? nullptr : m_oldTmp.c_str());
    }

    camtest::ScratchDir m_root;
    std::string m_oldTmp;
    managerGige m_manager;  // never connected: the camera counts as kind 0
    camtest::LogCapture m_log;
};

}  // namespace

TEST_F(WindowsPackage, PicksInListingOrderAndLeavesNoReadOnlyEntryBehind) {
    std::string plain = zipWithModes({{"plain.bin", "0", 0444}});
    std::string kx = zipWithModes({{"kx.bin", "3d", 0444}});
    // Both fit kind 0. Byte-wise "B-KX-D.zip" would come first; the system
    // lists "a.zip" first, ignoring case.
    std::string package = m_root / "fw.zip";
    camtest::writeFile(package, zipWithModes({{"B-KX-D.zip", kx, 0444},
                                              {"a.zip", plain, 0444},
                                              {"notes/", "", 0555},
                                              {"notes/read.me", "x", 0444}}));
    std::string tmp;
    {
        DevApp app(&m_manager, "127.0.3.1", "127.0.3.2");
        app.init(package);
        tmp = app.tmpDir();
        EXPECT_EQ(app.fwDir(), tmp + "/upgrade/");
        EXPECT_EQ(camtest::readFile(tmp + "/upgrade/plain.bin"), "0");
        EXPECT_EQ(m_log.count("this is 3D Camera"), 0u);
        // The unpacker marks entries without owner-write read-only; under
        // wine its marks do not hold, so they are set here as Windows sets them.
        for (const char* name : {"/upgrade/plain.bin", "/notes/read.me", "/notes"})
            ASSERT_TRUE(markReadOnly(tmp + name)) << name;
    }
    ASSERT_FALSE(tmp.empty());
    EXPECT_FALSE(fs::exists(tmp));
    fs::path quarnel = fs::path(m_root / "tmp") / "Quarnel.tmp";
    EXPECT_TRUE(fs::is_directory(quarnel));
    EXPECT_TRUE(fs::is_empty(quarnel));
}
