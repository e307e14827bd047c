#include "veltonet/variants/FormatReceiver.h"

#include <cstring>
#include <functional>

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using namespace test;

// A format receiver whose wire form each test scripts.
class ScriptedFormatReceiver : public FormatReceiver {
  public:
    using Format = std::function<unsigned int(const Message*, const Message*, char*, unsigned int,
                                              unsigned int*)>;
    explicit ScriptedFormatReceiver(unsigned short port)
        : FormatReceiver("fmt", "127.0.0.1", port, 0) {}
    unsigned int FormatRequest(const Message* request, const Message* second, char* buffer,
                               unsigned int size, unsigned int* start) override {
        return format(request, second, buffer, size, start);
    }
    Format format;
};

// Writes text at the given offset, after bytes that must never be sent.
ScriptedFormatReceiver::Format WriteAt(unsigned int offset, std::string text) {
    return [offset, text](const Message*, const Message*, char* buffer, unsigned int,
                          unsigned int* start) {
        std::memset(buffer, '#', offset);
        std::memcpy(buffer + offset, text.data(), text.size());
        *start = offset;
        return unsigned(text.size());
    };
}

using FormatReceiverTest = VariantsTest;

TEST_F(FormatReceiverTest, EachReceiverSendsExactlyItsFormattedBytesAndNoneWhenEmptyOrOutside) {
    Link<ScriptedFormatReceiver> a, b;
    for (auto* peer : {&a, &b})
        ASSERT_TRUE(Open(
            *peer, [](uint16_t port) { return std::make_unique<ScriptedFormatReceiver>(port); }));
    const std::string request = Frame(42, "order"), second = Frame(43, "context");
    const Message* const r = Message::At(request.data());
    const Message* const s = Message::At(second.data());
    unsigned int startOnEntry = 99, sizeGiven = 0;
    a.receiver->format = [&](const Message* given, const Message* givenSecond, char*,
                             unsigned int size, unsigned int* start) {
        EXPECT_EQ(given, r);
        EXPECT_EQ(givenSecond, s);
        startOnEntry = *start;
        sizeGiven = size;
        return 0u;
    };
    EXPECT_FALSE(a.receiver->SendRequest(r, s, false));
    EXPECT_EQ(startOnEntry, 0u);
    EXPECT_EQ(sizeGiven, 65535u);
    // Bytes outside the buffer are never sent.
    b.receiver->format = [](const Message*, const Message*, char*, unsigned int,
                            unsigned int* start) {
        *start = 65530;
        return 10u;
    };
    EXPECT_FALSE(b.receiver->SendRequest(r));
    EXPECT_EQ(logs->Texts(),
              std::vector<std::string>{"FormatReceiver::SendRequest format out of range 65530 10"});

    // The receivers share one buffer; each sends its own bytes from its start offset.
    a.receiver->format = WriteAt(0, "from a;");
    b.receiver->format = WriteAt(3, "from b;");
    EXPECT_TRUE(a.receiver->SendRequest(r));
    EXPECT_TRUE(b.receiver->SendRequest(r));
    EXPECT_TRUE(a.receiver->SendRequest(r));
    EXPECT_EQ(a.Received(), "from a;from a;");
    EXPECT_EQ(b.Received(), "from b;");

    // A request sent while another is being formatted does not overwrite it.
    a.receiver->format = [&](const Message* given, const Message*, char* buffer, unsigned int,
                             unsigned int*) {
        std::memcpy(buffer, "outer", 5);
        EXPECT_TRUE(b.receiver->SendRequest(given));
        return 5u;
    };
    EXPECT_TRUE(a.receiver->SendRequest(r));
    EXPECT_EQ(a.Received(), "outer");
    EXPECT_EQ(b.Received(), "from b;");
}

}  // namespace
}  // namespace veltonet
