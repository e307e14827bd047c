#pragma once

#include <string>

namespace veltonet {

// Full path of libveltonet's own file (found through the address of one of its functions);
// "" when it cannot be determined.
std::string LibraryPath();
// Full path of the host executable (/proc/self/exe); "" when it cannot be read.
std::string ExecutablePath();
// The folder part of a path, with its trailing '/'; "" when the path has no '/'.
std::string FolderOf(const std::string& path);

}  // namespace veltonet
