// A host and its peers doing anything, in any order: the input is a program of host steps
// (receivers, listeners and a sequenced receiver made, connected, disconnected, deleted in every
// way, sending, subscribing, feeds, the loop run), peer steps (raw loopback sockets connecting,
// sending in pieces, urgent bytes, half-closes, resets, not reading, listening sockets closed)
// and triggers that run host steps from inside a chosen notification of a chosen receiver, on
// itself, its listener or its repair receiver. Everything runs on real loopback sockets and a
// manual clock, so timers fire only when the program advances it.
//
// Invariants, after every step: the sanitizers stay quiet; every handle the host holds answers
// with its name and the registry holds exactly those; no notification comes from a receiver
// deleted at once; whenever the loop is run until quiet it gets there within a bounded number
// of rounds (a spin is a failure), and then no receiver is still connecting or holds a
// disconnect request without a connect in flight. At the end everything is deleted and the
// descriptors are back to their count at the start.
//
// Input: a program of steps, each an operation byte and its arguments (see Program::Step);
// at most kMaxSteps of them.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/platform/Clock.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/ReceiverSocket.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet::fuzz {
namespace {

constexpr int kSlots = 4;
constexpr int kMaxSteps = 48;
constexpr int kMaxPeers = 8;
constexpr int kSettleRounds = 256;  // far beyond what any program here needs to go quiet
constexpr int kMaxTriggerDepth = 2;
constexpr uint16_t kDataType = 700;  // the fuzzer's own messages: types 700 to 703

ManualClock manualClock;

// ---- raw loopback peers ----

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int OpenSocket(int type) {
    return socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int RawListen(uint16_t* port) {
    const int fd = OpenSocket(SOCK_STREAM);
    sockaddr_in address = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 128) != 0) {
        FUZZ_CHECK(false, "cannot listen on loopback");
    }
    *port = LocalPort(fd);
    return fd;
}

int RawConnect(uint16_t port) {
    const int fd = OpenSocket(SOCK_STREAM);
    FUZZ_CHECK(fd >= 0, "no socket");
    sockaddr_in address = Loopback(port);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));  // in flight or refused
    return fd;
}

void ResetAndClose(int fd) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(fd);
}

bool InSynSent(int fd) {
    tcp_info info{};
    socklen_t length = sizeof(info);
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_state == TCP_SYN_SENT;
}

// Open descriptors, less the sockets whose connect the kernel is still making and those it was
// making when the program started (in `excluded`): a receiver deleted while connecting is
// deleted at its connect's result, which may be a retry away when the listening queue was
// full, and may come during a later program.
int DescriptorCount(std::vector<int>* excluded) {
    int count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) {
            const int fd = std::atoi(entry->d_name);
            if (entry->d_name[0] == '.') {
                continue;
            }
            if (InSynSent(fd)) {
                excluded->push_back(fd);
            } else if (std::find(excluded->begin(), excluded->end(), fd) == excluded->end()) {
                ++count;
            }
        }
        closedir(folder);
    }
    return count;
}

// ---- what the program holds ----

enum class Kind { kTcp, kListener, kSequenced };

// One receiver's observer. It outlives the receiver, so that a late notification is seen.
struct Record : Observer {
    void OnMessage(const Message* message, Observable* source) override;
    int slot = 0;
    void* handle = nullptr;
    bool deleted = false;  // deleted at once: nothing may come from it any more
};

struct Slot {
    void* handle = nullptr;
    Kind kind = Kind::kTcp;
    std::string name;
    Record* record = nullptr;
    std::vector<void*> feeds;
};

struct Peer {
    int fd = -1;
    bool reading = true;
};

// Up to four steps run from inside a notification: of the receiver in a slot (or of one of
// its clients), of one type, at most twice. Peers may act meanwhile too, as they would.
struct Trigger {
    int slot;
    uint16_t type;
    std::string action;
    int fired = 0;
};

constexpr std::array<uint16_t, 14> kTriggerTypes = {
    kMsgConnected,    kMsgDisconnected,  kMsgConnectFailed, kMsgAccepted,  kMsgConnecting,
    kMsgDataReceived, kMsgDataProcessed, kMsgFirstDatagram, kMsgSubscribe, kMsgUnsubscribe,
    kDataType,        kDataType + 1,     kDataType + 2,     kDataType + 3};

