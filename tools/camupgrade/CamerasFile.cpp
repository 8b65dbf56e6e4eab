#include "CamerasFile.h"

#include "platform/socket.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace cli {

namespace {

std::string trimmed(const std::string& s) {
    auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool fail(std::string* error, int lineNo, const std::string& what) {
    if (error != nullptr)
        *error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
}

}  // namespace

bool parseCamerasFile(const std::string& text, const std::string& baseDir,
                      std::vector<Target>& out, std::string* error) {
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = trimmed(raw.substr(0, raw.find('#')));
        if (line.empty())
            continue;
        std::istringstream fields(line);
        Target t;
        std::string package;
        fields >> t.cameraIp >> package;
        std::getline(fields, t.name);
        t.name = trimmed(t.name);
        if (!platform::isIpv4Text(t.cameraIp.c_str()))
            return fail(error, lineNo, "'" + t.cameraIp + "' is not an IPv4 address");
        for (const auto& seen : out)
            if (seen.cameraIp == t.cameraIp)
                return fail(error, lineNo, t.cameraIp + " is listed twice");
        if (!package.empty() && package != "-")
            t.package = fs::path(package).is_absolute() ? package
                                                        : (fs::path(baseDir) / package).string();
        out.push_back(t);
    }
    return true;
}

bool readCamerasFile(const std::string& path, std::vector<Target>& out,
                     std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error != nullptr)
            *error = "cannot read the cameras file " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string base = fs::absolute(path).parent_path().string();
    if (!parseCamerasFile(text.str(), base, out, error)) {
        if (error != nullptr)
            *error = path + ", " + *error;
        return false;
    }
    return true;
}

}  // namespace cli
