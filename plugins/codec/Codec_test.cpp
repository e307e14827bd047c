#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "veltonet/receiver.h"

extern "C" {
unsigned int Uncompress(const char* source, unsigned int sourceLength, char* destination,
                        unsigned int capacity);
unsigned int Compress(const char* source, unsigned int sourceLength, char* destination,
                      unsigned int capacity);
const char* GetCompressVersion(void);
const char* GetCompressBuild(void);
}

namespace {

std::string Framed(uint16_t type, const std::string& body) {
    const auto size = static_cast<uint16_t>(body.size() + 4);
    std::string bytes{char(size & 0xFF), char(size >> 8), char(type & 0xFF), char(type >> 8)};
    return bytes + body;
}

std::string RandomBytes(size_t n) {
    std::mt19937 generator(7);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

std::string CompressAll(const std::string& input) {
    std::string block(LZ4_compressBound(static_cast<int>(input.size())), '\0');
    const unsigned int n = Compress(input.data(), static_cast<unsigned int>(input.size()),
                                    block.data(), static_cast<unsigned int>(block.size()));
    block.resize(n);
    return block;
}

constexpr char kGuard = '\xAB';

}  // namespace

TEST(Codec, RoundTripsARunOfMessages) {
    const std::string run =
        Framed(60011, "") + Framed(100, std::string(300, 'a')) + Framed(101, "the second message");
    const std::string block = CompressAll(run);
    ASSERT_GT(block.size(), 0u);
    ASSERT_LT(block.size(), run.size());

    std::string out(run.size(), kGuard);
    EXPECT_EQ(Uncompress(block.data(), static_cast<unsigned int>(block.size()), out.data(),
                         static_cast<unsigned int>(out.size())),
              run.size());
    EXPECT_EQ(out, run);
}

TEST(Codec, CompressAnswersZeroWhenTheBlockDoesNotFitAndStaysInsideTheCapacity) {
    const std::string input = RandomBytes(1000);  // incompressible
    std::string out(200, kGuard);
    EXPECT_EQ(Compress(input.data(), 1000, out.data(), 100), 0u);
    EXPECT_EQ(out.substr(100), std::string(100, kGuard));
}

TEST(Codec, UncompressNeverWritesPastTheCapacity) {
    const std::string input(1000, 'x');
    const std::string block = CompressAll(input);
    std::string out(600, kGuard);
    EXPECT_EQ(Uncompress(block.data(), static_cast<unsigned int>(block.size()), out.data(), 500),
              0u);
    EXPECT_EQ(out.substr(500), std::string(100, kGuard));
}

TEST(Codec, UncompressAnswersZeroForCorruptOrTruncatedBlocks) {
    const std::string input = Framed(100, RandomBytes(500)) + Framed(101, std::string(500, 'y'));
    const std::string block = CompressAll(input);
    std::vector<char> out(input.size());
    const auto capacity = static_cast<unsigned int>(out.size());

    const std::string garbage = RandomBytes(64);
    EXPECT_EQ(Uncompress(garbage.data(), 64, out.data(), capacity), 0u);
    EXPECT_EQ(
        Uncompress(block.data(), static_cast<unsigned int>(block.size() / 2), out.data(), capacity),
        0u);
}

TEST(Codec, NullOrEmptyArgumentsAnswerZeroWithoutTouchingAnything) {
    char out[8];
    std::memset(out, kGuard, sizeof out);
    EXPECT_EQ(Uncompress(nullptr, 10, out, sizeof out), 0u);
    EXPECT_EQ(Uncompress("abc", 0, out, sizeof out), 0u);
    EXPECT_EQ(Uncompress("abc", 3, nullptr, 8), 0u);
    EXPECT_EQ(Uncompress("abc", 3, out, 0), 0u);
    EXPECT_EQ(Compress(nullptr, 10, out, sizeof out), 0u);
    EXPECT_EQ(Compress("abc", 3, nullptr, 8), 0u);
    EXPECT_EQ(Compress("abc", 3, out, 0), 0u);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, kGuard));
}

TEST(Codec, TellsItsVersionAndTheLz4ItRunsOn) {
    EXPECT_STREQ(GetCompressVersion(), VELTONET_VERSION_TEXT);
    EXPECT_STREQ(GetCompressBuild(), LZ4_versionString());
}
