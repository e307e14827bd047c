// Loading and unloading the two plug-ins, against stand-ins that record the calls they get
// (build/test-plugins/<variant>/) and against the real Codec.so.

#include "veltonet/frame/PluginLoader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "veltonet/frame/FrameTestSupport.h"
#include "veltonet/platform/DynamicLibrary.h"
#include "veltonet/platform/Paths.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

#ifndef VELTONET_TEST_PLUGIN_DIR
#error "the build passes the folder of the plug-in stand-ins"
#endif
#ifndef VELTONET_CODEC_DIR
#error "the build passes the folder of Codec.so"
#endif

namespace veltonet {
namespace {

using test::Frame;
using test::ManagerTest;
using test::RecordingObserver;

// ---- the error buffer ----

TEST(ErrorBuffer, NullOrZeroSizedBuffersAreNeverWritten) {
    char text[4] = {'a', 'b', 'c', 'd'};
    ErrorBuffer(text, 0).Write("Compress function is not exported");
    EXPECT_EQ(std::string(text, 4), "abcd");
    ErrorBuffer(nullptr, 16).Write("Compress function is not exported");
}

TEST(ErrorBuffer, PreparingEmptiesTheFirstAndLastBytes) {
    char text[6];
    std::memset(text, 'x', sizeof text);
    ErrorBuffer buffer(text, 6);
    EXPECT_EQ(std::string(text, 6), std::string("\0xxxx\0", 6));
}

TEST(ErrorBuffer, ATextThatDoesNotFitIsCutAndEndsInsideTheBuffer) {
    char text[12];
    std::memset(text, 'x', sizeof text);
    ErrorBuffer(text, 8).Write("Compress function is not exported");
    // Usable size 7: six characters and the NUL; the last byte stays NUL, nothing beyond.
    EXPECT_EQ(std::string(text, 12), std::string("Compre\0\0xxxx", 12));

    ErrorBuffer(text, 8).Write("123456");
    EXPECT_EQ(std::string(text, 8), std::string("123456\0\0", 8));

    ErrorBuffer(text, 1).Write("anything");
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], '2');
}

TEST(PluginFilePath, TheConfiguredFolderOverridesTheLibraryFolder) {
    setenv("VELTONET_PLUGIN_DIR", "/opt/plugins", 1);
    EXPECT_EQ(PluginFilePath("Codec.so"), "/opt/plugins/Codec.so");
    setenv("VELTONET_PLUGIN_DIR", "/opt/plugins/", 1);
    EXPECT_EQ(PluginFilePath("Codec.so"), "/opt/plugins/Codec.so");
    setenv("VELTONET_PLUGIN_DIR", "", 1);
    EXPECT_EQ(PluginFilePath("Codec.so"), FolderOf(LibraryPath()) + "Codec.so");
    unsetenv("VELTONET_PLUGIN_DIR");
    EXPECT_EQ(PluginFilePath("ReceiverPlugin.so"), FolderOf(LibraryPath()) + "ReceiverPlugin.so");
}

// ---- loading and unloading ----

// Plug-in state is library-wide: every test leaves both plug-ins unloaded.
class PluginTest : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        unsetenv("VELTONET_PLUGIN_DIR");
    }
    void TearDown() override {
        R_DestroyAllReceivers();  // before unloading: a plug-in's receivers run its code
        R_FreeExternalReceiverLibrary();
        R_FreeCompressLibrary();
        events.Close();
        unsetenv("VELTONET_PLUGIN_DIR");
        ManagerTest::TearDown();
    }

    // Points the loader at a stand-in and opens it here as well, so that its record of calls
    // stays readable after the loader unloads it.
    void UseVariant(const std::string& variant, const char* fileName) {
        const std::string folder = std::string(VELTONET_TEST_PLUGIN_DIR) + "/" + variant;
        setenv("VELTONET_PLUGIN_DIR", folder.c_str(), 1);
        std::string error;
        ASSERT_TRUE(events.Open(folder + "/" + fileName, &error)) << error;
        reinterpret_cast<void (*)()>(events.Symbol("TestPluginReset"))();
    }
    std::string Events() const {
        return reinterpret_cast<const char* (*)()>(events.Symbol("TestPluginEvents"))();
    }

    // A buffer full of 'x', to see what a load writes.
    struct Buffer {
        Buffer() { std::memset(text, 'x', sizeof text); }
        std::string Text() const { return text; }
        char text[256];
    };

    DynamicLibrary events;
};

