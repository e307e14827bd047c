#include "veltonet/platform/IniFile.h"

#include <ini.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace veltonet {

namespace {

struct IniLookup {
    std::FILE* file;
    char* line = nullptr;
    size_t lineCapacity = 0;
    const char* section;
    const char* key;
    bool found = false;
    std::string value;
};

// Hands the parser whole lines only. A line longer than the parser's buffer would be cut
// and its tail parsed as a line of its own, which could invent a key; such a line is
// replaced by an empty one, so that its value reads as missing rather than truncated.
char* ReadWholeLine(char* buffer, int size, void* stream) {
    auto* lookup = static_cast<IniLookup*>(stream);
    ssize_t length = getline(&lookup->line, &lookup->lineCapacity, lookup->file);
    if (length < 0 || size < 2) {
        return nullptr;
    }
    if (length + 1 > size) {
        std::strcpy(buffer, "\n");
    } else {
        std::memcpy(buffer, lookup->line, static_cast<size_t>(length) + 1);
    }
    return buffer;
}

// The first matching key wins, as with the Windows profile functions.
int TakeValue(void* user, const char* section, const char* name, const char* value) {
    auto* lookup = static_cast<IniLookup*>(user);
    if (!lookup->found && strcasecmp(section, lookup->section) == 0 &&
        strcasecmp(name, lookup->key) == 0) {
        lookup->found = true;
        lookup->value = value != nullptr ? value : "";
    }
    return 1;
}

}  // namespace

std::string ReadIniString(const std::string& file, const char* section, const char* key,
                          const char* defaultValue) {
    std::string fallback = defaultValue != nullptr ? defaultValue : "";
    if (section == nullptr || key == nullptr || file.empty()) {
        return fallback;
    }
    IniLookup lookup{};
    lookup.file = std::fopen(file.c_str(), "re");
    if (lookup.file == nullptr) {
        return fallback;
    }
    lookup.section = section;
    lookup.key = key;
    // Lines the parser rejects are skipped; a value found elsewhere in the file still counts.
    ini_parse_stream(ReadWholeLine, &lookup, TakeValue, &lookup);
    std::fclose(lookup.file);
    std::free(lookup.line);
    if (!lookup.found) {
        return fallback;
    }
    std::string& value = lookup.value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

FileStamp StampFile(const std::string& file) {
    FileStamp stamp;
    struct stat status {};
    if (file.empty() || stat(file.c_str(), &status) != 0) {
        return stamp;
    }
    constexpr int64_t kNsPerSecond = 1000000000;
    stamp.exists = true;
    stamp.device = status.st_dev;
    stamp.inode = status.st_ino;
    stamp.size = status.st_size;
    stamp.modifiedNs = int64_t(status.st_mtim.tv_sec) * kNsPerSecond + status.st_mtim.tv_nsec;
    stamp.changedNs = int64_t(status.st_ctim.tv_sec) * kNsPerSecond + status.st_ctim.tv_nsec;
    return stamp;
}

}  // namespace veltonet
