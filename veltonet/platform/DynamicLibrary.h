#pragma once

#include <string>

// The file name ending of a plug-in library.
#ifdef _WIN32
#define VELTONET_PLUGIN_SUFFIX ".dll"
#else
#define VELTONET_PLUGIN_SUFFIX ".so"
#endif

namespace veltonet {

// A loaded plug-in: dlopen with RTLD_NOW | RTLD_LOCAL, or LoadLibraryA with the system's error
// dialogs off.
class DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Close(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // False on failure, with the loader's text in error (which may be null). Closes what
    // was open before. A path without a folder is searched the way the loader searches.
    bool Open(const std::string& path, std::string* error);
    // Null when not open or not found.
    void* Symbol(const char* name) const;
    void Close();
    bool isOpen() const { return m_handle != nullptr; }

  private:
    void* m_handle = nullptr;
};

// A regular file (symbolic links followed) exists at path.
bool FileExists(const std::string& path);

}  // namespace veltonet
