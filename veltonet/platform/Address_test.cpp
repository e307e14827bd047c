#include "veltonet/platform/Address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <utility>

namespace veltonet {
namespace {

TEST(Address, DottedDecimalIsKeptInNetworkOrder) {
    uint32_t address = 0;
    ASSERT_TRUE(ParseDottedIPv4("192.168.1.20", &address));
    EXPECT_EQ(address, htonl(0xC0A80114));
    EXPECT_EQ(FormatIPv4(address), "192.168.1.20");
}

TEST(Address, ShortenedDottedFormsParseAsOnWindowsAndOthersFail) {
    uint32_t address = 0;
    for (auto [text, value] : {std::pair{"239.7.2313", "239.7.9.9"},
                               {"127.1", "127.0.0.1"},
                               {"0x7f.0.0.1", "127.0.0.1"}}) {
        ASSERT_TRUE(ParseDottedIPv4(text, &address)) << text;
        EXPECT_EQ(FormatIPv4(address), value) << text;
    }
    address = 7;
    for (const char* text : {"", "256.1.1.1", "1.2.3.4.5", "a.b.c.d", "localhost"}) {
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