class Program {
  public:
    void Run(Input& input);
    void OnNotification(Record* record, const Message* message, Observable* source);

  private:
    // Targets: a slot's receiver, or (in a trigger) the notifying receiver, its listener or
    // its repair receiver, or a client of a listener.
    struct Target {
        void* handle = nullptr;
        int slot = -1;  // -1: a client, or nothing
    };
    void Step(Input& input);
    void HostStep(uint8_t op, Input& input);
    void PeerStep(uint8_t op, Input& input);
    Target Pick(Input& input);
    Target SlotTarget(int slot) const;
    Target HandleTarget(void* handle) const;
    void* ClientOf(void* listener, unsigned index) const;
    int FreeSlot() const;
    void Adopt(int slot, void* handle, Kind kind, const std::string& name);
    Record* Forget(int slot);
    void Delete(const Target& target, bool delayed);
    void DestroyAll();
    bool OnStack(void* handle) const;
    uint16_t ServerPort(uint8_t choice);
    std::string Content(Input& input);
    bool Settle();
    int PumpPeers();
    void CheckHandles() const;
    void CheckSettled() const;
    void Teardown();

    std::array<Slot, kSlots> m_slots;
    std::vector<std::unique_ptr<Record>> m_records;
    std::vector<Trigger> m_triggers;
    std::vector<Observable*> m_stack;  // sources of the notifications being delivered
    std::vector<Peer> m_peers;
    std::array<int, 2> m_servers = {-1, -1};
    std::array<uint16_t, 2> m_serverPorts = {0, 0};
    uint16_t m_closedPort = 0;
    int m_datagramFd = -1;
};

Program* current = nullptr;

void Record::OnMessage(const Message* message, Observable* source) {
    FUZZ_CHECK(!(deleted && source == handle), "slot %d: notification %u after deletion", slot,
               message->GetType());
    if (current != nullptr) {
        current->OnNotification(this, message, source);
    }
}

void Program::OnNotification(Record* record, const Message* message, Observable* source) {
    FUZZ_CHECK(message->GetSize() >= 4, "notification of size %u", message->GetSize());
    if (record->deleted || int(m_stack.size()) >= kMaxTriggerDepth) {
        return;
    }
    for (size_t i = 0; i < m_triggers.size(); ++i) {
        Trigger& trigger = m_triggers[i];
        if (trigger.slot != record->slot || trigger.type != message->GetType() ||
            m_slots[record->slot].record != record || trigger.fired >= 2) {
            continue;
        }
        ++trigger.fired;
        const std::string action = trigger.action;  // the list may grow meanwhile
        m_stack.push_back(source);
        Input steps(reinterpret_cast<const uint8_t*>(action.data()), action.size());
        for (int n = 0; n < 4 && !steps.Empty(); ++n) {
            Step(steps);
        }
        m_stack.pop_back();
        return;
    }
}

bool Program::OnStack(void* handle) const {
    return std::find(m_stack.begin(), m_stack.end(),
                     static_cast<Observable*>(static_cast<TCPReceiver*>(handle))) != m_stack.end();
}

Program::Target Program::SlotTarget(int slot) const {
    if (slot < 0 || slot >= kSlots || m_slots[slot].handle == nullptr) {
        return {};
    }
    return {m_slots[slot].handle, slot};
}

// A receiver the program holds, or null.
Program::Target Program::HandleTarget(void* handle) const {
    for (int slot = 0; slot < kSlots; ++slot) {
        if (handle != nullptr && m_slots[slot].handle == handle) {
            return {handle, slot};
        }
    }
    return {};
}

void* Program::ClientOf(void* listener, unsigned index) const {
    auto* server = static_cast<Listener*>(static_cast<TCPReceiver*>(listener));
    if (index % 2 == 1 && !server->GetPendingClients().empty()) {
        return static_cast<TCPReceiver*>(*server->GetPendingClients().begin());
    }
    void* iterator = R_CreateListenerClientIterator(listener);
    void* client = nullptr;
    for (unsigned i = 0; i <= index / 2 && iterator != nullptr; ++i) {
        client = R_GetCurrentClientAndIncrement(iterator);
    }
    R_DestroyListenerClientIterator(listener, iterator);
    return client;
}

