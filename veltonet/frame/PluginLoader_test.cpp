// Loading and unloading the two plug-ins, against stand-ins that record the calls they get
// (build/test-plugins/<variant>/) and against the real Codec.so.

#include "veltonet/frame/PluginLoader.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "veltonet/frame/FrameTestSupport.h"
#include "veltonet/platform/DynamicLibrary.h"
#include "veltonet/platform/Paths.h"
#include "veltonet/tcp/TCPReceiver.h"

#ifndef VELTONET_TEST_PLUGIN_DIR
#error "the build passes the folder of the plug-in stand-ins"
#endif
#ifndef VELTONET_CODEC_DIR
#error "the build passes the folder of Codec.so"
#endif

namespace veltonet {
namespace {

using namespace test;
constexpr const char* kCodecFile = "Codec" VELTONET_PLUGIN_SUFFIX;
constexpr const char* kReceiverPluginFile = "ReceiverPlugin" VELTONET_PLUGIN_SUFFIX;
using Flags = std::vector<bool>;
using Texts = std::vector<std::string>;

// ---- the error buffer ----

TEST(ErrorBuffer, IsEmptiedOnPreparingAndATextThatDoesNotFitEndsInsideIt) {
    char text[12];
    std::memset(text, 'x', sizeof text);
    ErrorBuffer(text, 0).Write("Compress function is not exported");  // never touched
    ErrorBuffer(nullptr, 16).Write("Compress function is not exported");
    EXPECT_EQ(std::string(text, 12), std::string(12, 'x'));

    ErrorBuffer prepared(text, 6);
    EXPECT_EQ(std::string(text, 7), std::string("\0xxxx\0x", 7));  // first and last bytes
    ErrorBuffer(text, 8).Write("123456");  // usable size 7: exactly fits with its NUL
    EXPECT_EQ(std::string(text, 8), std::string("123456\0\0", 8));
    ErrorBuffer(text, 1).Write("anything");
    EXPECT_EQ(std::string(text, 2), std::string(1, '\0') + "2");
}

TEST(PluginFilePath, TheConfiguredFolderOverridesTheLibraryFolder) {
    SetEnvironment("VELTONET_PLUGIN_DIR", "/opt/plugins");
    EXPECT_EQ(PluginFilePath(kCodecFile), std::string("/opt/plugins/") + kCodecFile);
    SetEnvironment("VELTONET_PLUGIN_DIR", "/opt/plugins/");
    EXPECT_EQ(PluginFilePath(kCodecFile), std::string("/opt/plugins/") + kCodecFile);
    SetEnvironment("VELTONET_PLUGIN_DIR", "");
    EXPECT_EQ(PluginFilePath(kCodecFile), FolderOf(LibraryPath()) + kCodecFile);
    SetEnvironment("VELTONET_PLUGIN_DIR", nullptr);
    EXPECT_EQ(PluginFilePath(kReceiverPluginFile), FolderOf(LibraryPath()) + kReceiverPluginFile);
}

// ---- loading and unloading ----

// Plug-in state is library-wide: every test leaves both plug-ins unloaded. The connected
// receiver takes the real codec's output.
class PluginTest : public ConnectedReceiverTest {
  protected:
    void TearDown() override {
        R_DestroyAllReceivers();  // before unloading: a plug-in's receivers run its code
        R_FreeExternalReceiverLibrary();
        R_FreeCompressLibrary();
        plugin.Close();
        SetEnvironment("VELTONET_PLUGIN_DIR", nullptr);
        ConnectedReceiverTest::TearDown();
    }

    // Points the loader at a stand-in and opens it here as well, so that its record of calls
    // stays readable after the loader unloads it.
    void UseVariant(const std::string& variant, const char* fileName) {
        const std::string folder = std::string(VELTONET_TEST_PLUGIN_DIR) + "/" + variant;
        SetEnvironment("VELTONET_PLUGIN_DIR", folder.c_str());
        std::string error;
        ASSERT_TRUE(plugin.Open(folder + "/" + fileName, &error)) << error;
        reinterpret_cast<void (*)()>(plugin.Symbol("TestPluginReset"))();
    }
    std::string Events() const {
        return reinterpret_cast<const char* (*)()>(plugin.Symbol("TestPluginEvents"))();
    }
    // Codec loaded, receiver plug-in loaded, decompressor installed in the receivers.
    static Flags Loaded() {
        return {R_IsCompressLibraryLoaded() == 1, R_IsExternalReceiverLoaded() == 1,
                TCPReceiver::GetUncompressFunction() != nullptr};
    }
    static Texts CodecTexts() {
        return {R_GetCompressLibraryVersion(), R_GetCompressLibraryBuild()};
    }
    // Description, version, build, receiver and observer header versions.
    static Texts ReceiverTexts() {
        return {R_GetExternalReceiverDescription(), R_GetExternalReceiverVersion(),
                R_GetExternalReceiverBuild(), R_GetReceiverHeaderVersion(),
                R_GetObserverHeaderVersion()};
    }

