#pragma once

#include <string>

namespace veltonet {

// Full path of the library's own file (found through the address of one of its functions);
// "" when it cannot be determined.
std::string LibraryPath();
// Full path of the host executable; "" when it cannot be read.
std::string ExecutablePath();
// The folder part of a path, with its trailing separator ('/', or '\\' too on Windows); ""
// when the path has none.
std::string FolderOf(const std::string& path);
// True for a character that separates folders in a path.
bool IsPathSeparator(char c);
// The user's own folder for the library's logs: $XDG_STATE_HOME/veltonet/logs, else
// ~/.local/state/veltonet/logs; %LOCALAPPDATA%\veltonet\logs on Windows. "" when the
// environment names no such place.
std::string UserLogFolder();
// The version that the library's file carries in its version resource; "" for a file format
// without one.
std::string LibraryFileVersion();

}  // namespace veltonet
