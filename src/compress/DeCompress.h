// Unpacking of firmware packages. A thin layer over libarchive with the
// calling pattern the session uses:
//
//   CDeCompress* d = CDeCompressFactory::getCDeCompress(DECOMPRESS_AUTO);
//   d->open(path, length) == 0
//   int32_t item = -1;  d->selectItem(item)
//   d->extract(item, {dest, destLength})
//   CDeCompressFactory::deleteCDeCompress(d);
//
// Extraction never writes outside the destination folder: an archive that
// holds an entry with an absolute name, a ".." component, a link that leaves
// the folder or a special file (device, fifo, socket) is refused as a whole
// before anything is written.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace COMPRESS {

enum CDeCompressType : int {
    // The archive formats a package comes in, recognised by content: zip,
    // 7z, rar, tar (plain or compressed), cpio, iso9660. The only type there
    // is.
    DECOMPRESS_AUTO = 2,
};

// The destination folder as text and length.
using DestDir = std::pair<const char*, std::int32_t>;

class CDeCompress {
public:
    CDeCompress() = default;
    CDeCompress(const CDeCompress&) = delete;
    CDeCompress& operator=(const CDeCompress&) = delete;

    // Takes the archive at path (length bytes of text) and checks that
    // libarchive can read it. 0 on success, -1 otherwise.
    int open(const char* path, std::int32_t length);

    // Selects what extract unpacks: -1 is the whole archive, the only
    // selection offered. Reads every entry header and checks it is safe to
    // unpack; true when the whole archive can be read and is.
    bool selectItem(std::int32_t& item);

    // Unpacks the selected item into dest, creating the folder and its
    // missing parents. The selection must have succeeded first.
    bool extract(std::int32_t& item, DestDir dest);

    // Entries the last selectItem found; for tests and logs.
    std::int32_t entryCount() const { return m_entries; }

private:
    friend class CDeCompressFactory;
    ~CDeCompress() = default;

    std::string m_path;
    bool m_opened = false;
    bool m_selected = false;
    std::int32_t m_entries = 0;
};

class CDeCompressFactory {
public:
    // A new decompressor, or null for an unknown type.
    static CDeCompress* getCDeCompress(CDeCompressType type);
    // Releases what getCDeCompress made; null is ignored.
    static void deleteCDeCompress(CDeCompress* object);
};

}  // namespace COMPRESS
