#include "veltonet/companion/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace veltonet {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::SizeIs;

struct Record {
    std::string logName;
    std::string source;
    std::string text;
    std::optional<std::string> address;  // nullopt: the callback got a null address
    bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* out) {
    *out << "{" << r.logName << ", " << r.source << ", " << r.text << ", "
         << (r.address ? *r.address : "(null)") << "}";
}

void Collect(void* context, const char* logName, const char* source, const char* text,
             const char* address) {
    static_cast<std::vector<Record>*>(context)->push_back(
        Record{logName, source, text,
               address != nullptr ? std::optional<std::string>(address) : std::nullopt});
}

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "veltonet-log-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        SetLogCallback(Collect, &records);
    }
    void TearDown() override {
        SetLogCallback(nullptr, nullptr);
        std::error_code error;
        fs::remove_all(folder, error);
    }

    void Write(LogHandle log, const char* source, const char* text, const char* address) {
        WriteLog(log, source, text, address, 0, -1, 1000, 0);
    }

    fs::path folder;
    std::vector<Record> records;
};

TEST_F(LogTest, TwoOpensOfOneNameAndFolderShareOneFile) {
    LogHandle first = OpenLog(0, "SocketErrors", folder.c_str());
    // Another spelling of the same folder reaches the same file.
    LogHandle second = OpenLog(0, "SocketErrors", (folder.string() + "/./").c_str());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    Write(first, "Quotes", "Connection refused", "127.0.0.1");
    Write(second, "Orders", "Connection reset by peer", "");

    // Each record is in the file before WriteLog returns.
    const auto lines = Lines(folder / "SocketErrors.log");
    EXPECT_THAT(FilesIn(folder), ElementsAre("SocketErrors.log"));
    ASSERT_THAT(lines, SizeIs(2));
    EXPECT_THAT(lines[0], MatchesRegex(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]+\] .*)"));
    EXPECT_THAT(lines[0], HasSubstr("Quotes: Connection refused (127.0.0.1)"));
    EXPECT_THAT(lines[1], HasSubstr("Orders: Connection reset by peer"));
    EXPECT_THAT(lines[1], Not(HasSubstr("(")));
    CloseLog(first);
    CloseLog(second);
}

TEST_F(LogTest, CallbackGetsEveryRecordWithItsLogName) {
    LogHandle errors = OpenLog(0, "SocketErrors", folder.c_str());
    LogHandle other = OpenLog(0, "Other", (folder / "sub").c_str());
    ASSERT_NE(errors, nullptr);
    ASSERT_NE(other, nullptr);

    Write(errors, "Quotes", "Connection refused", "10.0.0.1");
    Write(other, "Logout called", "3", nullptr);
    Write(errors, "Orders", "", "");

    EXPECT_THAT(records,
                ElementsAre(Record{"SocketErrors", "Quotes", "Connection refused", "10.0.0.1"},
                            Record{"Other", "Logout called", "3", std::nullopt},
                            Record{"SocketErrors", "Orders", "", ""}));
    CloseLog(errors);
    CloseLog(other);
}

TEST_F(LogTest, NullCallbackTurnsForwardingOff) {
    LogHandle log = OpenLog(0, "SocketErrors", folder.c_str());
    SetLogCallback(nullptr, nullptr);
    Write(log, "Quotes", "Connection refused", "");
    EXPECT_THAT(records, IsEmpty());
    EXPECT_THAT(Lines(folder / "SocketErrors.log"), SizeIs(1));
    CloseLog(log);
}

TEST_F(LogTest, MissingFoldersAreCreated) {
    const fs::path nested = folder / "a" / "b" / "c";
    LogHandle log = OpenLog(0, "SocketErrors", nested.c_str());
    ASSERT_NE(log, nullptr);
    Write(log, "Quotes", "Connection refused", "");
    EXPECT_THAT(Lines(nested / "SocketErrors.log"), SizeIs(1));
    CloseLog(log);
}

TEST_F(LogTest, FolderThatCannotBeCreatedGivesNoLog) {
    std::ofstream(folder / "plain").put('x');
    EXPECT_EQ(OpenLog(0, "SocketErrors", (folder / "plain" / "logs").c_str()), nullptr);
    EXPECT_EQ(OpenLog(0, "SocketErrors", (folder / "plain").c_str()), nullptr);

    WriteLog(nullptr, "Quotes", "Connection refused", "127.0.0.1", 0, -1, 1000, 0);
    CloseLog(nullptr);
    EXPECT_THAT(records, IsEmpty());
}

