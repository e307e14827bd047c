#include "veltonet/platform/Paths.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "veltonet/platform/DynamicLibrary.h"

namespace veltonet {
namespace {

TEST(Paths, ExecutableAndLibraryPathAreTheRunningProgramAndFileExistsOnlyForFiles) {
    std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_FALSE(FolderOf(path).empty()) << path;
    EXPECT_EQ(path.substr(FolderOf(path).size()),
              test::kWindows ? "platform_tests.exe" : "platform_tests");
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(LibraryPath(), path);  // the library is linked into the program
    EXPECT_FALSE(FileExists("/nonexistent/Codec.so"));
    EXPECT_FALSE(FileExists("/"));
    EXPECT_FALSE(FileExists(""));
}

TEST(Paths, FolderOfKeepsTheTrailingSlash) {
    EXPECT_EQ(FolderOf("/usr/lib/libveltonet.so"), "/usr/lib/");
    EXPECT_EQ(FolderOf("/velto"), "/");
    EXPECT_EQ(FolderOf("dir/"), "dir/");
    EXPECT_EQ(FolderOf("velto"), "");
    EXPECT_EQ(FolderOf(""), "");
}

TEST(DynamicLibrary, OpensFindsSymbolsAndCloses) {
    DynamicLibrary library;
    std::string error;
    // A system library that holds the C library's cosine.
    ASSERT_TRUE(library.Open(test::kWindows ? "msvcrt.dll" : "libm.so.6", &error)) << error;
    EXPECT_TRUE(library.isOpen());
    auto cosine = reinterpret_cast<double (*)(double)>(library.Symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(library.Symbol("no_such_symbol_in_libm"), nullptr);
    EXPECT_EQ(library.Symbol(nullptr), nullptr);
    library.Close();
    EXPECT_FALSE(library.isOpen());
    EXPECT_EQ(library.Symbol("cos"), nullptr);
}

TEST(DynamicLibrary, FailureGivesTheLoadersText) {
    DynamicLibrary library;
    std::string error;
    EXPECT_FALSE(library.Open("/nonexistent/ReceiverPlugin.so", &error));
    EXPECT_FALSE(library.isOpen());
    // The loader's own wording: dlerror names the file, Windows' message text does not.
    EXPECT_NE(error.find(test::kWindows ? "" : "/nonexistent/ReceiverPlugin.so"), std::string::npos)
        << error;
    EXPECT_FALSE(error.empty());
    // Not a shared object (Windows loads a program file as a library, though).
    if (!test::kWindows) {
        EXPECT_FALSE(library.Open(ExecutablePath(), nullptr));
    }
}

}  // namespace
}  // namespace veltonet
