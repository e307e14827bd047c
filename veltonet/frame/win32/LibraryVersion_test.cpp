// veltonet.dll as a host loads it: the version comes from the file's own version resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LibraryVersion, TheDllReportsTheVersionOfItsOwnResourceItsPathAndItsWordSize) {
    HMODULE dll = LoadLibraryA("veltonet.dll");  // beside this program
    ASSERT_NE(dll, nullptr);
    auto find = [dll](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(dll, name));
    };
    using Text = const char* (*)();
    auto version = reinterpret_cast<Text>(find("R_GetDllVersion"));
    auto path = reinterpret_cast<Text>(find("R_GetDllPath"));
    auto platform = reinterpret_cast<uint32_t (*)()>(find("R_GetPlatform"));
    ASSERT_TRUE(version && path && platform);
    EXPECT_STREQ(version(), VELTONET_VERSION_TEXT);
    EXPECT_TRUE(std::string(path()).ends_with("\\veltonet.dll")) << path();
    EXPECT_EQ(platform(), 8 * sizeof(void*));
    FreeLibrary(dll);
}

}  // namespace
