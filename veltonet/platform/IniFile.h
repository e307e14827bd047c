#pragma once

#include <cstdint>
#include <string>

namespace veltonet {

// Reads one value of an ini file, comparing section and key names without regard to case.
// Missing file, section or key: the default (null reads as ""); a key with an empty value
// gives "". Surrounding blanks of the value are removed, then one pair of enclosing quotes
// (single or double), as the Windows profile functions do. The first matching key wins. A
// line too long for the parser (about 195 characters) reads as absent, never cut short.
std::string ReadIniString(const std::string& file, const char* section, const char* key,
                          const char* defaultValue);

// Tells one version of a file from the next without reading it: identity, size and the
// times of the last change. A file that cannot be found has exists false. Two writes of the
// same size within one tick of the file system's clock can share a stamp.
struct FileStamp {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp StampFile(const std::string& file);

}  // namespace veltonet