Program::Target Program::Pick(Input& input) {
    const uint8_t b = input.Byte();
    const int choice = b % 8;
    if (choice < kSlots) {
        return SlotTarget(choice);
    }
    if (choice == 4) {  // a client of the first listener held
        for (const Slot& slot : m_slots) {
            if (slot.handle != nullptr && slot.kind == Kind::kListener) {
                return {ClientOf(slot.handle, b >> 3), -1};
            }
        }
        return {};
    }
    if (m_stack.empty()) {
        return SlotTarget(b >> 3 & 3);
    }
    auto* self = static_cast<TCPReceiver*>(m_stack.back());
    if (choice == 5) {  // itself
        const Target held = HandleTarget(self);
        return held.handle != nullptr ? held : Target{self, -1};
    }
    if (choice == 6) {  // its listener
        auto* client = dynamic_cast<Client*>(self);
        return HandleTarget(client != nullptr ? static_cast<TCPReceiver*>(client->GetListener())
                                              : nullptr);
    }
    // its repair receiver, or the sequenced receiver it repairs
    if (auto* sequenced = dynamic_cast<MulticastSequenceReceiver*>(self)) {
        return HandleTarget(sequenced->GetRepairReceiver());
    }
    return HandleTarget(static_cast<TCPReceiver*>(self->GetSequenceReceiver()));
}

int Program::FreeSlot() const {
    for (int slot = 0; slot < kSlots; ++slot) {
        if (m_slots[slot].handle == nullptr) {
            return slot;
        }
    }
    return -1;
}

void Program::Adopt(int slot, void* handle, Kind kind, const std::string& name) {
    FUZZ_CHECK(handle != nullptr, "creation failed");
    m_records.push_back(std::make_unique<Record>());
    Record* record = m_records.back().get();
    record->slot = slot;
    record->handle = handle;
    m_slots[slot] = {handle, kind, name, record, {}};
    static_cast<TCPReceiver*>(handle)->Add(record);
}

// The host lets go of a handle before deleting it: notifications during the deletion may run
// host steps, which must not find it any more.
Record* Program::Forget(int slot) {
    Record* record = m_slots[slot].record;
    m_slots[slot] = Slot{};
    return record;
}

// Deletion as the host may do it: never directly from inside the receiver's own notification.
void Program::Delete(const Target& target, bool delayed) {
    auto* receiver = static_cast<TCPReceiver*>(target.handle);
    const bool inOwnNotification = OnStack(target.handle);
    const bool deferred = inOwnNotification || receiver->isBusy();
    Record* record = target.slot >= 0 ? Forget(target.slot) : nullptr;
    if (delayed || inOwnNotification) {
        receiver->DelayedDestroy();
    } else {
        R_DeleteReceiver(target.handle);
    }
    if (record != nullptr) {
        record->deleted = !deferred;
    }
}

void Program::DestroyAll() {
    std::array<Record*, kSlots> records{};
    std::array<bool, kSlots> deferred{};
    for (int slot = 0; slot < kSlots; ++slot) {
        if (void* h = m_slots[slot].handle) {
            deferred[slot] = OnStack(h) || static_cast<TCPReceiver*>(h)->isBusy();
            records[slot] = Forget(slot);
        }
    }
    R_DestroyAllReceivers();
    for (int slot = 0; slot < kSlots; ++slot) {
        if (records[slot] != nullptr) {
            records[slot]->deleted = !deferred[slot];
        }
        // Made by a step run from a notification during the call: the call took it too.
        if (void* h = m_slots[slot].handle;
            h != nullptr &&
            !ReceiverManager::Instance()->isRegistered(static_cast<TCPReceiver*>(h))) {
            Forget(slot);
        }
    }
}

