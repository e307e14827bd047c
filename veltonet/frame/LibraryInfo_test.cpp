#include <gtest/gtest.h>

#include <string>

#include "veltonet/platform/Paths.h"
#include "veltonet/receiver.h"

namespace {

TEST(LibraryInfo, VersionAndBuildTextsAreFixedAndCached) {
    const char* version = R_GetDllVersion();
    EXPECT_STREQ(version, "2.6.5.107");
    EXPECT_EQ(R_GetDllVersion(), version);  // the same cached text
    const char* build = R_GetDllBuild();
    EXPECT_STREQ(build, "Release 800");
    EXPECT_EQ(R_GetDllBuild(), build);
}

TEST(LibraryInfo, HeaderVersionIsTheInterfaceVersionNotTheFileVersion) {
    EXPECT_STREQ(R_GetHeaderVersion(), "2.6.5.106");
    EXPECT_STREQ(R_GetHeaderVersion(), R_HEADER_VERSION);
}

TEST(LibraryInfo, PlatformIsTheWordSizeInBits) {
#if defined(__x86_64__) || defined(__aarch64__)
    EXPECT_EQ(R_GetPlatform(), 64u);
#endif
    EXPECT_EQ(R_GetPlatform(), 8 * sizeof(void*));
}

TEST(LibraryInfo, DebugFlagFollowsTheBuild) {
#ifdef NDEBUG
    EXPECT_FALSE(R_IsDebug());
#else
    EXPECT_TRUE(R_IsDebug());
#endif
}

// Linked into this test program, the library's own file is the program.
TEST(LibraryInfo, PathIsTheFileThatHoldsTheLibrary) {
    const char* path = R_GetDllPath();
    EXPECT_EQ(std::string(path), veltonet::ExecutablePath());
    EXPECT_EQ(R_GetDllPath(), path);
}

}  // namespace
