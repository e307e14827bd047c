// A listener under faults: peers that reset during a fan-out while an observer deletes another
// client, a flood of connections with no descriptors left, and two thousand clients that come,
// subscribe and go.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using test::CutFrames;
using test::Frame;
using test::HeapInUse;
using test::OpenDescriptors;
using test::SubscriptionRequest;
namespace raw = test::raw;

class ListenerFaultTest : public test::ListenerTest {};

// Deletes one chosen client when it first sees a client's disconnected notification, and
// fails the test if any client speaks after its own disconnected notification.
class DeletingObserver : public Observer {
  public:
    void OnMessage(const Message* message, Observable* source) override {
        EXPECT_EQ(gone.count(source), 0u) << "a client published after its 60002";
        if (message->GetType() != kMsgDisconnected) {
            return;
        }
        gone.insert(source);
        if (victim != nullptr && source != victim) {
            Client* client = victim;
            victim = nullptr;
            EXPECT_TRUE(client->Disconnect());
        }
    }
    Client* victim = nullptr;
    std::set<Observable*> gone;
};

TEST_F(ListenerFaultTest, FanOutSurvivesResetsAndADeletionAndEverySurvivorGetsEachMessageOnce) {
    // 8192 bytes of send buffer: 2048 bytes of accumulation, so a fan-out of 1000-byte messages
    // flushes on every third one, inside the walk.
    Listener* listener = StartListener(true, 8192);
    constexpr int kClients = 12;
    std::vector<int> fds(kClients);
    std::vector<Client*> clients(kClients);
    for (int i = 0; i < kClients; ++i) {
        clients[i] = AcceptPeer(listener, &fds[i]);
        ASSERT_NE(clients[i], nullptr);
    }
    ASSERT_EQ(listener->GetClientCount(), unsigned(kClients));
    DeletingObserver observer;
    listener->Add(&observer);
    observer.victim = clients[11];
    const std::vector<int> firstWave = {0, 1, 2, 3};  // reset before the fan-out starts
    const std::vector<int> secondWave = {4, 5};       // reset between two batches
    const std::vector<int> survivors = {6, 7, 8, 9, 10};
    std::vector<std::string> received(kClients);

    auto readSurvivors = [&] {
        for (int i : survivors) {
            received[i] += raw::ReadAvailable(fds[i], 0);
        }
    };
    auto message = [](int k) {
        std::string body = std::to_string(k);
        body.resize(996, char('a' + k % 26));
        return Frame(uint16_t(1000 + k % 50), body);
    };

    for (int i : firstWave) {
        ResetPeer(fds[i]);
        ASSERT_TRUE(WaitForReset(clients[i]));
    }
    constexpr int kMessages = 300;
    for (int k = 0; k < kMessages; ++k) {
        const std::string m = message(k);
        EXPECT_TRUE(listener->SendBuffer(m.data(), int(m.size())));
        if (k % 50 == 49) {
            const unsigned before = listener->GetClientCount();
            listener->ForceSendBufferToClients();
            if (k == 49) {
                // The four broken clients were marked during the walk and are reaped now; the
                // first of them deleted the victim, reaped now or by the next flush.
                EXPECT_LE(listener->GetClientCount(), unsigned(kClients - 4));
                EXPECT_GE(listener->GetClientCount(), unsigned(kClients - 5));
                EXPECT_EQ(observer.victim, nullptr);
            } else {
                EXPECT_LE(listener->GetClientCount(), before);
            }
            PumpUntil(
                [&] {
                    readSurvivors();
                    return false;
                },
                5);
        }
        if (k == 120) {
            for (int i : secondWave) {
                ResetPeer(fds[i]);
            }
        }
    }
    listener->ForceSendBufferToClients();
    EXPECT_EQ(listener->GetClientCount(), survivors.size());
    EXPECT_EQ(observer.gone.size(), size_t(kClients) - survivors.size());
    for (int i : survivors) {
        EXPECT_TRUE(listener->GetActiveClients().Contains(clients[i]));
    }

    // Each survivor's stream: the acceptance, then every message once and in order.
    const size_t expectedBytes = 4 + size_t(kMessages) * 1000;
    ASSERT_TRUE(PumpUntil([&] {
        readSurvivors();
        for (int i : survivors) {
            if (received[i].size() < expectedBytes) {
                return false;
            }
        }
        return true;
    }));
    for (int i : survivors) {
        std::string rest;
        const std::vector<std::string> frames = CutFrames(received[i], &rest);
        ASSERT_EQ(frames.size(), size_t(kMessages) + 1) << "peer " << i;
        EXPECT_TRUE(rest.empty());
        EXPECT_EQ(frames[0], kAccepted);
        for (int k = 0; k < kMessages; ++k) {
            ASSERT_EQ(frames[size_t(k) + 1], message(k)) << "peer " << i << " message " << k;
        }
    }
    // The victim's peer sees its connection end after whatever reached it before.
    EXPECT_TRUE(PumpUntil([&] {
        char buffer[65536];
        const ssize_t n = recv(fds[11], buffer, sizeof(buffer), MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }));
    listener->Remove(&observer);
    delete listener;
}

// A child process that opens connections to a port when told, `count` at a time, and keeps
// them until told to close them all. It is made before the descriptor limit is lowered and
// lifts the limit for itself, so its connections never take the listener's descriptors.
class Flood {
  public:
    Flood(uint16_t port, int count) {
        int command[2];
        int done[2];
        if (pipe(command) != 0 || pipe(done) != 0) {
            return;
        }
        m_child = fork();
        if (m_child == 0) {
            // The child touches nothing of the parent's loop. Without the parent's ends of the
            // pipes it sees the end of the commands when the parent goes.
            close(command[1]);
            close(done[0]);
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = limit.rlim_max;
            std::vector<int> fds;
            char what = 0;
            while (read(command[0], &what, 1) == 1 && what == 'c') {
                setrlimit(RLIMIT_NOFILE, &limit);
                for (int i = 0; i < count; ++i) {
                    const int fd = raw::ConnectNonBlocking(port);
                    if (fd >= 0) {
                        fds.push_back(fd);
                    }
                }
                (void)!write(done[1], &what, 1);
            }
            for (int fd : fds) {
                close(fd);
            }
            (void)!write(done[1], &what, 1);
            _exit(0);
        }
        close(command[0]);
        close(done[1]);
        m_command = command[1];
        m_done = done[0];
    }
    ~Flood() {
        Release();
        if (m_child > 0) {
            int status = 0;
            waitpid(m_child, &status, 0);
        }
        close(m_command);
        close(m_done);
    }
    // Opens `count` more connections; true once the child has asked for them all.
    bool More() { return Tell('c'); }
    // Closes every connection; returns once the child has done so.
    void Release() {
        if (!m_released) {
            m_released = true;
            Tell('x');
        }
    }

  private:
    bool Tell(char what) {
        return m_child > 0 && write(m_command, &what, 1) == 1 && read(m_done, &what, 1) == 1;
    }
    pid_t m_child = -1;
    int m_command = -1;
    int m_done = -1;
    bool m_released = false;
};

TEST_F(ListenerFaultTest, WithoutDescriptorsAFloodNeitherSpinsNorCrashesAndAcceptingResumes) {
    Listener* listener = StartListener(true);
    // One client that comes and goes while descriptors are plentiful: the sanitizer's checks
    // of that path then need no descriptor of their own once none is left.
    {
        int fd = -1;
        ASSERT_NE(AcceptPeer(listener, &fd), nullptr);
        ResetPeer(fd);
        ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 0; }));
        logs->records.clear();
    }
    constexpr int kFlood = 12;
    Flood flood(listener->GetLocalPort(), kFlood);
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    // Room for a few clients only.
    constexpr int kRoom = 4;
    rlimit lowered = original;
    lowered.rlim_cur = rlim_t(test::DescriptorLimitLeaving(kRoom));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    struct Restore {
        rlimit limit;
        ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{original};

    {
        ASSERT_TRUE(flood.More());
        ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == unsigned(kRoom); }));
        PumpRounds(20);
        const unsigned accepted = listener->GetClientCount();
        EXPECT_EQ(accepted, unsigned(kRoom));
        logs->records.clear();
        // More connections: they wait in the listening socket's queue, with no descriptor
        // left to take them.
        ASSERT_TRUE(flood.More());
        // Out of descriptors with connections still waiting: the loop must wait for work
        // rather than run the failing accept round after round.
        const auto start = std::chrono::steady_clock::now();
        int ran = 0;
        int rounds = 0;
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
            ran += Loop().ProcessEvents(10);
            ++rounds;
        }
        // Each waiting connection costs one failing accept (it is dropped, with its record),
        // then the loop waits: no more events than connections were made.
        const size_t refused = logs->Count(
            "The queue is empty upon entry to accept, and there are no descriptors available");
        std::printf("out of descriptors: %d events in %d rounds, %zu connections refused\n", ran,
                    rounds, refused);
        EXPECT_LE(ran, kFlood + 2) << "the loop ran " << ran << " events in " << rounds
                                   << " rounds of 300 ms while nothing could be accepted";
        EXPECT_GE(refused, 1u) << "the flood never met the exhausted listener";
        EXPECT_LE(refused, size_t(kFlood));
        EXPECT_EQ(listener->GetClientCount(), accepted);
        logs->records.clear();

        // The flood goes; its clients see their peers close and free their descriptors.
        flood.Release();
        ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 0; }));
    }
    PumpRounds(20);
    logs->records.clear();

    // Still under the lowered limit, a new peer is accepted and served.
    int fd = -1;
    Client* client = AcceptPeer(listener, &fd);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(ReadBytes(fd, 4), kAccepted);
    const std::string m = Frame(900, "after the flood");
    EXPECT_TRUE(listener->SendBuffer(m.data(), int(m.size())));
    listener->ForceSendBufferToClients();
    EXPECT_EQ(ReadBytes(fd, m.size()), m);
    delete listener;
}