// A port for a new receiver: one of two raw servers, a listener held, a port nothing listens
// on, or an address that fails at once.
uint16_t Program::ServerPort(uint8_t choice) {
    switch (choice % 4) {
        case 0:
        case 1: {
            const int i = choice % 2;
            if (m_servers[i] < 0) {
                m_servers[i] = RawListen(&m_serverPorts[i]);
            }
            return m_serverPorts[i];
        }
        case 2:
            for (const Slot& slot : m_slots) {
                if (slot.handle != nullptr && slot.kind == Kind::kListener) {
                    return R_GetReceiverLocalPort(slot.handle);
                }
            }
            [[fallthrough]];
        default:
            if (m_closedPort == 0) {
                const int fd = RawListen(&m_closedPort);
                close(fd);
            }
            return m_closedPort;
    }
}

// Bytes for a peer or the host to send: raw bytes, a message of the fuzzer's, a sequenced
// packet carrying one, or a subscription request.
std::string Program::Content(Input& input) {
    const uint8_t kind = input.Byte();
    switch (kind % 4) {
        case 0:
            return input.Bytes(input.Byte() % 64);
        case 1:
            return Frame(uint16_t(kDataType + (kind >> 2) % 4), input.Bytes(input.Byte() % 32));
        case 2:
            return Frame(kMsgSequencedPacket,
                         U32(input.Byte() % 16) + Frame(kDataType, input.Bytes(kind >> 5)));
        default:
            return Frame((kind & 4) != 0 ? kMsgSubscribe : kMsgUnsubscribe,
                         U32(input.Byte() % 6) + input.Bytes(kind >> 6));
    }
}

void Program::Step(Input& input) {
    const uint8_t op = input.Byte();
    if (op % 32 < 24) {
        HostStep(op, input);
    } else {
        PeerStep(op, input);
    }
}

