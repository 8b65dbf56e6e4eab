#include "support/Archives.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace camtest {

namespace {

void check(int r, archive* a, const char* what) {
    if (r < ARCHIVE_WARN)
        throw std::runtime_error(std::string(what) + ": " + archive_error_string(a));
}

}  // namespace

void writeArchive(const std::string& path, ArchiveFormat format,
                  const std::vector<ArchiveEntry>& entries) {
    archive* a = archive_write_new();
    switch (format) {
    case ArchiveFormat::Zip: archive_write_set_format_zip(a); break;
    case ArchiveFormat::TarGz:
        archive_write_set_format_pax_restricted(a);
        archive_write_add_filter_gzip(a);
        break;
    case ArchiveFormat::SevenZip: archive_write_set_format_7zip(a); break;
    }
    check(archive_write_open_filename(a, path.c_str()), a, "open");
    for (const ArchiveEntry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_perm(entry, 0644);
        switch (e.kind) {
        case ArchiveEntry::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
            break;
        case ArchiveEntry::Dir:
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_perm(entry, 0755);
            break;
        case ArchiveEntry::Symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.target.c_str());
            break;
        case ArchiveEntry::Hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.target.c_str());
            break;
        case ArchiveEntry::Fifo: archive_entry_set_filetype(entry, AE_IFIFO); break;
        }
        check(archive_write_header(a, entry), a, "header");
        if (e.kind == ArchiveEntry::File && !e.data.empty())
            archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    check(archive_write_close(a), a, "close");
    archive_write_free(a);
}

std::string archiveBytes(ArchiveFormat format, const std::vector<ArchiveEntry>& entries) {
    ScratchDir dir;
    writeArchive(dir / "inner", format, entries);
    return readFile(dir / "inner");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

ScratchDir::ScratchDir() {
#ifdef _WIN32
    // No mkdtemp: try fresh random names until one can be created.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("camtest." + std::to_string(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec))
            m_path = p.string();
    }
    if (m_path.empty())
        throw std::runtime_error("no scratch folder");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "camtest.XXXXXX").string();
    if (::mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
#endif
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

}  // namespace camtest
