// velto-demo: one loop, a listener and a client on 127.0.0.1, framed messages from the
// client to the server and a periodic timer, printed as a transcript. Exits 0 when every
// message arrived intact, the server saw the client's orderly close and the timer ticked.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "veltonet/platform/AsyncSocket.h"
#include "veltonet/platform/Clock.h"
#include "veltonet/platform/EventLoop.h"
#include "veltonet/platform/WinsockErrors.h"

namespace {

using namespace veltonet;

constexpr TimerId kTickTimer = 1;
constexpr uint32_t kTickPeriodMs = 50;
constexpr int kTicksWanted = 3;
constexpr uint64_t kGiveUpAfterMs = 5000;
constexpr size_t kHeaderSize = 4;

struct Message {
    uint16_t type;
    std::string body;
};

const std::vector<Message> kMessages = {
    {1001, "hello, server"},
    {1002, "quote EURUSD 1.0842"},
    {1003, ""},
    {1004, "goodbye"},
};

// Header: total size including the header, then the type; both little-endian 16-bit.
std::string Frame(const Message& message) {
    size_t size = kHeaderSize + message.body.size();
    std::string frame;
    frame.push_back(static_cast<char>(size & 0xFF));
    frame.push_back(static_cast<char>((size >> 8) & 0xFF));
    frame.push_back(static_cast<char>(message.type & 0xFF));
    frame.push_back(static_cast<char>((message.type >> 8) & 0xFF));
    frame += message.body;
    return frame;
}

uint16_t ReadLe16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                                 (static_cast<uint8_t>(bytes[at + 1]) << 8));
}

struct Transcript {
    std::vector<Message> received;
    bool serverSawClose = false;
    bool failed = false;
    int ticks = 0;
};

class ServerConnection : public AsyncSocket {
  public:
    explicit ServerConnection(Transcript& transcript) : m_transcript(transcript) {}

    void OnReceive(int error) override {
        char chunk[4096];
        int count = Receive(chunk, sizeof(chunk));
        if (error != 0 || count < 0) {
            int code = error != 0 ? error : GetLastSocketError();
            if (code == kWsaEwouldblock) {
                return;
            }
            std::printf("server: receive failed (%d)\n", code);
            m_transcript.failed = true;
            Close();
            return;
        }
        m_pending.append(chunk, static_cast<size_t>(count));
        while (m_pending.size() >= kHeaderSize) {
            uint16_t size = ReadLe16(m_pending, 0);
            if (size < kHeaderSize) {
                std::printf("server: bad message size %u, closing\n", size);
                m_transcript.failed = true;
                Close();
                return;
            }
            if (m_pending.size() < size) {
                break;
            }
            Message message{ReadLe16(m_pending, 2), m_pending.substr(kHeaderSize, size - 4)};
            std::printf("server: message type %u, size %u: \"%s\"\n", message.type, size,
                        message.body.c_str());
            m_transcript.received.push_back(message);
            m_pending.erase(0, size);
        }
    }

    void OnClose(int error) override {
        std::printf("server: the client closed (error %d), %zu bytes left unframed\n", error,
                    m_pending.size());
        m_transcript.serverSawClose = error == 0 && m_pending.empty();
        m_transcript.failed = m_transcript.failed || error != 0;
        Close();
    }

  private:
    Transcript& m_transcript;
    std::string m_pending;
};

class DemoListener : public AsyncSocket {
  public:
    explicit DemoListener(Transcript& transcript) : m_transcript(transcript) {}

    void OnAccept(int error) override {
        auto connection = std::make_unique<ServerConnection>(m_transcript);
        std::string address;
        uint16_t port = 0;
        if (error != 0 || !Accept(*connection, &address, &port)) {
            std::printf("server: accept failed (%d)\n", error != 0 ? error : GetLastSocketError());
            m_transcript.failed = true;
            return;
        }
        std::printf("server: accepted %s:%u\n", address.c_str(), port);
        m_connections.push_back(std::move(connection));
    }