    // A buffer full of 'x', to see what a load writes.
    struct Buffer {
        Buffer() { std::memset(text, 'x', sizeof text); }
        std::string Text() const { return text; }
        char text[256];
    };

    DynamicLibrary plugin;
};

TEST_F(PluginTest, AMissingFileLeavesTheBufferEmptyAndABadOneGivesTheLoadersTextCut) {
    SetEnvironment("VELTONET_PLUGIN_DIR", logFolder.c_str());  // exists, holds no plug-in
    Buffer compress, external;
    R_LoadCompressLibrary(compress.text, sizeof compress.text);
    R_LoadExternalReceiverLibrary(external.text, sizeof external.text);
    EXPECT_EQ(Loaded(), Flags(3, false));
    EXPECT_EQ(compress.Text() + external.Text(), "");

    std::ofstream(logFolder + std::string("/") + kCodecFile) << "not a shared object";
    std::ofstream(logFolder + std::string("/") + kReceiverPluginFile) << "not a shared object";
    R_LoadCompressLibrary(compress.text, sizeof compress.text);
    // The loader's own text: dlerror names the file; Windows' message text does not.
    const std::string named = kWindows ? "" : logFolder + std::string("/") + kCodecFile;
    EXPECT_FALSE(compress.Text().empty());
    EXPECT_NE(compress.Text().find(named), std::string::npos) << compress.Text();
    Buffer small;
    R_LoadExternalReceiverLibrary(small.text, 16);
    EXPECT_EQ(std::string(small.text, 17), compress.Text().substr(0, 14) + '\0' + '\0' + 'x');
    EXPECT_EQ(Loaded(), Flags(3, false));
}

TEST_F(PluginTest, MissingRequiredExportsAreRefusedBeforeAnyCall) {
    const std::pair<const char*, const char*> cases[] = {
        {"codec-without-initialize", "CompressInitialize function is not exported"},
        {"codec-without-uncompress", "Uncompress function is not exported"},
        {"codec-without-compress", "Compress function is not exported"},
        {"receiver-without-initialize", "ExternalReceiverInitialize function is not exported"},
    };
    for (const auto& [variant, text] : cases) {
        SCOPED_TRACE(variant);
        const bool codec = std::string(variant).starts_with("codec");
        UseVariant(variant, codec ? kCodecFile : kReceiverPluginFile);
        Buffer error;
        (codec ? R_LoadCompressLibrary : R_LoadExternalReceiverLibrary)(error.text,
                                                                        sizeof error.text);
        EXPECT_EQ(error.Text(), text);
        EXPECT_EQ(Loaded(), Flags(3, false));
        EXPECT_EQ(Events(), "");  // initialisation runs only once every export is found
        plugin.Close();
    }
}

TEST_F(PluginTest, ACodecIsInitializedOnceTerminatedOnceAndItsTextsGoWithIt) {
    UseVariant("codec", kCodecFile);
    Buffer error;
    R_LoadCompressLibrary(error.text, sizeof error.text);
    EXPECT_EQ(error.Text(), "");
    ASSERT_EQ(Loaded(), (Flags{true, false, true}));
    EXPECT_EQ(CodecTexts(), (Texts{"test codec 1.2", "test build 7"}));
    R_LoadCompressLibrary(error.text, sizeof error.text);  // already loaded: nothing
    EXPECT_EQ(error.Text(), "");
    // Plug-ins are library-wide: they stay loaded across terminate and initialize.
    ReceiverManager::Destroy();
    ReceiverManager::Create(&clock);
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 1);
    EXPECT_EQ(Events(), "CompressInitialize;");

