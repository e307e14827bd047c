#include "SharedLibrary.h"

#include <windows.h>

namespace velto {

std::string LibraryFileName(const std::string& stem) {
    return stem + ".dll";
}

std::string PathInFolder(const std::string& folder, const std::string& file) {
    return folder + "\\" + file;
}

std::string FolderOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? "." : path.substr(0, separator);
}

SharedLibrary::~SharedLibrary() {
    if (m_handle != nullptr) {
        FreeLibrary(static_cast<HMODULE>(m_handle));
    }
}

bool SharedLibrary::Open(const std::string& path, std::string* why) {
    // A plug-in that cannot load is reported here, not in a system dialog.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(path.c_str());
    const DWORD code = GetLastError();
    SetErrorMode(previous);
    if (module == nullptr) {
        char* text = nullptr;
        const DWORD length =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        *why = "cannot open " + path + ": " +
               (length != 0 && text != nullptr ? std::string(text, length)
                                               : "error " + std::to_string(code));
        while (!why->empty() && (why->back() == '\n' || why->back() == '\r')) {
            why->pop_back();
        }
        if (text != nullptr) {
            LocalFree(text);
        }
        return false;
    }
    m_handle = module;
    return true;
}

void* SharedLibrary::Symbol(const char* name) const {
    return m_handle != nullptr
               ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name))
               : nullptr;
}

}  // namespace velto