void Program::HostStep(uint8_t op, Input& input) {
    const bool nested = !m_stack.empty();
    switch (op % 24) {
        case 0:
        case 1: {  // a TCP receiver
            const uint8_t flags = input.Byte();
            const int slot = FreeSlot();
            if (slot < 0) {
                return;
            }
            const uint16_t port = ServerPort(flags);
            const char* ip = (flags & 3) == 3 && (flags & 4) != 0 ? "0.0.0.0" : "127.0.0.1";
            const std::string name = "r" + std::to_string(slot);
            Adopt(slot,
                  R_CreateTCPReceiver(name.c_str(), ip, port, (flags >> 3) & 1, 0, 0, 0, 0,
                                      (flags & 0x10) != 0),
                  Kind::kTcp, name);
            if ((flags & 0x20) != 0) {
                R_ConnectReceiver(m_slots[slot].handle);
            }
            return;
        }
        case 2: {  // a listener, listening at once
            const uint8_t flags = input.Byte();
            const int slot = FreeSlot();
            if (slot < 0) {
                return;
            }
            const std::string name = "l" + std::to_string(slot);
            Adopt(slot,
                  R_CreateListener(name.c_str(), 1 + flags % 4, 1 + (flags >> 2) % 4, 0,
                                   (flags & 0x10) != 0, 0, (flags & 0x20) != 0 ? 64 : 0,
                                   (flags & 0x40) != 0),
                  Kind::kListener, name);
            R_ConnectReceiver(m_slots[slot].handle);
            return;
        }
        case 3: {  // a sequenced receiver on a port of its own (no group: nothing joined)
            const uint8_t flags = input.Byte();
            const int slot = FreeSlot();
            if (slot < 0) {
                return;
            }
            const std::string name = "s" + std::to_string(slot);
            Adopt(slot, R_CreateMulticastReceiver(name.c_str(), "", 0, true, 0, 0),
                  Kind::kSequenced, name);
            if ((flags & 1) != 0) {
                R_ConnectReceiver(m_slots[slot].handle);
            }
            return;
        }
        case 4: {  // its repair link
            const Target sequenced = Pick(input);
            const Target repair = Pick(input);
            if (sequenced.slot >= 0 && m_slots[sequenced.slot].kind == Kind::kSequenced &&
                (repair.slot < 0 ? repair.handle == nullptr
                                 : m_slots[repair.slot].kind == Kind::kTcp)) {
                R_SetMulticastRepair(sequenced.handle, repair.handle);
            }
            return;
        }
        case 5:
            if (const Target t = Pick(input); t.handle != nullptr) {
                R_ConnectReceiver(t.handle);
            }
            return;
        case 6: {
            const Target t = Pick(input);
            const bool reconnect = (input.Byte() & 1) != 0;
            if (t.handle != nullptr) {
                R_Disconnect(t.handle, reconnect);
            }
            return;
        }
        case 7:
        case 8:
            if (const Target t = Pick(input); t.handle != nullptr) {
                Delete(t, op % 24 == 8);
            }
            return;
        case 9:
            DestroyAll();
            return;
        case 10:
            R_DisconnectAll();
            return;
        case 11:
            R_Logout(input.Byte() * 10u);
            return;
        case 12: {  // a framed buffer from the host
            const Target t = Pick(input);
            const std::string bytes = Content(input);
            if (t.handle != nullptr) {
                R_SendBuffer(t.handle, bytes.data(), int32_t(bytes.size()), false);
            }
            return;
        }
        case 13: {  // subscription requests of a receiver connected to a listener
            const Target t = Pick(input);
            const uint8_t b = input.Byte();
            const std::string name = input.Bytes(b >> 6);
            if (t.slot >= 0 && m_slots[t.slot].kind == Kind::kTcp) {
                const char* n = (b & 8) != 0 ? name.c_str() : nullptr;
                if ((b & 16) != 0) {
                    R_ClientSubscribe(t.handle, b % 6, n);
                } else {
                    R_ClientUnsubscribe(t.handle, b % 6, n);
                }
            }
            return;
        }
        case 14: {  // the listener sends to a subscription, or flushes its clients
            const Target t = Pick(input);
            const uint8_t b = input.Byte();
            const std::string bytes = Frame(kDataType, input.Bytes(b >> 4));
            if (t.slot >= 0 && m_slots[t.slot].kind == Kind::kListener) {
                if ((b & 8) == 0) {
                    R_ListenerSendSubscription(t.handle, b % 6, (b & 4) != 0 ? "n" : nullptr,
                                               bytes.data(), int32_t(bytes.size()));
                }
                R_ListenerForceSendBufferToClients(t.handle);
            } else if (t.slot < 0 &&
                       dynamic_cast<Client*>(static_cast<TCPReceiver*>(t.handle)) != nullptr) {
                R_ClientForceSendBuffer(t.handle);
            }
            return;
        }
        case 15: {
            const Target t = Pick(input);
            const uint8_t seconds = input.Byte() % 3;
            if (t.slot >= 0) {
                R_SetPersistent(t.handle, seconds);
            }
            return;
        }
        case 16:
            R_SetMeasureTimeSpan(input.Byte() % 3);
            return;
        case 17: {  // a feed added, or one removed
            const Target t = Pick(input);
            const uint8_t b = input.Byte();
            if (t.slot < 0) {
                return;
            }
            std::vector<void*>& feeds = m_slots[t.slot].feeds;
            if ((b & 1) != 0 && !feeds.empty()) {
                R_RemoveFeed(feeds.back());
                feeds.pop_back();
            } else if (void* feed = R_AddFeed(t.handle, 1000u * (1 + (b >> 1) % 3))) {
                feeds.push_back(feed);
            }
            return;
        }
        case 18: {  // a pending client admitted
            const Target t = Pick(input);
            if (t.slot >= 0 && m_slots[t.slot].kind == Kind::kListener) {
                if (void* client = ClientOf(t.handle, 1)) {
                    R_AddClientToListener(client);
                }
            }
            return;
        }
        case 19: {  // data-received notifications on or off
            const Target t = Pick(input);
            const uint8_t b = input.Byte();
            if (t.handle != nullptr) {
                if ((b & 1) != 0) {
                    R_AddDataReceivedNotifier(t.handle);
                } else {
                    R_RemoveDataReceivedNotifier(t.handle);
                }
            }
            return;
        }
        case 20:
        case 21: {  // a trigger: [slot][type][length][action steps]
            const uint8_t slot = input.Byte() % kSlots;
            const uint16_t type = kTriggerTypes[input.Byte() % kTriggerTypes.size()];
            std::string action = input.Bytes(input.Byte() % 16);
            if (!nested && m_triggers.size() < 8) {
                m_triggers.push_back({slot, type, std::move(action)});
            }
            return;
        }
        default: {  // the loop: rounds, the clock advanced first; until quiet on bit 7
            const uint8_t b = input.Byte();
            if (nested) {
                return;  // the loop is never run from inside its own dispatch
            }
            manualClock.Advance((b & 0x60) == 0 ? 0 : 1000u << ((b >> 5) & 3));
            if ((b & 0x80) != 0) {
                FUZZ_CHECK(Settle(), "the loop never went quiet");
                CheckSettled();
            } else {
                for (int round = 0; round < b % 8; ++round) {
                    PumpPeers();
                    RX_ProcessEvents(0);
                }
            }
            return;
        }
    }
}

