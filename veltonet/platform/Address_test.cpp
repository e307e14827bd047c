#include "veltonet/platform/Address.h"

#include <gtest/gtest.h>

#include <cstring>

namespace veltonet {
namespace {

TEST(Address, DottedDecimalIsKeptInNetworkOrder) {
    uint32_t address = 0;
    ASSERT_TRUE(ParseDottedIPv4("192.168.1.20", &address));
    const unsigned char inMemory[4] = {192, 168, 1, 20};
    EXPECT_EQ(std::memcmp(&address, inMemory, 4), 0);
    EXPECT_EQ(FormatIPv4(address), "192.168.1.20");
}

TEST(Address, OnlyFourDecimalPartsParse) {
    uint32_t address = 7;
    for (const char* text : {"", "1.2.3", "256.1.1.1", "1.2.3.4.5", " 1.2.3.4", "a.b.c.d",
                             "0x7f.0.0.1", "localhost"}) {
        EXPECT_FALSE(ParseDottedIPv4(text, &address)) << text;
    }
    EXPECT_FALSE(ParseDottedIPv4(nullptr, &address));
    EXPECT_EQ(address, 7u);
}

TEST(Address, NamesResolveToIPv4) {
    uint32_t address = 0;
    ASSERT_TRUE(ResolveIPv4("localhost", &address));
    EXPECT_EQ(FormatIPv4(address), "127.0.0.1");
    ASSERT_TRUE(ResolveIPv4("10.0.0.1", &address));
    EXPECT_EQ(FormatIPv4(address), "10.0.0.1");
    EXPECT_FALSE(ResolveIPv4("", &address));
    EXPECT_FALSE(ResolveIPv4(nullptr, &address));
}

}  // namespace
}  // namespace veltonet
