// Running out of memory at any allocation of start-up or of a receiver's creation: the C
// interface answers null and lets no exception through, and the registry keeps exactly the
// receivers that exist. The k-th allocation fails, for every k up to the first success.
// A connection's buffers are made at their first use; memory running out then costs the
// connection (receive) or the gathering (send), never bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "support/TestSupport.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/receiver.h"

namespace {

// Armed: the allocation numbered failAt (counting from 1) fails. Every operator new of the
// program comes here, the library's included (all forms but the aligned ones, so that every
// block is freed by the allocator that made it).
long g_allocations = 0;
long g_failAt = 0;
std::size_t g_failSize = 0;  // armed: every allocation of this many bytes fails

void* Allocate(std::size_t size) {
    if ((g_failAt != 0 && ++g_allocations == g_failAt) || (g_failSize != 0 && size == g_failSize)) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace veltonet {
namespace {

// Runs attempt with the k-th allocation failing, k = 1, 2, ... until an attempt makes fewer
// than k allocations (none failed: it must succeed). After a failed attempt check runs; one
// that succeeded anyway (a failure the library absorbs, such as a log it goes without) is
// undone. Answers how many attempts failed.
int FailEachAllocationInTurn(const std::function<bool()>& attempt,
                             const std::function<void()>& check,
                             const std::function<void()>& undo) {
    int failed = 0;
    for (long k = 1; k < 100000; ++k) {
        g_allocations = 0;
        g_failAt = k;
        const bool succeeded = attempt();
        const bool failureReached = g_allocations >= k;
        g_failAt = 0;
        if (!failureReached) {
            EXPECT_TRUE(succeeded);
            return failed;
        }
        if (succeeded) {
            undo();
        } else {
            ++failed;
            check();
        }
    }
    ADD_FAILURE() << "never got through";
    return failed;
}

TEST(MemoryExhaustion, StartUpAnswersWithoutAManagerAndCreationLeavesTheRegistryWhole) {
    ASSERT_EQ(ReceiverManager::Instance(), nullptr);
    const int failedStarts = FailEachAllocationInTurn(
        [] {
            R_ReceiverInitialize();
            return ReceiverManager::Instance() != nullptr;
        },
        [] { EXPECT_EQ(RX_ProcessEvents(0), -1); }, [] { R_ReceiverTerminate(); });
    R_ReceiverInitialize();
    EXPECT_GT(failedStarts, 0);

    void* kept = R_CreateTCPReceiver("kept", "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
    ASSERT_NE(kept, nullptr);
    auto registryHoldsOnlyKept = [&] {
        const ReceiverManager& manager = *ReceiverManager::Instance();
        EXPECT_EQ(manager.GetReceivers().size(), 1u);
        EXPECT_EQ(manager.GetNameIndex().size(), 1u);
        EXPECT_EQ(R_FindReceiver("made"), nullptr);
        EXPECT_EQ(R_FindReceiver("kept"), kept);
    };
    const std::function<void*()> creations[] = {
        [] { return R_CreateTCPReceiver("made", "127.0.0.1", 9, 5, 0, 0, 0, 0, true); },
        [] { return R_CreateListener("made", 4, 4, 0, true, 0, 0, true); },
    };
    for (const auto& create : creations) {
        void* made = nullptr;
        EXPECT_GT(FailEachAllocationInTurn([&] { return (made = create()) != nullptr; },
                                           registryHoldsOnlyKept, [&] { R_DeleteReceiver(made); }),
                  0);
        EXPECT_EQ(R_FindReceiver("made"), made);
        R_DeleteReceiver(made);
    }
    R_DestroyAllReceivers();
    EXPECT_EQ(R_GetReceiverCount(), 0u);
    R_ReceiverTerminate();
}

class BufferExhaustionTest : public test::ManagerTest {};

TEST_F(BufferExhaustionTest, BuffersThatCannotBeMadeAtFirstUseCostTheGatheringOrTheConnection) {
    // Accumulation buffers of 2048 bytes (a quarter of the send buffer size), receive
    // buffers of 65535: each size fails alone.
    auto* listener = new Listener("server", 4, 4, 0, true, 0, 8192, false);
    ASSERT_TRUE(R_ConnectReceiver(listener));
    const int peer = test::raw::Connect(listener->GetLocalPort());
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 1; }));
    Client* client = *listener->GetActiveClients().GetClients().begin();
    ASSERT_EQ(test::raw::ReadAvailable(peer, 5000).size(), 4u);  // the acceptance

    const std::string first = test::Frame(701, "direct");
    const std::string second = test::Frame(702, "gathered");
    g_failSize = 2048;
    EXPECT_TRUE(R_SendBuffer(listener, first.data(), int(first.size()), false));
    g_failSize = 0;
    EXPECT_EQ(client->GetDataLength(), 0u);
    EXPECT_EQ(test::raw::ReadAvailable(peer, 5000), first);
    EXPECT_TRUE(R_SendBuffer(listener, second.data(), int(second.size()), false));
    EXPECT_EQ(client->GetDataLength(), second.size());
    R_ListenerForceSendBufferToClients(listener);
    EXPECT_EQ(test::raw::ReadAvailable(peer, 5000), second);

    g_failSize = 65535;
    ASSERT_TRUE(test::raw::SendAll(peer, test::Frame(703, "request")));
    EXPECT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 0; }));
    g_failSize = 0;
    EXPECT_TRUE(logs->Contains("TCPReceiver::OnReceive Buffer Error. Allocated=0  Used=0"));
    EXPECT_EQ(test::raw::ReadAvailable(peer, 5000), "");  // closed
    int ran = 0;
    for (int i = 0; i < 5; ++i)
        ran += RX_ProcessEvents(0);
    EXPECT_EQ(ran, 0);
    test::raw::Close(peer);
    R_DeleteReceiver(listener);
}

}  // namespace
}  // namespace veltonet
