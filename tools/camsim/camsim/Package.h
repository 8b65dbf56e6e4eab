// The information file a simulated camera reads before it takes an image,
// and the firmware packages that carry it.
//
// Information file: UTF-8 text, one statement per line, '#' starts a comment.
//   kind <n>                       hardware kind the images are built for (0 or 1)
//   version <dotted numbers>       firmware version, e.g. 2.1.0
//   image <name> <size> <sha256>   one image to fetch; name without '/', size in bytes,
//                                  digest as 64 hex digits
// Every statement is required except that `image` may repeat (at least once).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

struct ImageEntry {
    std::string name;
    std::uint64_t size = 0;
    std::string sha256;
};

struct InfoFile {
    int kind = 0;
    std::string version;
    std::vector<ImageEntry> images;
};

std::string formatInfo(const InfoFile& info);
bool parseInfo(const std::string& text, InfoFile* out, std::string* error);

// Dotted numeric versions: negative, zero or positive like strcmp. Missing
// components count as 0 ("2.1" == "2.1.0").
int compareVersions(const std::string& a, const std::string& b);
bool isVersion(const std::string& v);

// The information-file names the host side recognises at a package's top level.
extern const char* const INFO_NAMES[3];

enum class ArchiveFormat { ZIP, TAR_GZ };

struct ArchiveEntry {
    std::string name;
    std::vector<std::uint8_t> data;
};

bool writeArchive(const std::string& path, ArchiveFormat format,
                  const std::vector<ArchiveEntry>& entries, std::string* error);
bool archiveToMemory(ArchiveFormat format, const std::vector<ArchiveEntry>& entries,
                     std::vector<std::uint8_t>* out, std::string* error);

struct PackageSpec {
    enum Layout { SINGLE, PER_KIND } layout = SINGLE;
    ArchiveFormat format = ArchiveFormat::ZIP;
    std::string infoName = INFO_NAMES[0];
    std::string version = "2.0.0";
    // SINGLE: the kind written into the information file and the image paths.
    int kind = 0;
    std::vector<std::string> images;
    // PER_KIND: images per inner archive; an empty list leaves that archive out.
    std::vector<std::string> kind0Images, kind1Images, kind3dImages;
    std::string baseName = "camfw";  // inner archives: camfw.zip, camfw-D.zip, camfw-KX-D.zip
    // Writes a wrong digest for every image, so a camera rejects the package.
    bool badDigest = false;
};

bool makePackage(const PackageSpec& spec, const std::string& outPath, std::string* error);

}  // namespace camsim
