#include "veltonet/tcp/SendList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace veltonet {
namespace {

constexpr uint32_t kFirst = 65535;
constexpr uint32_t kMax = 1048575;
constexpr uint32_t kMaxChunks = 15;

// Distinct bytes per position, so that a lost, doubled or reordered byte shows.
std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = char((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    }
    return s;
}

void ExpectInvariant(const SendChunk* chunk) {
    ASSERT_NE(chunk, nullptr);
    EXPECT_LE(uint64_t(chunk->offset) + chunk->length, chunk->size);
}

// Takes everything queued, at most `step` bytes per consume, as a flush would, checking the
// invariant of every first chunk on the way.
std::string Drain(SendList& list, uint32_t step = UINT32_MAX) {
    std::string out;
    while (!list.isEmpty()) {
        SendChunk* first = list.First();
        ExpectInvariant(first);
        uint32_t n = std::min(first->length, step);
        out.append(first->data + first->offset, n);
        list.Consume(n);
    }
    return out;
}

TEST(SendList, ChunksDoubleToTheMaximumAndASixteenthDropsTheWholeQueue) {
    SendList list(kFirst, kMax, kMaxChunks);
    const uint32_t expected[] = {65535,   131070,  262140,  524280,  1048560,
                                 1048575, 1048575, 1048575, 1048575, 1048575,
                                 1048575, 1048575, 1048575, 1048575, 1048575};
    for (uint32_t i = 0; i < kMaxChunks; ++i) {
        // Each write fills a new chunk exactly, but the last one leaves 10 bytes of room.
        uint32_t n = list.GetNextChunkSize();
        ASSERT_EQ(n, expected[i]) << "chunk " << i;
        n -= i + 1 == kMaxChunks ? 10 : 0;
        ASSERT_TRUE(list.Append(Pattern(n, i).data(), n));
        EXPECT_EQ(list.GetCount(), i + 1);
        EXPECT_EQ(list.GetLastLength(), expected[i]);
    }
    EXPECT_EQ(list.GetFirstLength(), kFirst);
    ASSERT_TRUE(list.Append("0123", 4));  // still fits into the last chunk's room
    EXPECT_EQ(list.GetCount(), 15u);

    // Six bytes fit, nine would need a sixteenth chunk: the copied six go with the rest.
    EXPECT_FALSE(list.Append("abcdefghijklmno", 15));
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.GetNextChunkSize(), kFirst);
    ASSERT_TRUE(list.Append("abc", 3));  // starting over from the first size
    EXPECT_EQ(list.GetFirstLength(), kFirst);
    EXPECT_EQ(Drain(list), "abc");
}

TEST(SendList, WriteLargerThanNextChunkGetsChunkOfExactlyItsSize) {
    SendList list(kFirst, kMax, kMaxChunks);
    std::string big = Pattern(200000, 1);
    ASSERT_TRUE(list.Append(big.data(), uint32_t(big.size())));
    EXPECT_EQ(list.GetFirstLength(), 200000u);

    // The full chunk has no room; the next write gets the doubled size, not its own.
    ASSERT_TRUE(list.Append("x", 1));
    EXPECT_EQ(list.GetCount(), 2u);
    EXPECT_EQ(list.GetLastLength(), 131070u);

    std::string huge = Pattern(3000000, 2);
    ASSERT_TRUE(list.Append(huge.data(), uint32_t(huge.size())));
    EXPECT_EQ(list.GetCount(), 3u);
    // 131069 bytes filled the second chunk; the rest got a chunk of exactly its size.
    EXPECT_EQ(list.GetLastLength(), 3000000u - 131069u);
    EXPECT_EQ(Drain(list), big + "x" + huge);
}

TEST(SendList, AppendGoesBehindTheUnsentBytesAndSpillsIntoANewChunk) {
    SendList list(kFirst, kMax, kMaxChunks);
    std::string a = Pattern(65500, 3);
    std::string b = Pattern(100, 4);
    ASSERT_TRUE(list.Append(a.data(), uint32_t(a.size())));
    list.Consume(1000);
    SendChunk* first = list.First();
    ExpectInvariant(first);
    EXPECT_EQ(first->offset, 1000u);
    EXPECT_EQ(first->length, 64500u);

    // 35 bytes fit after the unsent ones; the 1000 sent bytes at the front are not reused.
    ASSERT_TRUE(list.Append(b.data(), uint32_t(b.size())));
    ASSERT_EQ(list.GetCount(), 2u);
    EXPECT_EQ(first->offset, 1000u);
    EXPECT_EQ(first->length, 64500u + 35u);
    EXPECT_EQ(list.GetLastLength(), 131070u);
    EXPECT_EQ(Drain(list, 4096), a.substr(1000) + b);
}

TEST(SendList, ConsumingAWholeChunkRemovesItButNeverTheLastWhichIsReusedFromItsStart) {
    SendList list(8, 64, kMaxChunks);
    list.Consume(5);  // nothing queued
    EXPECT_EQ(list.GetCount(), 0u);
    ASSERT_TRUE(list.Append("AAAAAAAA", 8));
    ASSERT_TRUE(list.Append("", 0));
    ASSERT_TRUE(list.Append("BBBB", 4));
    ASSERT_EQ(list.GetCount(), 2u);
    list.Consume(8);
    EXPECT_EQ(list.GetCount(), 1u);
    list.Consume(4);
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.GetLastLength(), 16u);

    // The kept chunk is reused from offset 0: sixteen bytes fit without a new chunk.
    ASSERT_TRUE(list.Append("0123456789abcdef", 16));
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(Drain(list), "0123456789abcdef");
}

// Random interleaving of appends and partial sends against a plain byte queue: whatever the
// chunk boundaries, the bytes come out in order, each once, and every chunk keeps
// offset + length <= size.
TEST(SendList, InterleavedAppendsAndConsumesMatchAByteQueue) {
    SendList list(64, 1024, 1000);
    std::deque<char> model;
    std::mt19937 rng(12345);
    uint32_t seed = 0;
    for (int round = 0; round < 5000; ++round) {
        if (rng() % 3 != 0) {
            std::string s = Pattern(rng() % 300 + 1, ++seed);
            ASSERT_TRUE(list.Append(s.data(), uint32_t(s.size())));
            model.insert(model.end(), s.begin(), s.end());
        } else if (!list.isEmpty()) {
            SendChunk* first = list.First();
            ExpectInvariant(first);
            uint32_t n = rng() % (first->length + 1);
            for (uint32_t i = 0; i < n; ++i) {
                ASSERT_EQ(first->data[first->offset + i], model.front()) << "round " << round;
                model.pop_front();
            }
            list.Consume(n);
        }
    }
    std::string rest = Drain(list, 77);
    EXPECT_EQ(rest, std::string(model.begin(), model.end()));
    EXPECT_EQ(list.GetCount(), 1u);
}

}  // namespace
}  // namespace veltonet
