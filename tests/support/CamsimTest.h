// Whole upgrades against simulated cameras: a network namespace of the
// test's own (host 127.0.0.1, cameras 127.0.0.2 and up), packages made in a
// scratch folder, and TMPDIR pointed at a second one to see what the
// upgrade leaves there. Header only: only the tests that link camsim use it.
#pragma once

#include "support/Archives.h"
#include "support/NetNs.h"
#include "support/TftpPeer.h"

#include "camsim/Camera.h"
#include "camsim/Package.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace camtest {

class CamsimTest : public ::testing::Test {
protected:
    void SetUp() override {
        CAMTEST_REQUIRE_PRIVATE_NETWORK();
        ::setenv("TMPDIR", m_tmp.path().c_str(), 1);
    }
    void TearDown() override {
        m_cameras.clear();
        ::unsetenv("TMPDIR");
    }

    camsim::Camera& camera(const camsim::Config& c) {
        m_cameras.push_back(std::make_unique<camsim::Camera>(c));
        std::string error;
        EXPECT_TRUE(m_cameras.back()->start(&error)) << error;
        return *m_cameras.back();
    }
    // Bytes in which a block sent twice or out of place changes the digest.
    std::string image(const std::string& name, std::size_t size) {
        writeBytes(m_dir / name, fileBytes(size, static_cast<unsigned>(size + name.size())));
        return m_dir / name;
    }
    std::string package(const camsim::PackageSpec& spec, const std::string& name = "fw.zip") {
        std::string error;
        EXPECT_TRUE(camsim::makePackage(spec, m_dir / name, &error)) << error;
        return m_dir / name;
    }
    // One image, app.bin, for hardware kind `kind`.
    std::string package(std::size_t size, const std::string& name = "fw.zip", int kind = 0,
                        const std::string& version = "2.1.0") {
        camsim::PackageSpec spec;
        spec.version = version;
        spec.kind = kind;
        spec.images = {image("app.bin", size)};
        return package(spec, name);
    }
    // The temporary folder holds nothing but the library's empty Quarnel.tmp.
    bool nothingUnpacked() const {
        namespace fs = std::filesystem;
        for (const auto& e : fs::directory_iterator(m_tmp.path()))
            if (e.path().filename() != "Quarnel.tmp" || !fs::is_empty(e.path()))
                return false;
        return true;
    }

    ScratchDir m_dir, m_tmp;
    std::vector<std::unique_ptr<camsim::Camera>> m_cameras;
};

}  // namespace camtest