TEST_F(ListenerFaultTest, TwoThousandSubscribingClientsComeAndGoAndLeaveNothingBehind) {
    constexpr unsigned kIdentifiers = 16;
    Listener* listener = StartListener(true, 0, kIdentifiers, kIdentifiers);
    const int waves = test::UnderValgrind() ? 4 : 40;
    constexpr int kWave = 50;
    constexpr int kWarmUpWaves = 2;
    size_t descriptors = 0;
    size_t heap = 0;
    const auto start = std::chrono::steady_clock::now();
    int churned = 0;
    for (int wave = 0; wave < waves; ++wave) {
        if (wave == kWarmUpWaves) {
            descriptors = OpenDescriptors();
            heap = HeapInUse();
        }
        // Connect in groups the backlog of 5 can hold, accepting in between.
        std::vector<int> fds;
        for (int i = 0; i < kWave; ++i) {
            fds.push_back(ConnectPeer(listener));
            ASSERT_GE(fds.back(), 0);
            if (i % 4 == 3 || i == kWave - 1) {
                ASSERT_TRUE(
                    PumpUntil([&] { return listener->GetClientCount() == unsigned(fds.size()); }));
            }
        }
        // Each peer subscribes to one identifier without a name and one with a name.
        for (int i = 0; i < kWave; ++i) {
            const uint32_t id = uint32_t(i) % kIdentifiers;
            const std::string name = "n" + std::to_string(i % 3);
            ASSERT_TRUE(
                raw::SendAll(fds[i], SubscriptionRequest(kMsgSubscribe, id, nullptr) +
                                         SubscriptionRequest(kMsgSubscribe, id, name.c_str())));
        }
        unsigned members = 0;
        ASSERT_TRUE(PumpUntil([&] {
            members = 0;
            for (unsigned id = 0; id < kIdentifiers; ++id) {
                const ClientSet* set = listener->FindSubscription(id, nullptr);
                members += set != nullptr ? set->GetCount() : 0;
            }
            return members == unsigned(kWave);
        })) << "wave "
            << wave << ": " << members << " subscribed";
        const std::string m = Frame(901, "to subscribers of 3");
        EXPECT_TRUE(listener->SendSubscription(3, nullptr, m.data(), int(m.size())));
        listener->ForceSendBufferToClients();
        // Half the peers close, half reset.
        for (size_t i = 0; i < fds.size(); ++i) {
            if (i % 2 == 0) {
                raw::Close(fds[i]);
            } else {
                raw::Reset(fds[i]);
            }
            std::erase(peers, fds[i]);
        }
        logs->records.clear();
        ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 0; }))
            << "wave " << wave << ": " << listener->GetClientCount() << " clients left";
        EXPECT_EQ(listener->GetPendingClientCount(), 0u);
        churned += kWave;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("churned %d clients in %.2f s\n", churned, seconds);
    for (unsigned id = 0; id < kIdentifiers; ++id) {
        EXPECT_FALSE(listener->SubscriptionExists(id, nullptr)) << id;
        for (const char* name : {"n0", "n1", "n2"}) {
            const ClientSet* set = listener->FindSubscription(id, name);
            EXPECT_TRUE(set == nullptr || set->GetCount() == 0) << id << " " << name;
        }
    }
    PumpRounds(10);
    logs->records.clear();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (!test::UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heap + 64 * 1024);
    }
    delete listener;
}

}  // namespace
}  // namespace veltonet
