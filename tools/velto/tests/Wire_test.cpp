#include "Wire.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

MessageView View(const std::string& bytes) {
    return MessageView::Of(bytes.data());
}

TEST(Wire, FrameWritesSizeAndTypeLittleEndian) {
    EXPECT_EQ(Frame(0x1234, "ab"), std::string("\x06\x00\x34\x12"
                                               "ab",
                                               6));
    EXPECT_EQ(Frame(7, ""), std::string("\x04\x00\x07\x00", 4));
    EXPECT_EQ(Frame(1, std::string(65531, 'x')).size(), 65535u);
    EXPECT_TRUE(Frame(1, std::string(65532, 'x')).empty());  // would wrap the 16-bit size
}

TEST(Wire, QuoteRoundTripsAndIsExactlyItsSize) {
    Quote quote{999, 12345, 10010, 10014, 300, 4500, 0x0102030405060708ull};
    const std::string bytes = EncodeQuote(quote);
    ASSERT_EQ(bytes.size(), kQuoteSize);
    EXPECT_EQ(ReadU16(reinterpret_cast<const unsigned char*>(bytes.data()) + 2), kTypeQuote);
    const std::optional<Quote> back = DecodeQuote(View(bytes));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->instrument, 999u);
    EXPECT_EQ(back->sequence, 12345u);
    EXPECT_EQ(back->bid, 10010u);
    EXPECT_EQ(back->ask, 10014u);
    EXPECT_EQ(back->bidSize, 300u);
    EXPECT_EQ(back->askSize, 4500u);
    EXPECT_EQ(back->micros, 0x0102030405060708ull);
    // Another type, or a quote of another length, is not a quote.
    EXPECT_FALSE(DecodeQuote(View(Frame(kTypeTrade, bytes.substr(4)))).has_value());
    EXPECT_FALSE(DecodeQuote(View(Frame(kTypeQuote, bytes.substr(4, 20)))).has_value());
}

TEST(Wire, TradeAndSequencedPacket) {
    const std::string trade = EncodeTrade(Trade{77, 5, 250010, 300});
    ASSERT_EQ(trade.size(), kTradeSize);
    const std::optional<Trade> back = DecodeTrade(View(trade));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->number, 77u);
    EXPECT_EQ(back->quantity, 300u);

    const std::string packet = SequencedPacket(0x01020304, trade + trade);
    EXPECT_EQ(packet.substr(0, 8), std::string("\x30\x00\x10\x52\x04\x03\x02\x01", 8));
    EXPECT_EQ(packet.substr(8), trade + trade);
}

TEST(Wire, RepairRequestIsEightBytesExactly) {
    std::string request = Frame(kTypeRepairRequest, std::string("\x11\x00\x00\x00", 4));
    EXPECT_EQ(RepairRequestFirst(View(request)), 17u);
    EXPECT_FALSE(RepairRequestFirst(View(Frame(kTypeRepairRequest, "abc"))).has_value());
    EXPECT_FALSE(RepairRequestFirst(View(Frame(kTypeRepairRequest, "abcde"))).has_value());
    EXPECT_FALSE(RepairRequestFirst(View(Frame(kTypeTrade, "abcd"))).has_value());
}

TEST(Wire, HexBothWays) {
    EXPECT_EQ(HexBytes(std::string("\x00\x7f\xff", 3)), "00 7f ff");
    EXPECT_EQ(HexBytes(""), "");
    EXPECT_EQ(Printable(std::string("hi\x01\n", 4)), "hi..");
    EXPECT_EQ(ParseHexBytes("0aFF"), std::string("\x0a\xff", 2));
    EXPECT_EQ(ParseHexBytes("0a ff:01,02"), std::string("\x0a\xff\x01\x02", 4));
    EXPECT_EQ(ParseHexBytes(""), std::string());
    EXPECT_FALSE(ParseHexBytes("0a f").has_value());  // odd digit count
    EXPECT_FALSE(ParseHexBytes("0 a").has_value());   // a pair split by a separator
    EXPECT_FALSE(ParseHexBytes("zz").has_value());
}

TEST(Wire, MessageViewValueNeedsEightBytes) {
    const std::string failed = Frame(60009, std::string("\x4d\x27\x00\x00", 4));
    EXPECT_EQ(View(failed).Value(), 10061u);
    EXPECT_EQ(View(Frame(60001, "")).Value(), 0u);
    EXPECT_EQ(View(Frame(5, "xyz")).Body(), "xyz");
}

}  // namespace
}  // namespace velto
