// A host of the built libveltonet.so that sees only its C interface, with the example
// receiver plug-in, which subclasses the exported TCPReceiver.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "veltonet/receiver.h"

#ifndef VELTONET_RECEIVER_PLUGIN_DIR
#error "the build passes the folder of ReceiverPlugin.so"
#endif

namespace {

using LogTexts = std::map<std::string, std::vector<std::string>>;  // by source

void R_CALL CaptureLog(void* context, const char*, const char* source, const char* text,
                       const char*) {
    (*static_cast<LogTexts*>(context))[source != nullptr ? source : ""].push_back(text);
}

const std::string kAcceptance("\x04\x00\x6b\xea", 4);                     // type 60011, no body
const std::string kRequest = std::string("\x07\x00\xbc\x02", 4) + "abc";  // type 700, 7 bytes

class HostedLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/veltonet-hosted-XXXXXX";
        folder = mkdtemp(pattern);
        setenv("VELTONET_LOG_DIR", folder.c_str(), 1);
        R_ReceiverInitialize();
        RX_SetLogCallback(&CaptureLog, &logs);

        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        RX_SetLogCallback(nullptr, nullptr);
        unsetenv("VELTONET_PLUGIN_DIR");
        std::filesystem::remove_all(folder);
    }

    static bool PumpUntil(const std::function<bool()>& done) {
        for (int round = 0; round < 500 && !done(); ++round)
            RX_ProcessEvents(10);
        return done();
    }

    // Connects h to the raw listener and answers with the acceptance; the peer's descriptor.
    int Connect(void* h) {
        EXPECT_TRUE(R_ConnectReceiver(h));
        pollfd p{listenFd, POLLIN, 0};
        EXPECT_TRUE(PumpUntil([&] { return poll(&p, 1, 0) == 1; }));
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        peers.push_back(fd);
        EXPECT_EQ(send(fd, kAcceptance.data(), 4, MSG_NOSIGNAL), 4);
        EXPECT_TRUE(PumpUntil([&] { return R_IsReceiverAccepted(h) == 1; }));
        return fd;
    }

    // What the peer got, once n bytes arrived or after about five seconds.
    static std::string Read(int fd, size_t n) {
        std::string bytes;
        char buffer[4096];
        for (int i = 0; i < 100 && bytes.size() < n; ++i) {
            pollfd p{fd, POLLIN, 0};
            const ssize_t got = poll(&p, 1, 50) == 1 ? recv(fd, buffer, sizeof buffer, 0) : 0;
            bytes.append(buffer, got > 0 ? size_t(got) : 0);
        }
        return bytes;
    }

    std::string folder;
    LogTexts logs;
    int listenFd = -1;
    uint16_t port = 0;
    std::vector<int> peers;
};

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

    EXPECT_EQ(R_SendBuffer(claimed, kRequest.data(), 7, false), 1);
    EXPECT_EQ(R_SendBuffer(declined, kRequest.data(), 7, false), 1);
    EXPECT_EQ(R_SendBuffer(claimed, "ab", 2, false), 1);
    EXPECT_EQ(Read(claimedPeer, 9), kRequest + "ab");
    EXPECT_EQ(Read(declinedPeer, 7), kRequest);
    EXPECT_EQ(logs["example.orders"],
              (std::vector<std::string>{"Request type 700 size 7", "Request of 2 bytes"}));
    EXPECT_EQ(logs.count("orders"), 0u);

    // Unloaded while its receiver lives: it counts as unloaded, and the receiver, whose code
    // is the plug-in's, keeps working until the host deletes it.
    R_FreeExternalReceiverLibrary();
    EXPECT_EQ(R_IsExternalReceiverLoaded(), 0);
    EXPECT_STREQ(R_GetExternalReceiverVersion(), "");
    EXPECT_EQ(R_SendBuffer(claimed, kRequest.data(), 7, false), 1);
    EXPECT_EQ(Read(claimedPeer, 7), kRequest);
    EXPECT_EQ(logs["example.orders"].size(), 3u);
    R_DeleteReceiver(claimed);

    // Loaded again, the factory answers again.
    R_LoadExternalReceiverLibrary(error, sizeof error);
    ASSERT_EQ(R_IsExternalReceiverLoaded(), 1) << error;
    void* again = R_CreateTCPReceiver("example.again", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    ASSERT_NE(again, nullptr);
    R_DeleteReceiver(again);
}

}  // namespace
