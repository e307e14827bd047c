#include "veltonet/tcp/LogFolder.h"

#include "veltonet/platform/IniFile.h"
#include "veltonet/platform/Paths.h"

namespace veltonet {

namespace {
constexpr size_t kMaxPathLength = 260;
}

std::string ConfiguredLogFolder(const std::string& executablePath) {
    if (executablePath.empty() || executablePath.size() >= kMaxPathLength) {
        return "";
    }
    std::string ini = FolderOf(executablePath);
    if (ini.empty()) {
        ini = executablePath + '/';
    }
    ini += "Velto.ini";
    std::string folder = ReadIniString(ini, "Folder", "Log", "");
    if (folder.size() >= kMaxPathLength) {
        folder.resize(kMaxPathLength - 1);
    }
    return folder;
}

}  // namespace veltonet
