#include "platform/pathguard.h"

#include <cctype>
#include <system_error>

namespace platform {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool startsAbsolute(const char* name) {
    if (isSeparator(name[0]))
        return true;
    // A drive letter means the same on Windows, with or without a separator.
    return std::isalpha(static_cast<unsigned char>(name[0])) != 0 && name[1] == ':';
}

bool isBelow(const std::filesystem::path& dir, const std::filesystem::path& file) {
    auto f = file.begin();
    for (const auto& part : dir) {
        if (f == file.end() || *f != part)
            return false;
        ++f;
    }
    return f != file.end();
}

}  // namespace

NamePlace placeOf(const char* name) {
    if (name == nullptr || name[0] == '\0' || startsAbsolute(name))
        return NamePlace::Outside;
    bool onlyDots = true;
    const char* part = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !isSeparator(*p))
            continue;
        std::string component(part, static_cast<std::size_t>(p - part));
        if (component == "..")
            return NamePlace::Outside;
        onlyDots = onlyDots && (component.empty() || component == ".");
        if (*p == '\0')
            return onlyDots ? NamePlace::Folder : NamePlace::Below;
        part = p + 1;
    }
}

std::filesystem::path resolveBelow(const std::string& folder, const char* name) {
    namespace fs = std::filesystem;
    if (placeOf(name) != NamePlace::Below)
        return {};
    std::error_code ec;
    fs::path root = fs::canonical(folder, ec);
    if (ec)
        return {};
    fs::path target = fs::canonical(fs::path(folder) / name, ec);
    if (ec || !isBelow(root, target))
        return {};
    return target;
}

}  // namespace platform
