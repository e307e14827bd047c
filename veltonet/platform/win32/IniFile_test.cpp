// Velto.ini through the profile functions: names without regard to case, blanks and one pair
// of quotes around the value removed, the first key of a section wins.
#include "veltonet/platform/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TestSupport.h"

namespace veltonet {
namespace {

TEST(IniFile, ProfileFunctionsReadTheValueTheDefaultWhenMissing) {
    const std::string folder = test::MakeTempFolder();
    ASSERT_FALSE(folder.empty());
    const std::string file = folder + "\\Velto.ini";
    std::ofstream(file) << "[Other]\r\nLog=wrong\r\n[folder]\r\nLOG = \"C:\\desk logs\" \r\n"
                           "Log=second\r\nEmpty=\r\n";
    EXPECT_EQ(ReadIniString(file, "Folder", "Log", ""), "C:\\desk logs");
    EXPECT_EQ(ReadIniString(file, "FOLDER", "log", ""), "C:\\desk logs");
    EXPECT_EQ(ReadIniString(file, "Folder", "Empty", "dflt"), "");
    EXPECT_EQ(ReadIniString(file, "Folder", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(folder + "\\Absent.ini", "Folder", "Log", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString("Velto.ini", "Folder", "Log", "dflt"), "dflt");  // no folder
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace veltonet
