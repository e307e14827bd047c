// The stream figure on Windows, for reference only: timings under Wine measure Wine as much
// as the library. A sender thread writes framed messages (bytes 0-1 size, 2-3 type, 4-7
// sequence number) as fast as the socket takes them; the receiving thread is either the
// library's TCP receiver with one observer, pumped by RX_ProcessEvents, or a raw Winsock loop
// (WSAPoll, recv, the same framing). Contenders take turns; medians of the runs are printed
// with the receiving thread's CPU per message.
//
//   velto-wine-stream [--messages N] [--size BYTES] [--runs R]
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "veltonet/receiver.h"

namespace {

constexpr uint16_t kTypeData = 5000;
constexpr uint16_t kTypeDisconnected = 60002;

struct Settings {
    uint32_t messages = 2000000;
    uint16_t size = 64;
    int runs = 3;
};

struct Tally {
    uint32_t expected = 0;
    uint32_t count = 0;
    uint32_t misordered = 0;
    bool closed = false;
    std::chrono::steady_clock::time_point first, last;

    void OnData(const char* message) {
        uint32_t sequence = 0;
        std::memcpy(&sequence, message + 4, 4);
        misordered += sequence != count ? 1 : 0;
        const auto now = std::chrono::steady_clock::now();
        if (count++ == 0) {
            first = now;
        }
        last = now;
    }
    bool Done() const { return count >= expected || closed; }
};

struct Result {
    double messagesPerSecond = 0;
    double cpuNsPerMessage = 0;
    bool complete = false;
};

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Listens on a kernel-picked loopback port, takes one connection and writes the messages.
class Sender {
  public:
    explicit Sender(const Settings& settings) {
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_listener, 1) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::fprintf(stderr, "sender: no listening socket\n");
            std::exit(1);
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, settings] { Run(settings); });
    }
    ~Sender() {
        m_thread.join();
        closesocket(m_listener);
    }
    uint16_t Port() const { return m_port; }

  private:
    void Run(const Settings& settings) {
        const SOCKET peer = accept(m_listener, nullptr, nullptr);
        if (peer == INVALID_SOCKET) {
            return;
        }
        const uint32_t perBatch = 65536 / settings.size;
        std::vector<char> batch(size_t(perBatch) * settings.size, 'x');
        for (uint32_t sent = 0; sent < settings.messages;) {
            const uint32_t n = std::min(perBatch, settings.messages - sent);
            for (uint32_t i = 0; i < n; ++i) {
                char* message = batch.data() + size_t(i) * settings.size;
                const uint32_t sequence = sent + i;
                std::memcpy(message, &settings.size, 2);
                std::memcpy(message + 2, &kTypeData, 2);
                std::memcpy(message + 4, &sequence, 4);
            }
            const int bytes = int(n * settings.size);
            for (int offset = 0; offset < bytes;) {
                const int written = send(peer, batch.data() + offset, bytes - offset, 0);
                if (written <= 0) {
                    closesocket(peer);
                    return;
                }
                offset += written;
            }
            sent += n;
        }
        shutdown(peer, SD_SEND);
        char drain[256];
        while (recv(peer, drain, sizeof(drain), 0) > 0) {
        }
        closesocket(peer);
    }

    SOCKET m_listener = INVALID_SOCKET;
    uint16_t m_port = 0;
    std::thread m_thread;
};

Result Finish(const Tally& tally, double cpuSeconds) {
    Result result;
    const double seconds = std::chrono::duration<double>(tally.last - tally.first).count();
    result.complete = tally.count == tally.expected && tally.misordered == 0;
    result.messagesPerSecond = seconds > 0 ? double(tally.count - 1) / seconds : 0;
    result.cpuNsPerMessage = tally.count > 0 ? cpuSeconds * 1e9 / tally.count : 0;
    return result;
}

void R_CALL OnVeltoMessage(void* context, void* /*observable*/, const void* message) {
    auto* tally = static_cast<Tally*>(context);
    const auto* bytes = static_cast<const char*>(message);
    uint16_t type = 0;
    std::memcpy(&type, bytes + 2, 2);
    if (type == kTypeData) {
        tally->OnData(bytes);
    } else if (type == kTypeDisconnected) {
        tally->closed = true;
    }
}

