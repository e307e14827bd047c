// A host of the built libveltonet.so that sees only its C interface: the library's own
// folder as the plug-in folder, and the example receiver plug-in, which subclasses the
// exported TCPReceiver.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "veltonet/receiver.h"

#ifndef VELTONET_RECEIVER_PLUGIN_DIR
#error "the build passes the folder of ReceiverPlugin.so"
#endif
#ifndef VELTONET_LIBRARY_DIR
#error "the build passes the folder of libveltonet.so"
#endif

namespace {

struct LogRecord {
    std::string source, text;
};

void R_CALL CaptureLog(void* context, const char* /*logName*/, const char* source, const char* text,
                       const char* /*address*/) {
    static_cast<std::vector<LogRecord>*>(context)->push_back(
        {source != nullptr ? source : "", text != nullptr ? text : ""});
}

std::string Frame(uint16_t type, const std::string& body) {
    const auto size = static_cast<uint16_t>(body.size() + 4);
    return std::string{char(size & 0xFF), char(size >> 8), char(type & 0xFF), char(type >> 8)} +
           body;
}

class HostedLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/veltonet-hosted-XXXXXX";
        folder = mkdtemp(pattern);
        setenv("VELTONET_LOG_DIR", folder.c_str(), 1);
        unsetenv("VELTONET_PLUGIN_DIR");
        R_ReceiverInitialize();
        RX_SetLogCallback(&CaptureLog, &logs);

        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listenFd, 8), 0);
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    void TearDown() override {
        for (int fd : peers)
            close(fd);
        close(listenFd);
        R_ReceiverTerminate();
        R_FreeExternalReceiverLibrary();
        R_FreeCompressLibrary();
        RX_SetLogCallback(nullptr, nullptr);
        unsetenv("VELTONET_PLUGIN_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    bool PumpUntil(bool (*done)(void*), void* h) {
        for (int round = 0; round < 500; ++round) {
            if (done(h))
                return true;
            RX_ProcessEvents(10);
        }
        return done(h);
    }

    // Connects h to the raw listener and answers with the acceptance; the peer's descriptor.
    int Connect(void* h) {
        EXPECT_TRUE(R_ConnectReceiver(h));
        EXPECT_TRUE(PumpUntil([](void* r) { return R_IsReceiverConnected(r) == 1; }, h));
        pollfd p{listenFd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 2000), 1);
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        peers.push_back(fd);
        const std::string accept = Frame(60011, "");
        EXPECT_EQ(send(fd, accept.data(), accept.size(), MSG_NOSIGNAL), 4);
        EXPECT_TRUE(PumpUntil([](void* r) { return R_IsReceiverAccepted(r) == 1; }, h));
        return fd;
    }

    static std::string Read(int fd, size_t n) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char buffer[4096];
        while (bytes.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) == 1) {
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                bytes.append(buffer, static_cast<size_t>(got));
            }
        }
        return bytes;
    }

    std::vector<std::string> TextsFrom(const std::string& source) const {
        std::vector<std::string> texts;
        for (const LogRecord& r : logs) {
            if (r.source == source)
                texts.push_back(r.text);
        }
        return texts;
    }

    std::string folder;
    std::vector<LogRecord> logs;
    int listenFd = -1;
    uint16_t port = 0;
    std::vector<int> peers;
};

TEST_F(HostedLibrary, PlugInsAreLookedForBesideTheLibrary) {
    const std::string path = R_GetDllPath();
    EXPECT_EQ(std::filesystem::path(path).parent_path(),
              std::filesystem::canonical(VELTONET_LIBRARY_DIR));
    EXPECT_EQ(std::filesystem::path(path).filename(), "libveltonet.so.2.6.5.107");

    char error[64] = "x";
    R_LoadCompressLibrary(error, sizeof error);  // Codec.so sits beside the library
    EXPECT_EQ(R_IsCompressLibraryLoaded(), 1) << error;
    EXPECT_STREQ(R_GetCompressLibraryVersion(), R_GetDllVersion());

    R_LoadExternalReceiverLibrary(error, sizeof error);  // the example lives elsewhere
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_STREQ(error, "");
}

TEST_F(HostedLibrary, TheExamplePlugInAnswersItsNamesWithALoggingReceiver) {
    setenv("VELTONET_PLUGIN_DIR", VELTONET_RECEIVER_PLUGIN_DIR, 1);
    char error[256] = "x";
    R_LoadExternalReceiverLibrary(error, sizeof error);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1) << error;
    EXPECT_STREQ(error, "");
    EXPECT_NE(std::strstr(R_GetExternalReceiverDescription(), "\"example.\""), nullptr);
    EXPECT_STREQ(R_GetExternalReceiverVersion(), R_GetDllVersion());
    EXPECT_STREQ(R_GetReceiverHeaderVersion(), R_GetHeaderVersion());
    EXPECT_STREQ(R_GetObserverHeaderVersion(), R_GetHeaderVersion());

    void* claimed = R_CreateTCPReceiver("example.orders", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    void* declined = R_CreateTCPReceiver("orders", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    ASSERT_NE(claimed, nullptr);
    ASSERT_NE(declined, nullptr);
    EXPECT_EQ(R_GetReceiverCount(), 2u);
    EXPECT_EQ(R_FindReceiver("example.orders"), claimed);
    const int claimedPeer = Connect(claimed);
    const int declinedPeer = Connect(declined);

    const std::string request = Frame(700, "abc");
    EXPECT_EQ(R_SendBuffer(claimed, request.data(), 7, false), 1);
    EXPECT_EQ(R_SendBuffer(declined, request.data(), 7, false), 1);
    EXPECT_EQ(R_SendBuffer(claimed, "ab", 2, false), 1);
    EXPECT_EQ(Read(claimedPeer, 9), request + "ab");
    EXPECT_EQ(Read(declinedPeer, 7), request);
    EXPECT_EQ(TextsFrom("example.orders"),
              (std::vector<std::string>{"Request type 700 size 7", "Request of 2 bytes"}));
    EXPECT_TRUE(TextsFrom("orders").empty());

    // Unloaded while its receiver lives: it counts as unloaded, and the receiver, whose code
    // is the plug-in's, keeps working until the host deletes it.
    R_FreeExternalReceiverLibrary();
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_STREQ(R_GetExternalReceiverVersion(), "");
    EXPECT_EQ(R_SendBuffer(claimed, request.data(), 7, false), 1);
    EXPECT_EQ(Read(claimedPeer, 7), request);
    EXPECT_EQ(TextsFrom("example.orders").size(), 3u);
    R_DeleteReceiver(claimed);

    // Loaded again, the factory answers again.
    R_LoadExternalReceiverLibrary(error, sizeof error);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1) << error;
    void* again = R_CreateTCPReceiver("example.again", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    ASSERT_NE(again, nullptr);
    R_DeleteReceiver(again);
}

}  // namespace
