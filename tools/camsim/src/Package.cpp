#include "camsim/Package.h"

#include "camsim/Sha256.h"

#include <archive.h>
#include <archive_entry.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace camsim {

const char* const INFO_NAMES[3] = {"gige_ip_core_app_upd.info", "cameralink_ip_core_app_upd.info",
                                   "app_upd.info"};

std::string formatInfo(const InfoFile& info) {
    std::ostringstream out;
    out << "# camsim firmware information\n"
        << "kind " << info.kind << "\n"
        << "version " << info.version << "\n";
    for (const auto& img : info.images)
        out << "image " << img.name << " " << img.size << " " << img.sha256 << "\n";
    return out.str();
}

bool isVersion(const std::string& v) {
    if (v.empty() || v.front() == '.' || v.back() == '.')
        return false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '.' ? (v[i + 1] == '.') : !std::isdigit(static_cast<unsigned char>(v[i])))
            return false;
    }
    return true;
}

int compareVersions(const std::string& a, const std::string& b) {
    std::istringstream sa(a), sb(b);
    for (;;) {
        std::string pa, pb;
        bool ha = static_cast<bool>(std::getline(sa, pa, '.'));
        bool hb = static_cast<bool>(std::getline(sb, pb, '.'));
        if (!ha && !hb)
            return 0;
        unsigned long va = ha ? std::stoul(pa) : 0, vb = hb ? std::stoul(pb) : 0;
        if (va != vb)
            return va < vb ? -1 : 1;
    }
}

namespace {

bool isDigest(const std::string& d) {
    if (d.size() != 64)
        return false;
    for (char c : d)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

}  // namespace

bool parseInfo(const std::string& text, InfoFile* out, std::string* error) {
    InfoFile info;
    bool haveKind = false, haveVersion = false;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto bad = [&](const std::string& why) {
        *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string key;
        if (!(words >> key) || key[0] == '#')
            continue;
        std::string extra;
        if (key == "kind") {
            if (!(words >> info.kind) || (words >> extra) || info.kind < 0)
                return bad("kind takes one number");
            haveKind = true;
        } else if (key == "version") {
            if (!(words >> info.version) || (words >> extra) || !isVersion(info.version))
                return bad("version takes dotted numbers");
            haveVersion = true;
        } else if (key == "image") {
            ImageEntry img;
            std::string size;
            if (!(words >> img.name >> size >> img.sha256) || (words >> extra))
                return bad("image takes a name, a size and a digest");
            if (img.name.find('/') != std::string::npos || img.name.find('\\') != std::string::npos ||
                img.name == "." || img.name == "..")
                return bad("image name '" + img.name + "' is not a plain file name");
            if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos ||
                size.size() > 18)
                return bad("bad size '" + size + "'");
            img.size = std::stoull(size);
            if (!isDigest(img.sha256))
                return bad("bad digest for " + img.name);
            for (auto& c : img.sha256)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            info.images.push_back(img);
        } else {
            return bad("unknown statement '" + key + "'");
        }
    }
    if (!haveKind || !haveVersion || info.images.empty()) {
        lineNo = 0;
        return bad("kind, version and at least one image are required");
    }
    *out = info;
    return true;
}

namespace {

struct ArchiveWriter {
    archive* a = archive_write_new();
    ~ArchiveWriter() { archive_write_free(a); }
    ArchiveWriter() = default;
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;
};

la_ssize_t writeToVector(archive*, void* client, const void* buf, size_t len) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(client);
    const auto* p = static_cast<const std::uint8_t*>(buf);
    out->insert(out->end(), p, p + len);
    return static_cast<la_ssize_t>(len);
}

bool writeEntries(archive* a, const std::vector<ArchiveEntry>& entries, std::string* error) {
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_mtime(entry, 1700000000, 0);
        bool ok = archive_write_header(a, entry) == ARCHIVE_OK &&
                  (e.data.empty() ||
                   archive_write_data(a, e.data.data(), e.data.size()) ==
                       static_cast<la_ssize_t>(e.data.size()));
        archive_entry_free(entry);
        if (!ok) {
            *error = std::string("cannot add ") + e.name + ": " + archive_error_string(a);
            return false;
        }
    }
    if (archive_write_close(a) != ARCHIVE_OK) {
        *error = archive_error_string(a);
        return false;
    }
    return true;
}