Result ReceiveVelto(const Settings& settings) {
    Sender sender(settings);
    Tally tally;
    tally.expected = settings.messages;
    R_ReceiverInitialize();
    void* observer = RX_CreateObserver(OnVeltoMessage, &tally);
    void* receiver =
        R_CreateTCPReceiver("stream", "127.0.0.1", sender.Port(), 0, 0, 0, 0, 0, false);
    RX_AddObserver(receiver, observer);
    const double cpuStart = ThreadCpuSeconds();
    R_ConnectReceiver(receiver);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!tally.Done() && std::chrono::steady_clock::now() < deadline) {
        RX_ProcessEvents(100);
    }
    const double cpu = ThreadCpuSeconds() - cpuStart;
    R_DeleteReceiver(receiver);
    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
    return Finish(tally, cpu);
}

Result ReceiveRaw(const Settings& settings) {
    Sender sender(settings);
    Tally tally;
    tally.expected = settings.messages;
    const double cpuStart = ThreadCpuSeconds();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(sender.Port());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::fprintf(stderr, "raw: connect failed\n");
        std::exit(1);
    }
    u_long nonBlocking = 1;
    ioctlsocket(fd, FIONBIO, &nonBlocking);
    std::vector<char> buffer(65536 + 65535);
    size_t used = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!tally.Done() && std::chrono::steady_clock::now() < deadline) {
        WSAPOLLFD poll{fd, POLLRDNORM, 0};
        if (WSAPoll(&poll, 1, 100) <= 0) {
            continue;
        }
        const int n = recv(fd, buffer.data() + used, int(buffer.size() - used), 0);
        if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
            tally.closed = true;
            break;
        }
        if (n < 0) {
            continue;
        }
        used += size_t(n);
        size_t offset = 0;
        while (used - offset >= 4) {
            uint16_t size = 0;
            std::memcpy(&size, buffer.data() + offset, 2);
            if (size < 4 || used - offset < size) {
                break;
            }
            tally.OnData(buffer.data() + offset);
            offset += size;
        }
        std::memmove(buffer.data(), buffer.data() + offset, used - offset);
        used -= offset;
    }
    const double cpu = ThreadCpuSeconds() - cpuStart;
    closesocket(fd);
    return Finish(tally, cpu);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (option == "--messages" && value > 0) {
            settings.messages = uint32_t(value);
        } else if (option == "--size" && value >= 8 && value <= 65535) {
            settings.size = uint16_t(value);
        } else if (option == "--runs" && value > 0) {
            settings.runs = int(value);
        } else {
            std::fprintf(stderr,
                         "usage: velto-wine-stream [--messages N] [--size 8..65535] "
                         "[--runs R]\n");
            return 2;
        }
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    std::vector<double> rate[2], cpu[2];
    bool complete = true;
    for (int run = 0; run < settings.runs; ++run) {
        for (int contender = 0; contender < 2; ++contender) {
            const Result result = contender == 0 ? ReceiveVelto(settings) : ReceiveRaw(settings);
            complete &= result.complete;
            rate[contender].push_back(result.messagesPerSecond);
            cpu[contender].push_back(result.cpuNsPerMessage);
        }
    }
    WSACleanup();
    const char* names[2] = {"veltonet", "raw Winsock"};
    std::printf("stream %u B under Wine, medians of %d runs (reference only)\n", settings.size,
                settings.runs);
    for (int contender = 0; contender < 2; ++contender) {
        std::printf("  %-12s %10.0f msgs/s  %8.1f ns CPU/msg\n", names[contender],
                    Median(rate[contender]), Median(cpu[contender]));
    }
    std::printf("  ratio        %10.2f x       %8.2f x\n", Median(rate[0]) / Median(rate[1]),
                Median(cpu[0]) / Median(cpu[1]));
    if (!complete) {
        std::printf("a run lost, repeated or reordered messages\n");
        return 1;
    }
    return 0;
}
