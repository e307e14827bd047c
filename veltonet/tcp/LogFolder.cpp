#include "veltonet/tcp/LogFolder.h"

#include "veltonet/platform/IniFile.h"
#include "veltonet/platform/Paths.h"

namespace veltonet {

namespace {

constexpr size_t kMaxPathLength = 260;

// The last answer read from an ini file, with the stamp the file had before it was read: a
// write after the stamp was taken changes the stamp, so the next call reads again.
struct FolderAnswer {
    std::string ini;
    FileStamp stamp;
    std::string folder;
};

// "" when the executable's path is empty or too long.
std::string IniBeside(const std::string& executablePath) {
    if (executablePath.empty() || executablePath.size() >= kMaxPathLength) {
        return "";
    }
    std::string ini = FolderOf(executablePath);
    if (ini.empty()) {
        ini = executablePath + '/';
    }
    return ini + "Velto.ini";
}

// Every receiver asks at construction, accepted clients included: one stat instead of
// opening and parsing the file, and a changed file is read at the next construction.
std::string FolderNamedBy(const std::string& ini) {
    if (ini.empty()) {
        return "";
    }
    // Never destroyed: a receiver may still be made while the process exits.
    static FolderAnswer& answer = *new FolderAnswer;
    const FileStamp stamp = StampFile(ini);
    if (stamp.exists && stamp == answer.stamp && ini == answer.ini) {
        return answer.folder;
    }
    std::string folder = stamp.exists ? ReadIniString(ini, "Folder", "Log", "") : std::string();
    if (folder.size() >= kMaxPathLength) {
        folder.resize(kMaxPathLength - 1);
    }
    answer = FolderAnswer{ini, stamp, folder};
    return folder;
}

}  // namespace

std::string ConfiguredLogFolder(const std::string& executablePath) {
    return FolderNamedBy(IniBeside(executablePath));
}

std::string ConfiguredLogFolder() {
    // The executable's path does not change while the process runs.
    static const std::string& ini = *new std::string(IniBeside(ExecutablePath()));
    return FolderNamedBy(ini);
}

}  // namespace veltonet
