// The unpacking layer on its own: the calling sequence and what it leaves
// on disk.
#include "compress/DeCompress.h"
#include "support/Archives.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

using COMPRESS::CDeCompress;
using COMPRESS::CDeCompressFactory;
using camtest::ArchiveEntry;

namespace {

bool unpack(const std::string& archive, const std::string& dest) {
    CDeCompress* d = CDeCompressFactory::getCDeCompress(COMPRESS::DECOMPRESS_AUTO);
    bool ok = d->open(archive.c_str(), static_cast<std::int32_t>(archive.size())) == 0;
    std::int32_t item = -1;
    ok = ok && d->selectItem(item);
    ok = ok && d->extract(item, {dest.c_str(), static_cast<std::int32_t>(dest.size())});
    CDeCompressFactory::deleteCDeCompress(d);
    return ok;
}

}  // namespace

TEST(DeCompress, CallSequence) {
    camtest::ScratchDir dir;
    camtest::writeArchive(dir / "a.7z", camtest::ArchiveFormat::SevenZip,
                          {{"top.txt", "top"}, {"d/e", "", ArchiveEntry::Dir},
                           {"d/e/f.bin", std::string(100000, 'f')}});

    EXPECT_EQ(CDeCompressFactory::getCDeCompress(static_cast<COMPRESS::CDeCompressType>(1)),
              nullptr);
    CDeCompressFactory::deleteCDeCompress(nullptr);

    CDeCompress* d = CDeCompressFactory::getCDeCompress(COMPRESS::DECOMPRESS_AUTO);
    ASSERT_NE(d, nullptr);
    std::string missing = dir / "missing.7z";
    EXPECT_EQ(d->open(missing.c_str(), static_cast<std::int32_t>(missing.size())), -1);

    // The length bounds the path: the text after it is not part of it.
    std::string path = dir / "a.7z";
    std::string padded = path + "trailing";
    EXPECT_EQ(d->open(padded.c_str(), static_cast<std::int32_t>(path.size())), 0);
    std::int32_t item = -1;
    std::string dest = dir / "x/y/z";
    EXPECT_FALSE(d->extract(item, {dest.c_str(), static_cast<std::int32_t>(dest.size())}))
        << "extract before a selection";
    std::int32_t single = 0;
    EXPECT_FALSE(d->selectItem(single));
    EXPECT_TRUE(d->selectItem(item));
    EXPECT_EQ(d->entryCount(), 3);
    EXPECT_TRUE(d->extract(item, {dest.c_str(), static_cast<std::int32_t>(dest.size())}));
    CDeCompressFactory::deleteCDeCompress(d);

    EXPECT_EQ(camtest::readFile(dest + "/top.txt"), "top");
    EXPECT_EQ(camtest::readFile(dest + "/d/e/f.bin"), std::string(100000, 'f'));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "created parents are owner-only";
}

TEST(DeCompress, DamagedArchiveFails) {
    camtest::ScratchDir dir;
    camtest::writeArchive(dir / "a.tgz", camtest::ArchiveFormat::TarGz,
                          {{"one", std::string(50000, '1')}, {"two", std::string(50000, '2')}});
    std::string bytes = camtest::readFile(dir / "a.tgz");
    camtest::writeFile(dir / "cut.tgz", bytes.substr(0, bytes.size() / 2));
    EXPECT_TRUE(unpack(dir / "a.tgz", dir / "ok"));
    EXPECT_FALSE(unpack(dir / "cut.tgz", dir / "cut"));
    EXPECT_FALSE(std::filesystem::exists(dir / "cut")) << "a damaged archive writes nothing";
}
