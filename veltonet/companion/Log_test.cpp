#include "veltonet/companion/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace veltonet {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::SizeIs;

// "<log>|<source>|<text>|<address>", the address "(null)" when the callback got none.
void Collect(void* context, const char* logName, const char* source, const char* text,
             const char* address) {
    static_cast<std::vector<std::string>*>(context)->push_back(
        std::string(logName) + "|" + source + "|" + text + "|" + (address ? address : "(null)"));
}

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// "[YYYY-MM-DD HH:MM:SS.mmm] " and then exactly the text.
MATCHER_P(Stamped, text, "") {
    const std::string line = arg;
    const std::string shape = "[dddd-dd-dd dd:dd:dd.ddd] ";
    if (line.size() != shape.size() + std::string(text).size() || !line.ends_with(text)) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                            : line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// Sets (value null: clears) one environment variable for the life of the object.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name))
            saved = old;
        test::SetEnvironment(name, value);
    }
    ~ScopedEnv() { test::SetEnvironment(name, saved ? saved->c_str() : nullptr); }
    const char* name;
    std::optional<std::string> saved;
};

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = test::MakeTempFolder();
        ASSERT_FALSE(folder.empty());
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
    std::vector<std::string> records;
};

TEST_F(LogTest, OpensOfOneFileShareItUntilTheLastCloseAndEachRecordReachesFileAndCallback) {
    LogHandle first = OpenLog(0, "SocketErrors", folder.string().c_str());
    // Another spelling of the same folder reaches the same file.
    LogHandle second = OpenLog(0, "SocketErrors", (folder.string() + "/./").c_str());
    // Missing folders are created.
    LogHandle other = OpenLog(0, "Other", (folder / "a" / "b").string().c_str());

    Write(first, "Quotes", "Connection refused", "127.0.0.1");
    Write(second, "Orders", "Connection reset by peer", "");
    Write(other, "Logout called", "3", nullptr);

    // Each record is in its file before WriteLog returns.
    EXPECT_THAT(Lines(folder / "SocketErrors.log"),
                ElementsAre(Stamped("Quotes: Connection refused (127.0.0.1)"),
                            MatchesRegex(R"(\[.*\] Orders: Connection reset by peer)")));
    EXPECT_THAT(Lines(folder / "a" / "b" / "Other.log"), SizeIs(1));
    EXPECT_THAT(records, ElementsAre("SocketErrors|Quotes|Connection refused|127.0.0.1",
                                     "SocketErrors|Orders|Connection reset by peer|",
                                     "Other|Logout called|3|(null)"));

    SetLogCallback(nullptr, nullptr);  // turns forwarding off, not writing
    Write(first, "Quotes", "unforwarded", "");
    EXPECT_THAT(records, SizeIs(3));
    EXPECT_THAT(Lines(folder / "SocketErrors.log"), SizeIs(3));
    CloseLog(other);

    SetLogCallback(Collect, &records);
    CloseLog(first);
    CloseLog(first);  // must not take second's share
    if (test::kWindows) {
        // A file still open cannot be removed there: the share writes on, and the removal
        // succeeds once the last close has closed the file.
        Write(second, "Quotes", "still open", "");
        EXPECT_THAT(Lines(folder / "SocketErrors.log"), SizeIs(4));
        CloseLog(second);
        std::error_code error;
        EXPECT_TRUE(fs::remove(folder / "SocketErrors.log", error)) << error.message();
    } else {
        fs::remove(folder / "SocketErrors.log");
        Write(second, "Quotes", "still open", "");
        // The shared file was not reopened, so the record went to the removed file.
        EXPECT_FALSE(fs::exists(folder / "SocketErrors.log"));
        CloseLog(second);
    }
    EXPECT_EQ(records.back(), "SocketErrors|Quotes|still open|");
    // Were the file still open, this record would go to the removed file as well.
    LogHandle reopened = OpenLog(0, "SocketErrors", folder.string().c_str());
    Write(reopened, "Quotes", "second", "");
    EXPECT_THAT(Lines(folder / "SocketErrors.log"), ElementsAre(MatchesRegex(".* Quotes: second")));
    CloseLog(reopened);
}

TEST_F(LogTest, BadNameFolderOrFileGivesNoLogAndANullHandleWritesNothing) {
    std::ofstream(folder / "plain").put('x');
    EXPECT_EQ(OpenLog(0, "SocketErrors", (folder / "plain" / "logs").string().c_str()), nullptr);
    EXPECT_EQ(OpenLog(0, "SocketErrors", (folder / "plain").string().c_str()), nullptr);
    fs::create_directory(folder / "SocketErrors.log");
    EXPECT_EQ(OpenLog(0, "SocketErrors", folder.string().c_str()), nullptr);
    // The name is a file name inside the folder.
    EXPECT_EQ(OpenLog(0, "../escape", (folder / "plain2").string().c_str()), nullptr);
    EXPECT_EQ(OpenLog(0, "", folder.string().c_str()), nullptr);
    EXPECT_EQ(OpenLog(0, nullptr, folder.string().c_str()), nullptr);
    EXPECT_FALSE(fs::exists(folder / "escape.log"));

    Write(nullptr, "Quotes", "Connection refused", "127.0.0.1");
    CloseLog(nullptr);
    EXPECT_THAT(records, IsEmpty());
}

LogHandle g_closedFromCallback = nullptr;

TEST_F(LogTest, CallbackMayCloseTheLogItIsCalledFor) {
    g_closedFromCallback = OpenLog(0, "SocketErrors", folder.string().c_str());
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

TEST_F(LogTest, DefaultFolderFollowsTheEnvironmentAndServesNullOrEmptyFolders) {
    ScopedEnv local("LOCALAPPDATA", "C:\\Users\\someone\\AppData\\Local");
    ScopedEnv home("HOME", "/home/someone");
    const struct {
        const char* dir;
        const char* state;
        const char* folder;
    } cases[] = {
        {"/var/log/velto", "/state", "/var/log/velto"},
        {nullptr, "/state", "/state/veltonet/logs"},
        {nullptr, "relative/state", "/home/someone/.local/state/veltonet/logs"},  // not absolute
        {nullptr, nullptr, "/home/someone/.local/state/veltonet/logs"},
    };
    for (const auto& c : cases) {
        ScopedEnv dir("VELTONET_LOG_DIR", c.dir), state("XDG_STATE_HOME", c.state);
        // Windows keeps per-user data under %LOCALAPPDATA%, whatever HOME and XDG say.
        EXPECT_EQ(DefaultLogFolder(), c.dir != nullptr ? c.dir
                                      : test::kWindows
                                          ? "C:\\Users\\someone\\AppData\\Local\\veltonet\\logs"
                                          : c.folder);
    }

    ScopedEnv ownDir("VELTONET_LOG_DIR", (folder / "default").string().c_str());
    LogHandle byNull = OpenLog(0, "SocketErrors", nullptr);
    LogHandle byEmpty = OpenLog(0, "SocketErrors", "");
    Write(byNull, "Quotes", "one", "");
    Write(byEmpty, "Quotes", "two", "");
    EXPECT_THAT(Lines(folder / "default" / "SocketErrors.log"), SizeIs(2));
    CloseLog(byNull);
    CloseLog(byEmpty);
}

}  // namespace
}  // namespace veltonet
