#include "platform/dynlib.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

DynLib::~DynLib() {
    if (m_handle != nullptr)
        FreeLibrary(static_cast<HMODULE>(m_handle));
}

bool DynLib::open(const std::string& path) {
    m_handle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (m_handle == nullptr)
        m_error = "LoadLibrary failed, error " + std::to_string(GetLastError());
    return m_handle != nullptr;
}

void* DynLib::symbol(const char* name) const {
    return m_handle == nullptr
               ? nullptr
               : reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

const char* libraryFileName() { return "camupgrade.dll"; }

std::string executableDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, n);
    auto cut = full.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
}

#else

DynLib::~DynLib() {
    if (m_handle != nullptr)
        dlclose(m_handle);
}

bool DynLib::open(const std::string& path) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        m_error = why != nullptr ? why : "dlopen failed";
    }
    return m_handle != nullptr;
}

void* DynLib::symbol(const char* name) const {
    return m_handle == nullptr ? nullptr : dlsym(m_handle, name);
}

const char* libraryFileName() { return "libcamupgrade.so"; }

std::string executableDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    std::string full(path, static_cast<std::size_t>(n));
    auto cut = full.find_last_of('/');
    return cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
}

#endif

}  // namespace platform
