// Loading a shared library at run time (dlopen / LoadLibrary), for host
// programs that use the library the way a customer's application does.
#pragma once

#include <string>

namespace platform {

class DynLib {
public:
    DynLib() = default;
    ~DynLib();
    DynLib(const DynLib&) = delete;
    DynLib& operator=(const DynLib&) = delete;

    // False with the loader's reason in error() when the library cannot load.
    bool open(const std::string& path);
    void* symbol(const char* name) const;
    const std::string& error() const { return m_error; }

private:
    void* m_handle = nullptr;
    std::string m_error;
};

// File name of the library on this platform: libcamupgrade.so / camupgrade.dll.
const char* libraryFileName();
// Folder of the running executable, with a trailing separator ("" if unknown).
std::string executableDir();

}  // namespace platform
