// Who runs the command, for the records it keeps: this machine's name and
// the user's login name; empty when unknown.
#pragma once

#include <string>

namespace platform {

std::string hostName();
std::string userName();

}  // namespace platform
