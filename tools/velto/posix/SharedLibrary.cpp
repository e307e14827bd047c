#include "SharedLibrary.h"

#include <dlfcn.h>

namespace velto {

std::string LibraryFileName(const std::string& stem) {
    return stem + ".so";
}

std::string PathInFolder(const std::string& folder, const std::string& file) {
    return folder + "/" + file;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

SharedLibrary::~SharedLibrary() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
}

bool SharedLibrary::Open(const std::string& path, std::string* why) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* text = dlerror();
        *why = text != nullptr ? text : "cannot open " + path;
        return false;
    }
    return true;
}

void* SharedLibrary::Symbol(const char* name) const {
    return m_handle != nullptr ? dlsym(m_handle, name) : nullptr;
}

}  // namespace velto
