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

FileStamp StampFile(const std::string& file) {
    FileStamp stamp;
    if (file.empty()) {
        return stamp;
    }
    // The volume and file index are the file's identity; opening for no access at all reads
    // them without disturbing a writer.
    HANDLE handle =
        CreateFileA(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return stamp;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool read = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (!read) {
        return stamp;
    }
    auto join = [](DWORD high, DWORD low) { return (uint64_t{high} << 32) | low; };
    // FILETIME counts 100 ns ticks.
    auto nanoseconds = [&](const FILETIME& time) {
        return static_cast<int64_t>(join(time.dwHighDateTime, time.dwLowDateTime)) * 100;
    };
    stamp.exists = true;
    stamp.device = information.dwVolumeSerialNumber;
    stamp.inode = join(information.nFileIndexHigh, information.nFileIndexLow);
    stamp.size = static_cast<int64_t>(join(information.nFileSizeHigh, information.nFileSizeLow));
    stamp.modifiedNs = nanoseconds(information.ftLastWriteTime);
    stamp.changedNs = nanoseconds(information.ftCreationTime);
    return stamp;
}

}  // namespace veltonet
