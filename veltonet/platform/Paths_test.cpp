#include "veltonet/platform/Paths.h"

#include <gtest/gtest.h>

#include "veltonet/platform/DynamicLibrary.h"

namespace veltonet {
namespace {

TEST(Paths, ExecutableAndLibraryPathAreTheRunningProgramAndFileExistsOnlyForFiles) {
    std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(path.ends_with("/platform_tests")) << path;
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
    ASSERT_TRUE(library.Open("libm.so.6", &error)) << error;
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
    EXPECT_NE(error.find("/nonexistent/ReceiverPlugin.so"), std::string::npos) << error;
    EXPECT_FALSE(library.Open(ExecutablePath(), nullptr));  // not a shared object
}

}  // namespace
}  // namespace veltonet