TEST_F(PluginTest, AMissingFileLeavesThePlugInUnloadedAndTheBufferEmpty) {
    setenv("VELTONET_PLUGIN_DIR", logFolder.c_str(), 1);  // exists, holds no plug-in
    Buffer compress;
    Buffer external;
    R_LoadCompressLibrary(compress.text, sizeof compress.text);
    R_LoadExternalReceiverLibrary(external.text, sizeof external.text);
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 0);
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_EQ(compress.Text(), "");
    EXPECT_EQ(external.Text(), "");
    EXPECT_EQ(compress.text[255], '\0');
    EXPECT_EQ(compress.text[1], 'x');
}

TEST_F(PluginTest, AFileThatWillNotLoadGivesTheLoadersTextCutToTheBuffer) {
    setenv("VELTONET_PLUGIN_DIR", logFolder.c_str(), 1);
    std::ofstream(logFolder + "/Codec.so") << "not a shared object";
    std::ofstream(logFolder + "/ReceiverPlugin.so") << "not a shared object";

    Buffer full;
    R_LoadCompressLibrary(full.text, sizeof full.text);
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 0);
    EXPECT_NE(full.Text().find(logFolder + "/Codec.so"), std::string::npos) << full.Text();

    Buffer small;
    R_LoadExternalReceiverLibrary(small.text, 16);
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_EQ(std::string(small.text, 17),
              (logFolder + "/Receiv").substr(0, 14) + '\0' + '\0' + 'x');
    EXPECT_EQ(TCPReceiver::GetUncompressFunction(), nullptr);
}

TEST_F(PluginTest, MissingRequiredCompressExportsAreRefusedBeforeAnyCall) {
    const struct {
        const char* variant;
        const char* text;
    } cases[] = {
        {"codec-without-initialize", "CompressInitialize function is not exported"},
        {"codec-without-uncompress", "Uncompress function is not exported"},
        {"codec-without-compress", "Compress function is not exported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        UseVariant(c.variant, "Codec.so");
        Buffer error;
        R_LoadCompressLibrary(error.text, sizeof error.text);
        EXPECT_EQ(error.Text(), c.text);
        EXPECT_EQ(R_IsCompressLibraryLoaded(), 0);
        EXPECT_STREQ(R_GetCompressLibraryVersion(), "");
        EXPECT_EQ(TCPReceiver::GetUncompressFunction(), nullptr);
        EXPECT_EQ(Events(), "");  // CompressInitialize runs only once all three are found
        events.Close();
    }
}

TEST_F(PluginTest, AReceiverPlugInWithoutItsInitializeExportIsRefused) {
    UseVariant("receiver-without-initialize", "ReceiverPlugin.so");
    Buffer error;
    R_LoadExternalReceiverLibrary(error.text, sizeof error.text);
    EXPECT_EQ(error.Text(), "ExternalReceiverInitialize function is not exported");
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_STREQ(R_GetExternalReceiverDescription(), "");
}

TEST_F(PluginTest, ACodecIsInitializedOnceTerminatedOnceAndItsTextsGoWithIt) {
    UseVariant("codec", "Codec.so");
    Buffer error;
    R_LoadCompressLibrary(error.text, sizeof error.text);
    EXPECT_EQ(error.Text(), "");
    ASSERT_EQ(R_IsCompressLibraryLoaded(), 1);
    EXPECT_NE(TCPReceiver::GetUncompressFunction(), nullptr);
    EXPECT_STREQ(R_GetCompressLibraryVersion(), "test codec 1.2");
    EXPECT_STREQ(R_GetCompressLibraryBuild(), "test build 7");

    Buffer again;
    R_LoadCompressLibrary(again.text, sizeof again.text);  // already loaded: nothing
    EXPECT_EQ(again.Text(), "");
    EXPECT_EQ(Events(), "CompressInitialize;");

    R_FreeCompressLibrary();
    EXPECT_EQ(Events(), "CompressInitialize;CompressTerminate;");
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 0);
    EXPECT_EQ(TCPReceiver::GetUncompressFunction(), nullptr);
    EXPECT_STREQ(R_GetCompressLibraryVersion(), "");
    EXPECT_STREQ(R_GetCompressLibraryBuild(), "");
    R_FreeCompressLibrary();  // not loaded: nothing
    EXPECT_EQ(Events(), "CompressInitialize;CompressTerminate;");
}

