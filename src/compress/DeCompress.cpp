#include "compress/DeCompress.h"

#include "platform/files.h"
#include "platform/pathguard.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace COMPRESS {

namespace {

struct ReaderFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;
using Writer = std::unique_ptr<archive, WriterFree>;

// Real archive formats only. "All" would take mtree too, which reads a
// plain list of names as an archive of empty entries: a text file given as
// the package would be unpacked into an empty folder and served from it.
void supportPackageFormats(archive* a) {
    archive_read_support_format_zip(a);
    archive_read_support_format_7zip(a);
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_cpio(a);
    archive_read_support_format_iso9660(a);
    archive_read_support_filter_gzip(a);
    archive_read_support_filter_bzip2(a);
    archive_read_support_filter_xz(a);
    archive_read_support_filter_lzma(a);
    archive_read_support_filter_lzip(a);
    archive_read_support_filter_zstd(a);
    archive_read_support_filter_lz4(a);
    archive_read_support_filter_compress(a);
}

Reader openReader(const std::string& path) {
    Reader r(archive_read_new());
    if (!r)
        return r;
    supportPackageFormats(r.get());
    if (archive_read_open_filename(r.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK)
        r.reset();
    return r;
}

// Whether an entry stays inside the destination folder once unpacked. Links
// may point only within the archive's own tree, and only files, folders and
// links are accepted: a device node would hand whatever it opens to the
// camera that requests it.
bool isSafeEntry(archive_entry* entry) {
    using platform::NamePlace;
    const NamePlace place = platform::placeOf(archive_entry_pathname(entry));
    if (place == NamePlace::Outside)
        return false;
    const char* hardlink = archive_entry_hardlink(entry);
    // Anything but a plain folder in the destination's own place would
    // replace the destination itself.
    if (place == NamePlace::Folder
        && (hardlink != nullptr || archive_entry_filetype(entry) != AE_IFDIR))
        return false;
    if (hardlink != nullptr)
        return platform::placeOf(hardlink) == NamePlace::Below;
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
    case AE_IFDIR:
        return true;
    case AE_IFLNK:
        return platform::placeOf(archive_entry_symlink(entry)) != NamePlace::Outside;
    default:
        return false;
    }
}

// Whether the entry is the destination folder itself ("./" in archives made
// with tar -C dir ... .).
bool namesTheFolder(archive_entry* entry) {
    return platform::placeOf(archive_entry_pathname(entry)) == platform::NamePlace::Folder;
}

bool copyData(archive* in, archive* out) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    int r;
    while ((r = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
        if (archive_write_data_block(out, block, size, offset) < ARCHIVE_OK)
            return false;
    }
    return r == ARCHIVE_EOF;
}

// Visits every entry of the archive in order, refusing the whole archive at
// the first unsafe entry or the first one the visitor fails on.
template <class Visit>
bool forEachSafeEntry(archive* in, Visit visit) {
    archive_entry* entry = nullptr;
    int r;
    while ((r = archive_read_next_header(in, &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
        if (!isSafeEntry(entry))
            return false;
        // The destination folder exists and is ours: its entry would only
        // change the folder's mode, which must stay private.
        if (namesTheFolder(entry))
            continue;
        if (!visit(entry))
            return false;
    }
    return r == ARCHIVE_EOF;
}

}  // namespace

int CDeCompress::open(const char* path, std::int32_t length) {
    m_opened = false;
    m_selected = false;
    if (path == nullptr || length <= 0)
        return -1;
    m_path.assign(path, strnlen(path, static_cast<std::size_t>(length)));
    m_opened = static_cast<bool>(openReader(m_path));
    return m_opened ? 0 : -1;
}

bool CDeCompress::selectItem(std::int32_t& item) {
    m_selected = false;
    m_entries = 0;
    if (!m_opened || item != -1)
        return false;
    Reader in = openReader(m_path);
    if (!in)
        return false;
    m_selected = forEachSafeEntry(in.get(), [&](archive_entry*) {
        ++m_entries;
        // Reading through the data is what finds a damaged member.
        return archive_read_data_skip(in.get()) == ARCHIVE_OK;
    });
    return m_selected;
}

bool CDeCompress::extract(std::int32_t& item, DestDir dest) {
    if (!m_selected || item != -1 || dest.first == nullptr || dest.second <= 0)
        return false;
    std::string destDir(dest.first, strnlen(dest.first, static_cast<std::size_t>(dest.second)));
    if (!platform::makePrivateDirs(destDir))
        return false;
    // Entry names are checked before they are joined to the destination, so
    // the joined name is absolute by design; the guard that stays on is the
    // one against links. It looks at every component of the joined name, so
    // the destination is resolved first: a link higher up in the system's
    // temporary path is no reason to refuse.
    std::error_code ec;
    std::filesystem::path root = std::filesystem::canonical(destDir, ec);
    if (ec)
        return false;

    Reader in = openReader(m_path);
    Writer out(archive_write_disk_new());
    if (!in || !out)
        return false;
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME
                                                  | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                                                  | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    // Every entry is checked again: the file may have changed since it was
    // examined.
    bool ok = forEachSafeEntry(in.get(), [&](archive_entry* entry) {
        archive_entry_set_pathname(entry, (root / archive_entry_pathname(entry)).string().c_str());
        if (const char* hardlink = archive_entry_hardlink(entry))
            archive_entry_set_hardlink(entry, (root / hardlink).string().c_str());
        return archive_write_header(out.get(), entry) >= ARCHIVE_WARN
               && (archive_entry_size(entry) <= 0 || copyData(in.get(), out.get()))
               && archive_write_finish_entry(out.get()) >= ARCHIVE_WARN;
    });
    return ok && archive_write_close(out.get()) == ARCHIVE_OK;
}

CDeCompress* CDeCompressFactory::getCDeCompress(CDeCompressType type) {
    if (type != DECOMPRESS_AUTO)
        return nullptr;
    return new CDeCompress();
}

void CDeCompressFactory::deleteCDeCompress(CDeCompress* object) { delete object; }

}  // namespace COMPRESS
