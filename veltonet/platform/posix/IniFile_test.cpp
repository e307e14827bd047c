#include "veltonet/platform/IniFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace veltonet {
namespace {

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velto-ini-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    std::string Write(const std::string& text) {
        std::string path = m_folder + "/Velto.ini";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::string m_folder;
};

TEST_F(IniFileTest, FirstKeyWinsCaseIsIgnoredQuotesAreRemovedAndBrokenLinesAreSkipped) {
    std::string file = Write(
        "garbage without equals\r\n[Folder\r\n; comment\r\n[Other]\r\nLog=wrong\r\n[folder]\r\n"
        "LOG = \"/path with blanks/\" \r\nLog=/second\r\nSingle='x'\r\nHalf=\"open\r\n");
    EXPECT_EQ(ReadIniString(file, "Folder", "Log", ""), "/path with blanks/");
    EXPECT_EQ(ReadIniString(file, "FOLDER", "log", ""), "/path with blanks/");
    EXPECT_EQ(ReadIniString(file, "Other", "log", ""), "wrong");
    EXPECT_EQ(ReadIniString(file, "Folder", "Single", ""), "x");
    EXPECT_EQ(ReadIniString(file, "Folder", "Half", ""), "\"open");
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefaultButAnEmptyValueIsEmpty) {
    std::string file = Write("[Folder]\nLog=\nTrace =   \n");
    EXPECT_EQ(ReadIniString(m_folder + "/Absent.ini", "Folder", "Log", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(m_folder, "Folder", "Log", "dflt"), "dflt");  // a folder
    EXPECT_EQ(ReadIniString(file, "Missing", "Log", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(file, "Folder", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(file, "Folder", "Missing", nullptr), "");
    EXPECT_EQ(ReadIniString(file, nullptr, "Log", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(file, "Folder", nullptr, "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(file, "Folder", "Log", "dflt"), "");
    EXPECT_EQ(ReadIniString(file, "Folder", "Trace", "dflt"), "");
}

TEST_F(IniFileTest, OverlongLineReadsAsAbsentAndInventsNoKey) {
    std::string tail(150, 'b');
    std::string file =
        Write("[Folder]\nLog=/" + std::string(150, 'a') + "/Trace=" + tail + "\nOther=kept\n");
    EXPECT_EQ(ReadIniString(file, "Folder", "Log", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(file, "Folder", "Trace", "dflt"), "dflt");
    EXPECT_EQ(ReadIniString(file, "Folder", "Other", "dflt"), "kept");
    std::string fits(180, 'c');
    file = Write("[Folder]\nLog=" + fits + "\n");
    EXPECT_EQ(ReadIniString(file, "Folder", "Log", "dflt"), fits);
}

}  // namespace
}  // namespace veltonet