TEST_F(LogTest, FileThatCannotBeOpenedGivesNoLog) {
    fs::create_directory(folder / "SocketErrors.log");
    EXPECT_EQ(OpenLog(0, "SocketErrors", folder.c_str()), nullptr);
}

TEST_F(LogTest, NameMustBeAFileNameInsideTheFolder) {
    EXPECT_EQ(OpenLog(0, "../escape", folder.c_str()), nullptr);
    EXPECT_EQ(OpenLog(0, "", folder.c_str()), nullptr);
    EXPECT_EQ(OpenLog(0, nullptr, folder.c_str()), nullptr);
    EXPECT_THAT(FilesIn(folder), IsEmpty());
}

TEST_F(LogTest, ClosingTheLastHandleClosesTheFile) {
    LogHandle log = OpenLog(0, "SocketErrors", folder.c_str());
    Write(log, "Quotes", "first", "");
    CloseLog(log);
    // Were the file still open, the next record would go to the removed file.
    fs::remove(folder / "SocketErrors.log");

    LogHandle reopened = OpenLog(0, "SocketErrors", folder.c_str());
    ASSERT_NE(reopened, nullptr);
    Write(reopened, "Quotes", "second", "");
    const auto lines = Lines(folder / "SocketErrors.log");
    ASSERT_THAT(lines, SizeIs(1));
    EXPECT_THAT(lines[0], HasSubstr("Quotes: second"));
    CloseLog(reopened);
}

TEST_F(LogTest, ClosedHandleIsIgnoredAndOtherHoldersKeepTheFile) {
    LogHandle first = OpenLog(0, "SocketErrors", folder.c_str());
    LogHandle second = OpenLog(0, "SocketErrors", folder.c_str());
    CloseLog(first);
    CloseLog(first);  // must not take second's share
    fs::remove(folder / "SocketErrors.log");

    Write(second, "Quotes", "still open", "");
    // The shared file was not reopened, so the record went to the removed file.
    EXPECT_FALSE(fs::exists(folder / "SocketErrors.log"));
    EXPECT_THAT(records, ElementsAre(Record{"SocketErrors", "Quotes", "still open", ""}));
    CloseLog(second);
}

LogHandle g_closedFromCallback = nullptr;

TEST_F(LogTest, CallbackMayCloseTheLogItIsCalledFor) {
    g_closedFromCallback = OpenLog(0, "SocketErrors", folder.c_str());
    static std::vector<std::string> names;
    names.clear();
    SetLogCallback(
        [](void*, const char* logName, const char*, const char*, const char*) {
            CloseLog(g_closedFromCallback);
            names.push_back(logName);  // still valid after the close
        },
        nullptr);

    Write(g_closedFromCallback, "Quotes", "Connection refused", "");
    Write(g_closedFromCallback, "Quotes", "after close", "");

    EXPECT_THAT(names, ElementsAre("SocketErrors"));
    EXPECT_THAT(Lines(folder / "SocketErrors.log"), SizeIs(1));
}

// Sets or clears one environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_old) {
            setenv(m_name, m_old->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST_F(LogTest, DefaultFolderFollowsTheEnvironment) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv dir("VELTONET_LOG_DIR", "/var/log/velto");
        ScopedEnv state("XDG_STATE_HOME", "/state");
        EXPECT_EQ(DefaultLogFolder(), "/var/log/velto");
    }
    ScopedEnv dir("VELTONET_LOG_DIR", nullptr);
    {
        ScopedEnv state("XDG_STATE_HOME", "/state");
        EXPECT_EQ(DefaultLogFolder(), "/state/veltonet/logs");
    }
    {
        ScopedEnv state("XDG_STATE_HOME", "relative/state");  // not absolute: ignored
        EXPECT_EQ(DefaultLogFolder(), "/home/someone/.local/state/veltonet/logs");
    }
    ScopedEnv state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(DefaultLogFolder(), "/home/someone/.local/state/veltonet/logs");
}

TEST_F(LogTest, NullOrEmptyFolderMeansTheDefaultFolder) {
    ScopedEnv dir("VELTONET_LOG_DIR", (folder / "default").c_str());
    LogHandle byNull = OpenLog(0, "SocketErrors", nullptr);
    LogHandle byEmpty = OpenLog(0, "SocketErrors", "");
    ASSERT_NE(byNull, nullptr);
    Write(byNull, "Quotes", "one", "");
    Write(byEmpty, "Quotes", "two", "");
    EXPECT_THAT(Lines(folder / "default" / "SocketErrors.log"), SizeIs(2));
    CloseLog(byNull);
    CloseLog(byEmpty);
}

}  // namespace
}  // namespace veltonet