TEST_F(PluginTest, ACodecWithoutTerminateOrTextsStillLoadsAndUnloads) {
    UseVariant("codec-minimal", "Codec.so");
    R_LoadCompressLibrary(nullptr, 0);  // a buffer is not needed to load
    ASSERT_EQ(R_IsCompressLibraryLoaded(), 1);
    EXPECT_STREQ(R_GetCompressLibraryVersion(), "");
    R_FreeCompressLibrary();
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 0);
    EXPECT_EQ(Events(), "CompressInitialize;");
}

TEST_F(PluginTest, TheFactoryGetsAllNineArgumentsAndANullAnswerGivesTheLibrarysReceiver) {
    UseVariant("receiver", "ReceiverPlugin.so");
    Buffer error;
    R_LoadExternalReceiverLibrary(error.text, sizeof error.text);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1);
    EXPECT_EQ(error.Text(), "");
    EXPECT_STREQ(R_GetExternalReceiverDescription(), "declines all");
    EXPECT_STREQ(R_GetExternalReceiverVersion(), "0.9");
    EXPECT_STREQ(R_GetExternalReceiverBuild(), "test build 3");
    EXPECT_STREQ(R_GetReceiverHeaderVersion(), "2.6.5.100");
    EXPECT_STREQ(R_GetObserverHeaderVersion(), "2.6.5.101");
    EXPECT_TRUE(R_IsExternalReceiverDebug());

    void* h = R_CreateTCPReceiver("quotes", "10.0.0.7", 4100, 3, 100, 200, 42, 4101, true);
    EXPECT_EQ(Events(),
              "ExternalReceiverInitialize;"
              "CreateExternalTCPReceiver(quotes,10.0.0.7,4100,3,100,200,42,4101,true);");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(R_GetReceiverName(h), "quotes");
    EXPECT_STREQ(R_GetReceiverIp(h), "10.0.0.7");
    EXPECT_EQ(R_GetReceiverPort(h), 4100);
    EXPECT_EQ(R_GetReconnectSeconds(h), 3u);
    EXPECT_EQ(R_GetReceiveBufferSize(h), 100u);
    EXPECT_EQ(R_GetSendBufferSize(h), 200u);
    EXPECT_EQ(R_GetReceiverLocalPortToBindTo(h), 4101);
    EXPECT_EQ(R_FindReceiver("quotes"), h);

    R_FreeExternalReceiverLibrary();
    EXPECT_EQ(Events(),
              "ExternalReceiverInitialize;"
              "CreateExternalTCPReceiver(quotes,10.0.0.7,4100,3,100,200,42,4101,true);"
              "ExternalReceiverTerminate;");
    EXPECT_STREQ(R_GetExternalReceiverVersion(), "");
    EXPECT_STREQ(R_GetExternalReceiverDescription(), "");
    EXPECT_STREQ(R_GetReceiverHeaderVersion(), "");
    EXPECT_FALSE(R_IsExternalReceiverDebug());

    // Unloaded: the factory is no longer asked.
    EXPECT_NE(R_CreateTCPReceiver("more", "10.0.0.7", 1, 0, 0, 0, 0, 0, false), nullptr);
    EXPECT_EQ(Events().find("more"), std::string::npos);
}

TEST_F(PluginTest, AReceiverPlugInWithOnlyItsInitializeExportLoadsAndUnloads) {
    UseVariant("receiver-minimal", "ReceiverPlugin.so");
    R_LoadExternalReceiverLibrary(nullptr, 0);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1);
    EXPECT_STREQ(R_GetExternalReceiverDescription(), "");
    EXPECT_STREQ(R_GetExternalReceiverBuild(), "");
    EXPECT_STREQ(R_GetObserverHeaderVersion(), "");
    EXPECT_FALSE(R_IsExternalReceiverDebug());
    void* h = R_CreateTCPReceiver("plain", "127.0.0.1", 1, 0, 0, 0, 0, 0, false);
    EXPECT_STREQ(R_GetReceiverType(h), "TCP");

    R_FreeExternalReceiverLibrary();
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_EQ(Events(), "ExternalReceiverInitialize;");
}

TEST_F(PluginTest, PlugInsStayLoadedAcrossTerminateAndInitialize) {
    UseVariant("codec", "Codec.so");
    R_LoadCompressLibrary(nullptr, 0);
    ReceiverManager::Destroy();
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 1);
    ReceiverManager::Create(&clock);
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 1);
    EXPECT_EQ(Events(), "CompressInitialize;");
}

// ---- compressed aggregates on the wire ----

