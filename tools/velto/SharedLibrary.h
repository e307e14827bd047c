#pragma once

// A library opened by the tool itself (the compression plug-in, for its Compress), and how
// this system names and places such files. One implementation per system, in posix/ and
// win32/.

#include <string>

namespace velto {

// "Codec" -> "Codec.so", or "Codec.dll" on Windows.
std::string LibraryFileName(const std::string& stem);
// A file in a folder, with this system's separator.
std::string PathInFolder(const std::string& folder, const std::string& file);
// The folder of a file's path, without the separator; "." for a bare file name.
std::string FolderOf(const std::string& path);

class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // False with the loader's reason. A library that the process holds already is shared.
    bool Open(const std::string& path, std::string* why);
    // Null when not exported.
    void* Symbol(const char* name) const;

  private:
    void* m_handle = nullptr;
};

}  // namespace velto
