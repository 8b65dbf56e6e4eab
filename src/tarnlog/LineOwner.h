// Which camera the calling thread works for, so that a line it logs can be
// told apart in a log of many cameras. Set for the span of a scope; a
// thread of no camera (or one serving all) has none.
#pragma once

#include <string>

namespace TARNlog4cpp {

class LineOwner {
public:
    explicit LineOwner(std::string cameraIp);
    ~LineOwner();
    LineOwner(const LineOwner&) = delete;
    LineOwner& operator=(const LineOwner&) = delete;

    // The calling thread's camera; empty when none.
    static const std::string& current();

private:
    std::string m_previous;
};

}  // namespace TARNlog4cpp
