#include <gtest/gtest.h>

#include <string>

#include "veltonet/platform/Paths.h"
#include "veltonet/receiver.h"

namespace {

// Hosts keep the c_str() they are given: each text is computed once and stays put.
TEST(LibraryInfo, TextsAreFixedAndCached) {
    const char* version = R_GetDllVersion();
    EXPECT_STREQ(version, "2.6.5.107");
    EXPECT_EQ(R_GetDllVersion(), version);
    const char* build = R_GetDllBuild();
    EXPECT_STREQ(build, "Release 800");  // build 2048, in hexadecimal
    EXPECT_EQ(R_GetDllBuild(), build);
    // The interface version, not the file version.
    EXPECT_STREQ(R_GetHeaderVersion(), "2.6.5.106");
    // Linked into this test program, the library's own file is the program.
    const char* path = R_GetDllPath();
    EXPECT_EQ(std::string(path), veltonet::ExecutablePath());
    EXPECT_EQ(R_GetDllPath(), path);
}

TEST(LibraryInfo, PlatformIsTheWordSizeAndDebugFollowsTheBuild) {
    EXPECT_EQ(R_GetPlatform(), 8 * sizeof(void*));
#ifdef NDEBUG
    EXPECT_FALSE(R_IsDebug());
#else
    EXPECT_TRUE(R_IsDebug());
#endif
}

}  // namespace