bool setFormat(archive* a, ArchiveFormat format, std::string* error) {
    int rc = format == ArchiveFormat::ZIP
                 ? archive_write_set_format_zip(a)
                 : (archive_write_set_format_pax_restricted(a) == ARCHIVE_OK
                        ? archive_write_add_filter_gzip(a)
                        : ARCHIVE_FATAL);
    if (rc != ARCHIVE_OK) {
        *error = archive_error_string(a) ? archive_error_string(a) : "unsupported format";
        return false;
    }
    return true;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The information file and the images of one kind, as archive entries.
bool imageSet(const std::vector<std::string>& paths, int kind, const PackageSpec& spec,
              std::vector<ArchiveEntry>* out, std::string* error) {
    InfoFile info;
    info.kind = kind;
    info.version = spec.version;
    std::vector<ArchiveEntry> files;
    for (const auto& p : paths) {
        ArchiveEntry e{baseName(p), {}};
        if (!readFile(p, &e.data, error))
            return false;
        std::string digest = Sha256::of(e.data.data(), e.data.size());
        if (spec.badDigest)
            digest = Sha256::of(digest.data(), digest.size());
        info.images.push_back(ImageEntry{e.name, e.data.size(), digest});
        files.push_back(std::move(e));
    }
    std::string text = formatInfo(info);
    out->push_back(ArchiveEntry{spec.infoName, std::vector<std::uint8_t>(text.begin(), text.end())});
    for (auto& f : files)
        out->push_back(std::move(f));
    return true;
}

}  // namespace

bool archiveToMemory(ArchiveFormat format, const std::vector<ArchiveEntry>& entries,
                     std::vector<std::uint8_t>* out, std::string* error) {
    ArchiveWriter w;
    out->clear();
    if (!setFormat(w.a, format, error))
        return false;
    if (archive_write_open(w.a, out, nullptr, writeToVector, nullptr) != ARCHIVE_OK) {
        *error = archive_error_string(w.a);
        return false;
    }
    return writeEntries(w.a, entries, error);
}

bool writeArchive(const std::string& path, ArchiveFormat format,
                  const std::vector<ArchiveEntry>& entries, std::string* error) {
    ArchiveWriter w;
    if (!setFormat(w.a, format, error))
        return false;
    if (archive_write_open_filename(w.a, path.c_str()) != ARCHIVE_OK) {
        *error = "cannot create " + path + ": " + archive_error_string(w.a);
        return false;
    }
    return writeEntries(w.a, entries, error);
}

bool makePackage(const PackageSpec& spec, const std::string& outPath, std::string* error) {
    if (!isVersion(spec.version)) {
        *error = "version '" + spec.version + "' is not dotted numbers";
        return false;
    }
    std::vector<ArchiveEntry> top;
    if (spec.layout == PackageSpec::SINGLE) {
        if (spec.images.empty()) {
            *error = "no image given";
            return false;
        }
        if (!imageSet(spec.images, spec.kind, spec, &top, error))
            return false;
        return writeArchive(outPath, spec.format, top, error);
    }
    if (spec.baseName.find("-D") != std::string::npos) {
        *error = "the base name must not contain \"-D\": it marks kind-1 archives";
        return false;
    }
    const char* ext = spec.format == ArchiveFormat::ZIP ? ".zip" : ".tar.gz";
    struct Inner {
        const std::vector<std::string>* images;
        int kind;
        std::string suffix;
    } inners[] = {{&spec.kind0Images, 0, ""},
                  {&spec.kind1Images, 1, "-D"},
                  {&spec.kind3dImages, 0, "-KX-D"}};
    for (const auto& in : inners) {
        if (in.images->empty())
            continue;
        std::vector<ArchiveEntry> set;
        if (!imageSet(*in.images, in.kind, spec, &set, error))
            return false;
        ArchiveEntry inner{spec.baseName + in.suffix + ext, {}};
        if (!archiveToMemory(spec.format, set, &inner.data, error))
            return false;
        top.push_back(std::move(inner));
    }
    if (top.empty()) {
        *error = "no image given for any kind";
        return false;
    }
    return writeArchive(outPath, spec.format, top, error);
}

}  // namespace camsim
