#pragma once

#include <string>

namespace veltonet {

// The folder for receiver error logs that Velto.ini beside the host executable names
// (section "Folder", key "Log"); "" for none: missing file, key or value, or a path too long.
std::string ConfiguredLogFolder(const std::string& executablePath);

}  // namespace veltonet
