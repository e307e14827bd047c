#include "veltonet/platform/IniFile.h"

#include <windows.h>

#include <vector>

namespace veltonet {

// The profile functions compare names without regard to case, strip blanks and one pair of
// enclosing quotes themselves. They cut a value at the buffer's size; the buffer grows until
// the value fits, so a long value is never read cut short.
std::string ReadIniString(const std::string& file, const char* section, const char* key,
                          const char* defaultValue) {
    std::string fallback = defaultValue != nullptr ? defaultValue : "";
    if (section == nullptr || key == nullptr || file.empty()) {
        return fallback;
    }
    // Without a folder the profile functions would look in the Windows folder.
    if (file.find_first_of("/\\") == std::string::npos ||
        GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return fallback;
    }
    std::vector<char> buffer(512);
    for (;;) {
        const DWORD length =
            GetPrivateProfileStringA(section, key, fallback.c_str(), buffer.data(),
                                     static_cast<DWORD>(buffer.size()), file.c_str());
        if (length + 1 < buffer.size() || buffer.size() >= 65536) {
            return std::string(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace veltonet
