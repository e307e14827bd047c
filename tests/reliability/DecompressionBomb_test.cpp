// Compressed aggregates that lie, through the real Codec.so: an absurd stated length, a stated
// length below the real content, truncated and random compressed bytes. Each is dropped with a
// record, the heap stays bounded, and the next message on the connection arrives.
#include <gtest/gtest.h>

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

class DecompressionBombTest : public test::ManagerTest {
  protected:
    void SetUp() override {
        test::ManagerTest::SetUp();
        ASSERT_TRUE(codec.isLoaded()) << "Codec.so did not load";
        uint16_t port = 0;
        server = raw::Listen(&port);
        receiver = new TCPReceiver("feed", "127.0.0.1", port, 0);
        receiver->Add(&observer);
        receiver->InvalidateSocket(true);
        ASSERT_TRUE(receiver->CreateSocket());
        peer = raw::AcceptWithin(server, 2000);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
        observer.records.clear();
        // The decompression buffer is made on first use and kept: make it before measuring.
        const std::string warm = Frame(700, "warm");
        Send(Aggregate(uint32_t(warm.size()), codec.Compress(warm)));
        observer.records.clear();
        heapBefore = HeapInUse();
    }
    void TearDown() override {
        delete receiver;
        raw::Close(peer);
        raw::Close(server);
        test::ManagerTest::TearDown();
    }

    void Send(const std::string& bytes) {
        const unsigned int expected = receiver->GetSizeReceived() + unsigned(bytes.size());
        ASSERT_TRUE(raw::SendAll(peer, bytes));
        ASSERT_TRUE(PumpUntil([&] { return receiver->GetSizeReceived() == expected; }));
    }

    // The bomb, then an ordinary message: only the ordinary one reaches the observer, the
    // connection stays up, and exactly the expected record is written. The heap may grow by
    // the decompression buffer (`kept`: the stated length, which the buffer keeps) and no more.
    void ExpectDropped(const std::string& bomb, const std::string& record, size_t kept = 0) {
        const std::string after = Frame(701, "after the bomb");
        Send(bomb + after);
        ASSERT_EQ(observer.records.size(), 1u) << observer.Types().front();
        EXPECT_EQ(observer.records[0].bytes, after);
        EXPECT_TRUE(receiver->isConnected());
        EXPECT_EQ(logs->Texts(), std::vector<std::string>{record});
        if (!test::UnderValgrind()) {
            EXPECT_LE(HeapInUse(), heapBefore + kept + 64 * 1024);
        }
    }

    // A run of messages worth compressing.
    static std::string Content() {
        std::string content;
        for (int i = 0; i < 200; ++i) {
            content +=
                Frame(uint16_t(800 + i % 7), std::string(size_t(20 + i % 13), char('a' + i % 26)));
        }
        return content;
    }

    test::Codec codec;
    int server = -1;
    int peer = -1;
    TCPReceiver* receiver = nullptr;
    test::RecordingObserver observer;
    size_t heapBefore = 0;
};

TEST_F(DecompressionBombTest, AStatedLengthOfFourGigabytesIsRefusedWithoutAllocating) {
    const std::string content = Content();
    ExpectDropped(Aggregate(0xFFFFFFFFu, codec.Compress(content)),
                  "Compressed message length too large 4294967295");
}

TEST_F(DecompressionBombTest, AStatedLengthBelowTheRealContentDecompressesNothing) {
    const std::string content = Content();
    // The buffer was made for a few bytes; the stated length makes it a quarter of the content.
    ExpectDropped(Aggregate(uint32_t(content.size() / 4), codec.Compress(content)),
                  "Compressed message does not decompress", content.size() / 4);
}

TEST_F(DecompressionBombTest, TruncatedCompressedDataDecompressesNothing) {
    const std::string content = Content();
    const std::string block = codec.Compress(content);
    ExpectDropped(Aggregate(uint32_t(content.size()), block.substr(0, block.size() / 2)),
                  "Compressed message does not decompress", content.size());
}

TEST_F(DecompressionBombTest, RandomBytesDecompressNothing) {
    std::string noise;
    uint32_t state = 12345;
    for (int i = 0; i < 3000; ++i) {
        state = state * 1103515245u + 12345u;
        noise += char(state >> 24);
    }
    ExpectDropped(Aggregate(60000, noise), "Compressed message does not decompress", 60000);
}

TEST_F(DecompressionBombTest, TheLargestStatedLengthIsBoundedAndTheContentStillArrives) {
    // A tiny block that states the largest length allowed: the buffer grows to that bound
    // once, never beyond, and the real content is delivered.
    const std::string content = Frame(702, "small");
    Send(Aggregate(TCPReceiver::kMaxUncompressedLength, codec.Compress(content)));
    ASSERT_EQ(observer.records.size(), 1u);
    EXPECT_EQ(observer.records[0].bytes, content);
    if (!test::UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heapBefore + TCPReceiver::kMaxUncompressedLength + 64 * 1024);
    }
    observer.records.clear();
    ExpectDropped(Aggregate(TCPReceiver::kMaxUncompressedLength + 1, codec.Compress(content)),
                  "Compressed message length too large " +
                      std::to_string(TCPReceiver::kMaxUncompressedLength + 1),
                  TCPReceiver::kMaxUncompressedLength);
}

TEST_F(DecompressionBombTest, ContentThatRunsPastItsEndStopsTheWalkButKeepsWhatCameBefore) {
    const std::string good = Frame(703, "good");
    std::string bad = Frame(704, std::string(50, 'b'));
    bad.resize(20);  // its size field says 54, the content ends after 20 bytes
    const std::string content = good + bad;
    Send(Aggregate(uint32_t(content.size()), codec.Compress(content)) + Frame(705, "next"));
    ASSERT_EQ(observer.Types(), (std::vector<uint16_t>{703, 705}));
    EXPECT_EQ(observer.records[0].bytes, good);
}

}  // namespace
}  // namespace veltonet
