#include "veltonet/platform/Paths.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace veltonet {

namespace {

// GetModuleFileNameA fills the buffer up to its end when the path is longer: grow and retry.
std::string ModuleFileName(HMODULE module) {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::string();
        }
        if (length < buffer.size()) {
            return std::string(buffer.data(), length);
        }
        if (buffer.size() >= 32768) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The module holding this code: veltonet.dll, or the executable it is linked into.
HMODULE OwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&OwnModule), &module)) {
        return nullptr;
    }
    return module;
}

}  // namespace

std::string LibraryPath() {
    HMODULE module = OwnModule();
    return module != nullptr ? ModuleFileName(module) : std::string();
}

std::string ExecutablePath() {
    return ModuleFileName(nullptr);
}

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string FolderOf(const std::string& path) {
    size_t separator = path.find_last_of("/\\");
    if (separator == std::string::npos) {
        return std::string();
    }
    return path.substr(0, separator + 1);
}

std::string UserLogFolder() {
    const char* local = std::getenv("LOCALAPPDATA");
    if (local == nullptr || *local == '\0') {
        return std::string();
    }
    return std::string(local) + "\\veltonet\\logs";
}

std::string LibraryFileVersion() {
    const std::string path = LibraryPath();
    if (path.empty()) {
        return std::string();
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) {
        return std::string();
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) {
        return std::string();
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr || length < sizeof(*fixed)) {
        return std::string();
    }
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + '.' +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + '.' +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + '.' +
           std::to_string(LOWORD(fixed->dwFileVersionLS));
}

}  // namespace veltonet
