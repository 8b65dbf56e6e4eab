#include "tarnlog/LineOwner.h"

#include <utility>

namespace TARNlog4cpp {

namespace {
thread_local std::string t_owner;
}

LineOwner::LineOwner(std::string cameraIp) : m_previous(std::move(t_owner)) {
    t_owner = std::move(cameraIp);
}

LineOwner::~LineOwner() { t_owner = std::move(m_previous); }

const std::string& LineOwner::current() { return t_owner; }

}  // namespace TARNlog4cpp
