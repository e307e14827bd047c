#pragma once

// Helpers for the receiver-variant tests: datagram senders on loopback, sequenced packets,
// TCP links to a raw server socket, and running a test inside a private network namespace.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/platform/Address.h"
#include "veltonet/platform/AsyncSocket.h"
#include "veltonet/platform/EventLoop.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet::test {

// ---- private network ----

enum class PrivateNetwork { Inside, Passed, Failed, Unavailable };

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Multicast never leaves a private network namespace. Outside one, runs the current test again
// under `unshare -n` with lo up and 224.0.0.0/4 routed to it, and reports how it went.
inline PrivateNetwork RunInPrivateNetwork(std::string* why) {
    if (std::getenv("VELTONET_PRIVATE_NETWORK") != nullptr) {
        return PrivateNetwork::Inside;
    }
    if (kWindows) {
        *why =
            "multicast test not run here: a Windows program cannot make a private network "
            "namespace; the Windows test runner runs it again inside one";
        return PrivateNetwork::Unavailable;
    }
    const std::string setup = "ip link set lo up && ip route add 224.0.0.0/4 dev lo";
    const std::string probe = "timeout 20 unshare -n /bin/sh -c " + ShellQuote(setup);
    if (std::system((probe + " >/dev/null 2>&1").c_str()) != 0) {
        *why =
            "multicast test not run: it needs root to create a private network namespace "
            "(unshare -n) with lo up and 224.0.0.0/4 routed to it";
        return PrivateNetwork::Unavailable;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string script =
        setup + " && VELTONET_PRIVATE_NETWORK=1 exec \"$0\" --gtest_filter=\"$1\"";
    const std::string command = "timeout 90 unshare -n /bin/sh -c " + ShellQuote(script) + " " +
                                ShellQuote(self) + " " + ShellQuote(filter);
    if (std::system(command.c_str()) != 0) {
        *why = "failed inside the private network namespace (its output is above)";
        return PrivateNetwork::Failed;
    }
    return PrivateNetwork::Passed;
}

// First statement of a multicast test: the rest of the body runs only inside the namespace.
#define VELTONET_IN_PRIVATE_NETWORK()                           \
    do {                                                        \
        std::string why_;                                       \
        switch (::veltonet::test::RunInPrivateNetwork(&why_)) { \
            case ::veltonet::test::PrivateNetwork::Inside:      \
                break;                                          \
            case ::veltonet::test::PrivateNetwork::Passed:      \
                return;                                         \
            case ::veltonet::test::PrivateNetwork::Unavailable: \
                GTEST_SKIP() << why_;                           \
            case ::veltonet::test::PrivateNetwork::Failed:      \
                FAIL() << why_;                                 \
        }                                                       \
    } while (0)

// ---- datagrams ----

// A datagram socket on its own loop, which is never pumped: it only sends.
class DatagramSender {
  public:
    explicit DatagramSender(const char* address = "127.0.0.1") {
        ok = socket.Create(loop, kSockDatagram, 0) && socket.Bind(0, address);
        std::string ignored;
        socket.GetSockName(ignored, port);
    }
    // Multicast goes out of the loopback interface (inside a private network only).
    bool UseLoopbackForMulticast() {
        uint32_t loopback = 0;
        return ParseDottedIPv4("127.0.0.1", &loopback) &&
               socket.SetSockOpt(kIpMulticastIf, &loopback, sizeof(loopback), kIpProtoIp);
    }
    bool Send(const std::string& bytes, uint16_t toPort, const char* to = "127.0.0.1") {
        return socket.SendTo(bytes.data(), int(bytes.size()), toPort, to) == int(bytes.size());
    }

    EventLoop loop;
    AsyncSocket socket;
    uint16_t port = 0;
    bool ok = false;
};

// ---- sequenced packets ----

inline std::string Packet(uint32_t number, const std::string& messages) {
    std::string body(4, '\0');
    Message::WriteU32(body.data(), number);
    return Frame(kMsgSequencedPacket, body + messages);
}
// The message that packet n carries in these tests.
inline std::string Payload(uint32_t n) {
    return Frame(3000, "p" + std::to_string(n));
}
inline std::string Packet(uint32_t number) {
    return Packet(number, Payload(number));
}
inline std::string RepairRequest(uint32_t first) {
    std::string bytes(8, '\0');
    Message::WriteHeader(bytes.data(), 8, kMsgRepairRequest);
    Message::WriteU32(bytes.data() + 4, first);
    return bytes;
}
// Bodies of the payload messages an observer got, in order.
inline std::vector<std::string> Payloads(const RecordingObserver& observer) {
    std::vector<std::string> bodies;
    for (const Record& r : observer.records)
        if (r.type == 3000)
            bodies.push_back(r.bytes.substr(4));
    return bodies;
}

// ---- fixture ----

class VariantsTest : public ManagerTest {
  protected:
    // What R_ConnectReceiver does.
    static bool Connect(TCPReceiver& receiver) {
        receiver.InvalidateSocket(true);
        return receiver.CreateSocket();
    }
    // Sends one datagram to receiver's local port and runs the loop until it was read.
    bool Feed(DatagramSender& sender, TCPReceiver& receiver, const std::string& bytes) {
        const unsigned int expected = receiver.GetSizeReceived() + unsigned(bytes.size());
        return sender.Send(bytes, receiver.GetLocalPort()) &&
               PumpUntil([&] { return receiver.GetSizeReceived() == expected; });
    }

    // A TCP connection from a receiver to a raw server socket of the test.
    template <class Receiver>
    struct Link {
        std::unique_ptr<Receiver> receiver;
        RecordingObserver observer;
        int fd = -1;
        ~Link() {
            receiver.reset();
            raw::Close(fd);
        }
        // Everything the server got so far; a marker sent last proves nothing else is due.
        std::string Received() {
            receiver->SendBuffer("MARK", 4);
            std::string bytes;
            for (int i = 0; i < 100 && bytes.find("MARK") == std::string::npos; ++i)
                bytes += raw::ReadAvailable(fd, 20);
            return bytes.substr(0, bytes.find("MARK"));
        }
    };
    // make: the receiver, given the server's port.
    template <class Receiver, class Make>
    bool Open(Link<Receiver>& link, Make make) {
        uint16_t port = 0;
        const int listenFd = raw::Listen(&port);
        link.receiver = make(port);
        link.receiver->Add(&link.observer);
        Connect(*link.receiver);
        link.fd = raw::AcceptWithin(listenFd, 2000);
        raw::Close(listenFd);
        return link.fd >= 0 && PumpUntil([&] { return link.receiver->isConnected(); });
    }
    // The server sends; runs the loop until the receiver read it all.
    template <class Receiver>
    bool Answer(Link<Receiver>& link, const std::string& bytes) {
        const unsigned int expected = link.receiver->GetSizeReceived() + unsigned(bytes.size());
        return raw::SendAll(link.fd, bytes) &&
               PumpUntil([&] { return link.receiver->GetSizeReceived() == expected; });
    }
};

}  // namespace veltonet::test