void Program::PeerStep(uint8_t op, Input& input) {
    const uint8_t b = input.Byte();
    Peer* peer = m_peers.empty() ? nullptr : &m_peers[b % m_peers.size()];
    switch (op % 8) {
        case 0: {  // connect to a listener held
            const Target t = SlotTarget(b % kSlots);
            if (t.handle != nullptr && m_slots[t.slot].kind == Kind::kListener &&
                m_peers.size() < kMaxPeers) {
                m_peers.push_back({RawConnect(R_GetReceiverLocalPort(t.handle))});
            }
            return;
        }
        case 1: {  // bytes, cut in pieces with a loop round between them
            const std::string bytes = Content(input);
            const uint8_t piece = 1 + input.Byte() % 16;
            if (peer == nullptr) {
                return;
            }
            for (size_t offset = 0; offset < bytes.size(); offset += piece) {
                if (offset != 0 && m_stack.empty()) {
                    RX_ProcessEvents(0);
                }
                send(peer->fd, bytes.data() + offset,
                     std::min<size_t>(piece, bytes.size() - offset), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            return;
        }
        case 2:
            if (peer != nullptr) {
                const char urgent = char(input.Byte());
                send(peer->fd, &urgent, 1, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            return;
        case 3:
            if (peer != nullptr) {
                shutdown(peer->fd, SHUT_WR);
            }
            return;
        case 4:
            if (peer != nullptr) {
                ResetAndClose(peer->fd);
                *peer = m_peers.back();
                m_peers.pop_back();
            }
            return;
        case 5:
            if (peer != nullptr) {
                peer->reading = !peer->reading;
            }
            return;
        case 6: {  // a listening socket closed under the receivers connected through it
            const int i = b % 2;
            if (m_servers[i] >= 0) {
                close(m_servers[i]);
                m_servers[i] = -1;
            }
            return;
        }
        default: {  // a datagram to a sequenced receiver
            const Target t = SlotTarget(b % kSlots);
            const std::string bytes = Content(input);
            if (t.handle == nullptr || m_slots[t.slot].kind != Kind::kSequenced) {
                return;
            }
            const uint16_t port = R_GetReceiverLocalPort(t.handle);
            if (m_datagramFd < 0) {
                m_datagramFd = OpenSocket(SOCK_DGRAM);
            }
            if (port != 0) {
                const sockaddr_in address = Loopback(port);
                sendto(m_datagramFd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&address), sizeof(address));
            }
            return;
        }
    }
}

// Accepts what waits on the raw servers and reads what the peers that read were sent; answers
// how much happened.
int Program::PumpPeers() {
    int activity = 0;
    for (int server : m_servers) {
        if (server < 0) {
            continue;
        }
        for (int fd; m_peers.size() < kMaxPeers &&
                     (fd = accept4(server, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            m_peers.push_back({fd});
            ++activity;
        }
    }
    char scratch[4096];
    for (Peer& peer : m_peers) {
        while (peer.reading) {
            const ssize_t n = recv(peer.fd, scratch, sizeof(scratch), MSG_DONTWAIT);
            if (n == 0) {
                peer.reading = false;  // closed by the library: nothing more will come
            }
            if (n <= 0) {
                break;
            }
            ++activity;
        }
    }
    return activity;
}

bool Program::Settle() {
    for (int round = 0; round < kSettleRounds; ++round) {
        const int activity = PumpPeers();
        if (RX_ProcessEvents(0) == 0 && activity == 0) {
            return true;
        }
    }
    return false;
}

void Program::CheckHandles() const {
    uint32_t alive = 0;
    for (const Slot& slot : m_slots) {
        if (slot.handle == nullptr) {
            continue;
        }
        ++alive;
        FUZZ_CHECK(
            ReceiverManager::Instance()->isRegistered(static_cast<TCPReceiver*>(slot.handle)),
            "held handle %s not registered", slot.name.c_str());
        FUZZ_CHECK(slot.name == R_GetReceiverName(slot.handle), "held handle answers %s for %s",
                   R_GetReceiverName(slot.handle), slot.name.c_str());
        R_IsReceiverHandleValid(slot.handle);
        R_IsReceiverConnected(slot.handle);
        R_GetSendListCount(slot.handle);
    }
    FUZZ_CHECK(R_GetReceiverCount() == alive, "registry holds %u, the host %u",
               R_GetReceiverCount(), alive);
}

// A connect the kernel is still making: its first try found the listening queue full (a
// listener takes one connection per round) and it tries again a second later.
bool ConnectInFlight(const TCPReceiver* receiver) {
    return receiver->isValid() && InSynSent(receiver->GetSocket()->Descriptor());
}

// Once quiet, nothing is left half-way: a connect on loopback has its answer at once, unless
// the kernel itself is still at it.
void Program::CheckSettled() const {
    for (const Slot& slot : m_slots) {
        if (slot.handle == nullptr) {
            continue;
        }
        const auto* receiver = static_cast<const TCPReceiver*>(slot.handle);
        if (ConnectInFlight(receiver)) {
            continue;
        }
        FUZZ_CHECK(!receiver->isConnecting(), "%s still connecting in a quiet loop",
                   slot.name.c_str());
        FUZZ_CHECK(!receiver->isDisconnectPending(),
                   "%s keeps a disconnect request with no connect in flight", slot.name.c_str());
    }
}

// The peers go first, with a reset: a connection closed in order leaves its port in TIME_WAIT,
// and thousands of those make every later bind to port 0 slow.
void Program::Teardown() {
    m_triggers.clear();
    for (Peer& peer : m_peers) {
        ResetAndClose(peer.fd);
    }
    DestroyAll();
    FUZZ_CHECK(Settle(), "the loop never went quiet after everything was deleted");
    for (int fd : m_servers) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (m_datagramFd >= 0) {
        close(m_datagramFd);
    }
    FUZZ_CHECK(Settle(), "the loop never went quiet after the peers closed");
    FUZZ_CHECK(R_GetReceiverCount() == 0, "%u receivers left", R_GetReceiverCount());
}

void Program::Run(Input& input) {
    for (int step = 0; step < kMaxSteps && !input.Empty(); ++step) {
        Step(input);
        CheckHandles();
    }
    FUZZ_CHECK(Settle(), "the loop never went quiet at the end of the program");
    CheckSettled();
    Teardown();
}

}  // namespace
}  // namespace veltonet::fuzz

using namespace veltonet;
using namespace veltonet::fuzz;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    InitializeEnvironment(false, &manualClock);
    // The first listening socket makes the process keep a descriptor in reserve for good:
    // taken here, so that every program starts with it in the count.
    void* listener = R_CreateListener("reserve", 1, 1, 0, true, 0, 0, false);
    R_ConnectReceiver(listener);
    R_DeleteReceiver(listener);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeEnvironment(false, &manualClock);
    TCPReceiver::SetUncompressFunction(nullptr);
    const uint32_t timeSpan = R_GetMeasureTimeSpan();
    std::vector<int> inFlight;
    const int descriptors = DescriptorCount(&inFlight);
    {
        Input input(data, size);
        Program program;
        current = &program;
        program.Run(input);
        current = nullptr;
    }
    const int left = DescriptorCount(&inFlight);
    FUZZ_CHECK(left == descriptors, "%d descriptors open, %d at the start", left, descriptors);
    // A logout (or a disconnect of all) leaves the manager exiting for good: the next program
    // starts with a fresh one, as a host would after terminating.
    if (R_IsExiting()) {
        ReceiverManager::Destroy();
        ReceiverManager::Create(&manualClock);
    }
    R_SetMeasureTimeSpan(timeSpan);
    return 0;
}
