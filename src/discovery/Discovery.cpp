// Placeholder until the discovery client lands.
#include "discovery/Discovery.h"

namespace discovery {

bool readIdentity(const std::string&, Identity&, std::string* error, std::chrono::milliseconds) {
    if (error != nullptr)
        *error = "not implemented";
    return false;
}

bool discover(std::vector<Identity>&, const std::string&, std::chrono::milliseconds,
              std::string* error) {
    if (error != nullptr)
        *error = "not implemented";
    return false;
}

}  // namespace discovery
