#pragma once

#include <string>

namespace veltonet {

// A loaded plug-in: dlopen with RTLD_NOW | RTLD_LOCAL.
class DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Close(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // False on failure, with the loader's text in error (which may be null). Closes what
    // was open before. A path without '/' is searched the way the loader searches.
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