    R_FreeCompressLibrary();
    R_FreeCompressLibrary();  // not loaded: nothing
    EXPECT_EQ(Events(), "CompressInitialize;CompressTerminate;");
    EXPECT_EQ(Loaded(), Flags(3, false));
    EXPECT_EQ(CodecTexts(), Texts(2, ""));
}

TEST_F(PluginTest, PlugInsWithOnlyTheirRequiredExportsLoadAndUnload) {
    UseVariant("codec-minimal", kCodecFile);
    R_LoadCompressLibrary(nullptr, 0);  // a buffer is not needed to load
    ASSERT_EQ(R_IsCompressLibraryLoaded(), 1);
    EXPECT_EQ(CodecTexts(), Texts(2, ""));
    R_FreeCompressLibrary();
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 0);
    EXPECT_EQ(Events(), "CompressInitialize;");
    plugin.Close();

    UseVariant("receiver-minimal", kReceiverPluginFile);
    R_LoadExternalReceiverLibrary(nullptr, 0);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1);
    EXPECT_EQ(ReceiverTexts(), Texts(5, ""));
    EXPECT_FALSE(R_IsExternalReceiverDebug());
    R_FreeExternalReceiverLibrary();
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_EQ(Events(), "ExternalReceiverInitialize;");
}

TEST_F(PluginTest, TheFactoryGetsAllNineArgumentsAndANullAnswerGivesTheLibrarysReceiver) {
    UseVariant("receiver", kReceiverPluginFile);
    Buffer error;
    R_LoadExternalReceiverLibrary(error.text, sizeof error.text);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1);
    EXPECT_EQ(error.Text(), "");
    EXPECT_EQ(ReceiverTexts(),
              (Texts{"declines all", "0.9", "test build 3", "2.6.5.100", "2.6.5.101"}));
    EXPECT_TRUE(R_IsExternalReceiverDebug());

    EXPECT_NE(R_CreateTCPReceiver("quotes", "10.0.0.7", 4100, 3, 100, 200, 42, 4101, true),
              nullptr);
    const std::string created =
        "ExternalReceiverInitialize;"
        "CreateExternalTCPReceiver(quotes,10.0.0.7,4100,3,100,200,42,4101,true);";
    EXPECT_EQ(Events(), created);

    R_FreeExternalReceiverLibrary();
    EXPECT_EQ(Events(), created + "ExternalReceiverTerminate;");
    EXPECT_EQ(ReceiverTexts(), Texts(5, ""));
    EXPECT_FALSE(R_IsExternalReceiverDebug());
    // Unloaded: the factory is no longer asked.
    EXPECT_NE(R_CreateTCPReceiver("more", "10.0.0.7", 1, 0, 0, 0, 0, 0, false), nullptr);
    EXPECT_EQ(Events(), created + "ExternalReceiverTerminate;");
}

// A compressed aggregate on the wire, unpacked by the real Codec.so.
TEST_F(PluginTest, TheRealCodecIsTheOneThatUnpacksACompressedAggregate) {
    SetEnvironment("VELTONET_PLUGIN_DIR", VELTONET_CODEC_DIR);
    R_LoadCompressLibrary(nullptr, 0);
    ASSERT_EQ(R_IsCompressLibraryLoaded(), 1);
    std::string error;
    ASSERT_TRUE(
        plugin.Open(std::string(VELTONET_CODEC_DIR) + std::string("/") + kCodecFile, &error))
        << error;
    auto compress = reinterpret_cast<RP_Compress>(plugin.Symbol("Compress"));

    const std::string content =
        Frame(60011, "") + Frame(100, std::string(200, 'a')) + Frame(101, "second");
    std::string block(1024, '\0');
    block.resize(compress(content.data(), static_cast<unsigned int>(content.size()), block.data(),
                          static_cast<unsigned int>(block.size())));
    ASSERT_GT(block.size(), 0u);
    // Type 18: bytes 4-7 the uncompressed length, the block from byte 8.
    std::string length(4, '\0');
    Message::WriteU32(length.data(), static_cast<uint32_t>(content.size()));
    RecordingObserver observer;
    static_cast<TCPReceiver*>(h)->Add(&observer);

    ASSERT_TRUE(raw::SendAll(peer, Frame(18, length + block)));
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(101) == 1; }));
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{60011, 100, 101}));
    EXPECT_EQ(observer.records[1].bytes, Frame(100, std::string(200, 'a')));
}

}  // namespace
}  // namespace veltonet
