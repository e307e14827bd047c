#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "veltonet/platform/Paths.h"
#include "veltonet/receiver.h"

namespace {

// Hosts keep the c_str() they are given: each text is computed once and stays put.
TEST(LibraryInfo, TextsAreFixedAndCachedAndTheFlagsFollowTheBuild) {
    const std::vector<const char*> texts{R_GetDllVersion(), R_GetDllBuild(), R_GetDllPath()};
    EXPECT_EQ(texts,
              (std::vector<const char*>{R_GetDllVersion(), R_GetDllBuild(), R_GetDllPath()}));
    EXPECT_STREQ(texts[0], "2.6.5.107");
    EXPECT_STREQ(texts[1], "Release 800");  // build 2048, in hexadecimal
    // Linked into this test program, the library's own file is the program.
    EXPECT_EQ(texts[2], veltonet::ExecutablePath());
    // The interface version, not the file version.
    EXPECT_STREQ(R_GetHeaderVersion(), "2.6.5.106");
    EXPECT_EQ(R_GetPlatform(), 8 * sizeof(void*));
#ifdef NDEBUG
    EXPECT_FALSE(R_IsDebug());
#else
    EXPECT_TRUE(R_IsDebug());
#endif
}

}  // namespace
