// The list of cameras a plant engineer keeps for a line: one camera a line,
// its address, optionally its own package and a name.
#pragma once

#include <string>
#include <vector>

namespace cli {

// One camera of a run: its address, its package and a name of the user's.
struct Target {
    std::string cameraIp;
    std::string package;  // empty: the run's --package
    std::string name;     // may be empty
};

// Parses the text of a cameras file:
//   # comment
//   192.168.1.20                          (the default package)
//   192.168.1.21  fw-k1.zip  left door    (own package, name "left door")
//   192.168.1.22  -  right door           ("-": the default package)
// Relative package paths are taken from `baseDir` (the file's folder).
// False with "line N: ..." in *error on the first bad line.
bool parseCamerasFile(const std::string& text, const std::string& baseDir,
                      std::vector<Target>& out, std::string* error);

// Reads and parses the file at path.
bool readCamerasFile(const std::string& path, std::vector<Target>& out,
                     std::string* error);

}  // namespace cli