  private:
    Transcript& m_transcript;
    std::vector<std::unique_ptr<ServerConnection>> m_connections;
};

class DemoClient : public AsyncSocket {
  public:
    explicit DemoClient(Transcript& transcript) : m_transcript(transcript) {
        for (const Message& message : kMessages) {
            m_outgoing += Frame(message);
        }
    }

    void OnConnect(int error) override {
        if (error != 0) {
            std::printf("client: connect failed (%d)\n", error);
            m_transcript.failed = true;
            return;
        }
        std::printf("client: connected\n");
    }

    // Writable: send what is left; what would block waits for the next OnSend.
    void OnSend(int /*error*/) override {
        while (!m_outgoing.empty()) {
            int sent = Send(m_outgoing.data(), static_cast<int>(m_outgoing.size()));
            if (sent < 0) {
                if (GetLastSocketError() != kWsaEwouldblock) {
                    std::printf("client: send failed (%d)\n", GetLastSocketError());
                    m_transcript.failed = true;
                }
                return;
            }
            std::printf("client: sent %d bytes\n", sent);
            m_outgoing.erase(0, static_cast<size_t>(sent));
        }
        if (!m_shutDown) {
            std::printf("client: everything sent, closing the sending side\n");
            m_shutDown = ShutDown(kShutSend);
        }
    }

  private:
    Transcript& m_transcript;
    std::string m_outgoing;
    bool m_shutDown = false;
};

}  // namespace

int main() {
    Transcript transcript;
    SteadyClock clock;
    EventLoop loop;
    if (!loop.isValid()) {
        std::printf("velto-demo: no event loop\n");
        return 1;
    }
    loop.SetTimerHandler([&](TimerId id) {
        ++transcript.ticks;
        std::printf("timer: tick %d\n", transcript.ticks);
        if (transcript.ticks == kTicksWanted) {
            loop.KillTimer(id);
        }
    });
    loop.SetTimer(kTickTimer, kTickPeriodMs);

    DemoListener listener(transcript);
    std::string address;
    uint16_t port = 0;
    if (!listener.Create(loop) || !listener.Bind(0, "127.0.0.1") || !listener.Listen() ||
        !listener.GetSockName(address, port)) {
        std::printf("velto-demo: cannot listen (%d)\n", GetLastSocketError());
        return 1;
    }
    std::printf("server: listening on %s:%u\n", address.c_str(), port);

    DemoClient client(transcript);
    if (!client.Create(loop)) {
        std::printf("velto-demo: cannot make the client socket (%d)\n", GetLastSocketError());
        return 1;
    }
    if (!client.Connect("127.0.0.1", port) && GetLastSocketError() != kWsaEwouldblock) {
        std::printf("client: connect failed at once (%d)\n", GetLastSocketError());
        return 1;
    }
    std::printf("client: connecting to %s:%u\n", address.c_str(), port);

    uint64_t giveUpAt = clock.NowMs() + kGiveUpAfterMs;
    while (!transcript.failed && (!transcript.serverSawClose || transcript.ticks < kTicksWanted)) {
        if (clock.NowMs() >= giveUpAt) {
            std::printf("velto-demo: gave up after %llu ms\n",
                        static_cast<unsigned long long>(kGiveUpAfterMs));
            return 1;
        }
        loop.ProcessEvents(100);
    }

    bool intact = transcript.received.size() == kMessages.size();
    for (size_t i = 0; intact && i < kMessages.size(); ++i) {
        intact = transcript.received[i].type == kMessages[i].type &&
                 transcript.received[i].body == kMessages[i].body;
    }
    if (transcript.failed || !intact) {
        std::printf("velto-demo: FAILED (%zu of %zu messages intact)\n", transcript.received.size(),
                    kMessages.size());
        return 1;
    }
    std::printf("velto-demo: %zu messages received intact, %d timer ticks\n",
                transcript.received.size(), transcript.ticks);
    return 0;
}