class CompressedAggregate : public test::ConnectedReceiverTest {
  protected:
    void SetUp() override {
        ConnectedReceiverTest::SetUp();
        static_cast<TCPReceiver*>(h)->Add(&observer);
    }
    void TearDown() override {
        static_cast<TCPReceiver*>(h)->Remove(&observer);
        R_FreeCompressLibrary();
        unsetenv("VELTONET_PLUGIN_DIR");
        ConnectedReceiverTest::TearDown();
    }

    // Type 18: bytes 4-7 the uncompressed length, the block from byte 8.
    static std::string Aggregate(const std::string& content, const std::string& block) {
        std::string body(4, '\0');
        Message::WriteU32(body.data(), static_cast<uint32_t>(content.size()));
        return Frame(18, body + block);
    }

    std::vector<uint16_t> TypesAfterConnecting() const {
        std::vector<uint16_t> types;
        for (const auto& record : observer.records) {
            if (record.type != 60012 && record.type != 60001)
                types.push_back(record.type);
        }
        return types;
    }

    RecordingObserver observer;
};

TEST_F(CompressedAggregate, IsUnpackedByCodecSoAndItsAcceptanceIsTaken) {
    setenv("VELTONET_PLUGIN_DIR", VELTONET_CODEC_DIR, 1);
    char error[128] = "x";
    R_LoadCompressLibrary(error, sizeof error);
    ASSERT_EQ(R_IsCompressLibraryLoaded(), 1) << error;
    EXPECT_STREQ(error, "");
    EXPECT_STREQ(R_GetCompressLibraryVersion(), "2.6.5.107");

    DynamicLibrary codec;
    std::string loadError;
    ASSERT_TRUE(codec.Open(std::string(VELTONET_CODEC_DIR) + "/Codec.so", &loadError));
    auto compress = reinterpret_cast<RP_Compress>(codec.Symbol("Compress"));
    ASSERT_NE(compress, nullptr);

    const std::string content =
        Frame(60011, "") + Frame(100, std::string(200, 'a')) + Frame(101, "second");
    std::string block(1024, '\0');
    block.resize(compress(content.data(), static_cast<unsigned int>(content.size()), block.data(),
                          static_cast<unsigned int>(block.size())));
    ASSERT_GT(block.size(), 0u);
    const std::string aggregate = Aggregate(content, block);

    EXPECT_EQ(R_IsReceiverAccepted(h), 0);
    ASSERT_TRUE(test::raw::SendAll(peer, aggregate));
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(101) == 1; }));
    EXPECT_EQ(TypesAfterConnecting(), (std::vector<uint16_t>{60011, 100, 101}));
    EXPECT_EQ(observer.records.back().bytes, Frame(101, "second"));
    EXPECT_EQ(R_IsReceiverAccepted(h), 1);

    // Unloaded, the same aggregate is dropped with its log record.
    R_FreeCompressLibrary();
    ASSERT_TRUE(test::raw::SendAll(peer, aggregate + Frame(102, "")));
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(102) == 1; }));
    EXPECT_EQ(TypesAfterConnecting(), (std::vector<uint16_t>{60011, 100, 101, 102}));
    EXPECT_EQ(logs->Count("M_COMPRESSED_AGGREGATED_BMME_MESSAGE=NULL"), 1u);
}

TEST_F(CompressedAggregate, ARefusedCodecNeverSeesAMessage) {
    const std::string folder = std::string(VELTONET_TEST_PLUGIN_DIR) + "/codec-without-compress";
    setenv("VELTONET_PLUGIN_DIR", folder.c_str(), 1);
    DynamicLibrary refused;
    std::string loadError;
    ASSERT_TRUE(refused.Open(folder + "/Codec.so", &loadError));
    R_LoadCompressLibrary(nullptr, 0);
    ASSERT_EQ(R_IsCompressLibraryLoaded(), 0);

    const std::string content = Frame(100, "x");
    ASSERT_TRUE(test::raw::SendAll(peer, Aggregate(content, content) + Frame(102, "")));
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(102) == 1; }));
    EXPECT_EQ(TypesAfterConnecting(), (std::vector<uint16_t>{102}));
    EXPECT_EQ(logs->Count("M_COMPRESSED_AGGREGATED_BMME_MESSAGE=NULL"), 1u);
    EXPECT_STREQ(reinterpret_cast<const char* (*)()>(refused.Symbol("TestPluginEvents"))(), "");
}

}  // namespace
}  // namespace veltonet
