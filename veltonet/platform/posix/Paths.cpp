#include "veltonet/platform/Paths.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace veltonet {

namespace {

std::string CanonicalPath(const char* path) {
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        return std::string();
    }
    std::string result(resolved);
    free(resolved);
    return result;
}

}  // namespace

std::string LibraryPath() {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&LibraryPath), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) == 0 ||
        map == nullptr) {
        return std::string();
    }
    // The main program's map has an empty name: the library was linked into the executable.
    if (map->l_name == nullptr || map->l_name[0] == '\0') {
        return ExecutablePath();
    }
    return CanonicalPath(map->l_name);
}

std::string ExecutablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return std::string();
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
        if (buffer.size() >= 65536) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool IsPathSeparator(char c) {
    return c == '/';
}

std::string UserLogFolder() {
    // A relative XDG_STATE_HOME is invalid and ignored, as the base-directory rules ask.
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/veltonet/logs";
    }
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.local/state/veltonet/logs";
    }
    return std::string();
}

std::string LibraryFileVersion() {
    return std::string();
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return path.substr(0, slash + 1);
}

}  // namespace veltonet
