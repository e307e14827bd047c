#pragma once

#include <string>

namespace veltonet {

// The folder for receiver error logs that Velto.ini beside the host executable names
// (section "Folder", key "Log"); "" for none: missing file, key or value, or a path too long.
// Reads the file again only when its stamp (StampFile) has changed since the last call.
std::string ConfiguredLogFolder(const std::string& executablePath);

// The same for this process's executable.
std::string ConfiguredLogFolder();

}  // namespace veltonet
