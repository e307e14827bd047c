#include "veltonet/platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace veltonet {

bool DynamicLibrary::Open(const std::string& path, std::string* error) {
    Close();
    dlerror();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        if (error != nullptr) {
            const char* text = dlerror();
            *error = text != nullptr ? text : "cannot load " + path;
        }
        return false;
    }
    return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (m_handle == nullptr || name == nullptr) {
        return nullptr;
    }
    return dlsym(m_handle, name);
}

void DynamicLibrary::Close() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

bool FileExists(const std::string& path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace veltonet
