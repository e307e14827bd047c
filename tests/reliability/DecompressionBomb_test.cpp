// Compressed aggregates that lie, through the real Codec.so: an absurd stated length, one below
// the real content, truncated and random compressed bytes, content that runs past its end, and the
// largest stated length and one more. Each is dropped with a record or delivered as far as it
// is whole, the heap stays bounded, and the next message on the connection arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::Aggregate;
using test::Frame;
using test::HeapInUse;
namespace raw = test::raw;

using DecompressionBombTest = test::ManagerTest;

TEST_F(DecompressionBombTest, LyingAggregatesAreDroppedWithARecordAndTheHeapStaysBounded) {
    test::Codec codec;
    ASSERT_TRUE(codec.isLoaded()) << "Codec.so did not load";
    uint16_t port = 0;
    const int server = raw::Listen(&port);
    TCPReceiver receiver("feed", "127.0.0.1", port, 0);
    test::RecordingObserver observer;
    receiver.Add(&observer);
    ASSERT_TRUE(test::ConnectReceiver(receiver));
    const int peer = raw::AcceptWithin(server, 2000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return receiver.isConnected(); }));
    auto send = [&](const std::string& bytes) {
        const unsigned int expected = receiver.GetSizeReceived() + unsigned(bytes.size());
        ASSERT_TRUE(raw::SendAll(peer, bytes));
        ASSERT_TRUE(PumpUntil([&] { return receiver.GetSizeReceived() == expected; }));
    };
    // The decompression buffer is made on first use and kept: make it before measuring.
    const std::string warm = Frame(700, "warm");
    send(Aggregate(uint32_t(warm.size()), codec.Compress(warm)));

    // A run of messages worth compressing, random bytes, and content whose last message
    // states 54 bytes but ends after 20.
    std::string content;
    for (int i = 0; i < 200; ++i) {
        content +=
            Frame(uint16_t(800 + i % 7), std::string(size_t(20 + i % 13), char('a' + i % 26)));
    }
    const std::string block = codec.Compress(content);
    std::string noise;
    for (uint32_t i = 0, state = 12345; i < 3000; ++i) {
        state = state * 1103515245u + 12345u;
        noise += char(state >> 24);
    }
    const std::string good = Frame(703, "good");
    const std::string pastEnd = good + Frame(704, std::string(50, 'b')).substr(0, 20);
    const std::string small = Frame(702, "small");
    const uint32_t kMax = TCPReceiver::kMaxUncompressedLength;
    const std::string noDecompress = "Compressed message does not decompress";
    struct Case {
        uint32_t stated;
        std::string block;
        std::string record;   // "" for none
        std::string arrives;  // the content delivered before the next message
    };
    // The buffer grows to the largest stated length and is kept, so each case states more than
    // the ones before; the decompression gets the whole buffer, so a stated length below the
    // content comes before one that would hold it.
    const Case cases[] = {
        {0xFFFFFFFFu, block, "Compressed message length too large 4294967295", ""},
        {uint32_t(pastEnd.size()), codec.Compress(pastEnd), "", good},
        {uint32_t(content.size() / 4), block, noDecompress, ""},
        {uint32_t(content.size()), block.substr(0, block.size() / 2), noDecompress, ""},
        {60000, noise, noDecompress, ""},
        {kMax, codec.Compress(small), "", small},
        {kMax + 1, codec.Compress(small),
         "Compressed message length too large " + std::to_string(kMax + 1), ""},
    };
    const size_t heapBefore = HeapInUse();
    size_t kept = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("stated " + std::to_string(c.stated));
        observer.records.clear();
        logs->records.clear();
        const std::string after = Frame(701, "after the bomb");
        send(Aggregate(c.stated, c.block) + after);
        std::string arrived;
        for (const test::Record& r : observer.records) {
            arrived += r.bytes;
        }
        EXPECT_EQ(arrived, c.arrives + after);
        EXPECT_TRUE(receiver.isConnected());
        EXPECT_EQ(logs->Texts(), c.record.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{c.record});
        kept = std::max(kept, size_t(c.stated <= kMax ? c.stated : 0));
        if (!test::UnderValgrind()) {
            EXPECT_LE(HeapInUse(), heapBefore + kept + 64 * 1024);
        }
    }
    raw::Close(peer);
    raw::Close(server);
}

}  // namespace
}  // namespace veltonet
