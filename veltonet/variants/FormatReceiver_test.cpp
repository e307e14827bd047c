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
    ScriptedFormatReceiver(const char* name, unsigned short port)
        : FormatReceiver(name, "127.0.0.1", port, 0) {}
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

class FormatReceiverTest : public VariantsTest {
  protected:
    using Peer = Link<ScriptedFormatReceiver>;
    void Open(Peer& peer, const char* name) {
        ASSERT_TRUE(VariantsTest::Open(peer, [name](uint16_t port) {
            return std::make_unique<ScriptedFormatReceiver>(name, port);
        }));
    }

    const std::string request = Frame(42, "order");
    const Message* Request() const { return Message::At(request.data()); }
};

TEST_F(FormatReceiverTest, SendsExactlyTheFormattedBytesAndNothingWhenEmptyOrOutOfRange) {
    Peer peer;
    ASSERT_NO_FATAL_FAILURE(Open(peer, "fmt"));
    const std::string second = Frame(43, "context");
    unsigned int startOnEntry = 99, sizeGiven = 0;
    peer.receiver->format = [&](const Message* r, const Message* s, char*, unsigned int size,
                                unsigned int* start) {
        EXPECT_EQ(r, Request());
        EXPECT_EQ(s, Message::At(second.data()));
        startOnEntry = *start;
        sizeGiven = size;
        return 0u;
    };
    EXPECT_FALSE(peer.receiver->SendRequest(Request(), Message::At(second.data()), false));
    EXPECT_EQ(startOnEntry, 0u);
    EXPECT_EQ(sizeGiven, 65535u);

    peer.receiver->format = WriteAt(10, "WIRE order");
    EXPECT_TRUE(peer.receiver->SendRequest(Request()));
    // Bytes outside the buffer are never sent.
    peer.receiver->format = [](const Message*, const Message*, char*, unsigned int,
                               unsigned int* start) {
        *start = 65530;
        return 10u;
    };
    EXPECT_FALSE(peer.receiver->SendRequest(Request()));
    EXPECT_EQ(logs->Texts(),
              std::vector<std::string>{"FormatReceiver::SendRequest format out of range 65530 10"});
    EXPECT_EQ(peer.Received(), "WIRE order");
}

TEST_F(FormatReceiverTest, ReceiversSharingTheBufferEachSendTheirOwnBytes) {
    Peer a, b;
    ASSERT_NO_FATAL_FAILURE(Open(a, "a"));
    ASSERT_NO_FATAL_FAILURE(Open(b, "b"));
    a.receiver->format = WriteAt(0, "from a;");
    b.receiver->format = WriteAt(3, "from b;");
    EXPECT_TRUE(a.receiver->SendRequest(Request()));
    EXPECT_TRUE(b.receiver->SendRequest(Request()));
    EXPECT_TRUE(a.receiver->SendRequest(Request()));
    EXPECT_EQ(a.Received(), "from a;from a;");
    EXPECT_EQ(b.Received(), "from b;");

    // A request sent while another is being formatted does not overwrite it.
    a.receiver->format = [&](const Message* r, const Message*, char* buffer, unsigned int,
                             unsigned int*) {
        std::memcpy(buffer, "outer", 5);
        EXPECT_TRUE(b.receiver->SendRequest(r));
        return 5u;
    };
    EXPECT_TRUE(a.receiver->SendRequest(Request()));
    EXPECT_EQ(a.Received(), "outer");
    EXPECT_EQ(b.Received(), "from b;");
}

}  // namespace
}  // namespace veltonet
