// Builds real archives for tests with libarchive's writer, including the
// malformed ones a hostile package could hold.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace camtest {

struct ArchiveEntry {
    enum Kind { File, Dir, Symlink, Hardlink, Fifo };
    ArchiveEntry(std::string name_, std::string data_, Kind kind_ = File, std::string target_ = {})
        : name(std::move(name_)), data(std::move(data_)), kind(kind_), target(std::move(target_)) {}
    std::string name;
    std::string data;    // File
    Kind kind = File;
    std::string target;  // Symlink, Hardlink
};

enum class ArchiveFormat { Zip, TarGz, SevenZip };

// Writes the entries, in order, into a new archive at path.
void writeArchive(const std::string& path, ArchiveFormat format,
                  const std::vector<ArchiveEntry>& entries);

// The archive as bytes, to nest it inside another one.
std::string archiveBytes(ArchiveFormat format, const std::vector<ArchiveEntry>& entries);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// A fresh folder under the system temporary folder; removed by the destructor.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace camtest
