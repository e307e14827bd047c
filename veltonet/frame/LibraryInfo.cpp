// What the library says about itself: version, build, file, interface version, word size.

#include <cstdio>
#include <string>

#include "veltonet/platform/Paths.h"
#include "veltonet/receiver.h"

#ifndef VELTONET_VERSION_TEXT
#error "VELTONET_VERSION_TEXT must carry the project version"
#endif

namespace veltonet {
namespace {

// The build number, shown in hexadecimal after "Release".
constexpr unsigned int kBuildNumber = 2048;

// A cached text is computed while it is empty, so a failed computation is tried again at the
// next call. The strings live until the library is unloaded; callers keep their c_str().
const char* Cached(std::string& text, std::string (*compute)()) {
    if (text.empty()) {
        try {
            text = compute();
        } catch (...) {
            text.clear();
        }
    }
    return text.c_str();
}

// The file's own version resource where the format has one, so that the answer always
// matches what the file says about itself.
std::string ComputeVersion() {
    std::string version = LibraryFileVersion();
    return version.empty() ? VELTONET_VERSION_TEXT : version;
}

std::string ComputeBuild() {
    char text[32];
    std::snprintf(text, sizeof text, "Release %x", kBuildNumber);
    return text;
}

std::string ComputePath() {
    return LibraryPath();
}

}  // namespace
}  // namespace veltonet

extern "C" {

R_API const char* R_CALL R_GetDllVersion(void) {
    static std::string version;
    return veltonet::Cached(version, veltonet::ComputeVersion);
}

R_API const char* R_CALL R_GetDllBuild(void) {
    static std::string build;
    return veltonet::Cached(build, veltonet::ComputeBuild);
}

R_API const char* R_CALL R_GetDllPath(void) {
    static std::string path;
    return veltonet::Cached(path, veltonet::ComputePath);
}

R_API const char* R_CALL R_GetHeaderVersion(void) {
    return R_HEADER_VERSION;
}

R_API uint32_t R_CALL R_GetPlatform(void) {
    return 8 * sizeof(void*);
}

R_API bool R_CALL R_IsDebug(void) {
#ifdef NDEBUG
    return false;
#else
    return true;
#endif
}

}  // extern "C"
