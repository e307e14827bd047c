#include "Address.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

std::string ErrorOf(void (*parse)(const std::string&), const std::string& text) {
    try {
        parse(text);
    } catch (const ArgumentError& error) {
        return error.what();
    }
    return "";
}

void Endpoint_(const std::string& text) {
    ParseEndpoint(text);
}
void List_(const std::string& text) {
    ParseAddressList(text);
}
void Port_(const std::string& text) {
    ParsePort(text, false);
}
void Subscription_(const std::string& text) {
    ParseSubscription(text);
}

TEST(Address, EndpointTakesDottedQuadsAndHostNames) {
    const Endpoint dotted = ParseEndpoint("127.0.0.1:5000");
    EXPECT_EQ(dotted.host, "127.0.0.1");
    EXPECT_EQ(dotted.port, 5000);
    const Endpoint named = ParseEndpoint("localhost:65535");
    EXPECT_EQ(named.host, "localhost");
    EXPECT_EQ(named.port, 65535);
    EXPECT_EQ(ParseEndpoint("127.0.0.1:0", true).port, 0);
}

TEST(Address, EndpointErrorsSayWhatIsWrong) {
    EXPECT_EQ(ErrorOf(Endpoint_, "nocolon"), "cannot parse address 'nocolon': expected HOST:PORT");
    EXPECT_EQ(ErrorOf(Endpoint_, "127.0.0.1:70000"),
              "port 70000 out of range in '127.0.0.1:70000' (1-65535)");
    EXPECT_EQ(ErrorOf(Endpoint_, "127.0.0.1:0"), "port 0 out of range in '127.0.0.1:0' (1-65535)");
    EXPECT_EQ(ErrorOf(Endpoint_, "127.0.0.1:99999999999"),
              "port 99999999999 out of range in '127.0.0.1:99999999999' (1-65535)");
    EXPECT_EQ(ErrorOf(Endpoint_, "127.0.0.1:http"),
              "cannot parse address '127.0.0.1:http': expected HOST:PORT");
    EXPECT_EQ(ErrorOf(Endpoint_, ":5000"), "cannot parse address ':5000': the host is empty");
    EXPECT_EQ(ErrorOf(Endpoint_, "300.0.0.1:5000"),
              "cannot parse address '300.0.0.1:5000': '300.0.0.1' is not a dotted-decimal IPv4 "
              "address");
    EXPECT_EQ(ErrorOf(Endpoint_, "127.1:5000"),
              "cannot parse address '127.1:5000': '127.1' is not a dotted-decimal IPv4 address");
    EXPECT_EQ(ErrorOf(Endpoint_, "::1:5000"),
              "cannot parse address '::1:5000': expected HOST:PORT (IPv4 only)");
    EXPECT_EQ(ErrorOf(Endpoint_, "ho st:5000"),
              "cannot parse address 'ho st:5000': invalid host 'ho st'");
}

TEST(Address, ListSharesTheFirstPort) {
    const AddressList list = ParseAddressList("127.0.0.1:5000,localhost,127.0.0.2:5000");
    EXPECT_EQ(list.port, 5000);
    EXPECT_EQ(list.hosts, (std::vector<std::string>{"127.0.0.1", "localhost", "127.0.0.2"}));
    EXPECT_EQ(ErrorOf(List_, "127.0.0.1:5000,127.0.0.2:6000"),
              "cannot parse address '127.0.0.1:5000,127.0.0.2:6000': every address of the list "
              "shares the first one's port");
    EXPECT_EQ(ErrorOf(List_, "127.0.0.1,127.0.0.2:5000"),
              "cannot parse address '127.0.0.1,127.0.0.2:5000': expected "
              "HOST:PORT[,HOST2...]");
    EXPECT_EQ(ErrorOf(List_, "127.0.0.1:5000,"),
              "cannot parse address '127.0.0.1:5000,': the host is empty");
}

TEST(Address, PortRange) {
    EXPECT_EQ(ParsePort("1", false), 1);
    EXPECT_EQ(ParsePort("0", true), 0);
    EXPECT_EQ(ErrorOf(Port_, "0"), "port 0 out of range (1-65535)");
    EXPECT_EQ(ErrorOf(Port_, "65536"), "port 65536 out of range (1-65535)");
    EXPECT_EQ(ErrorOf(Port_, "-1"), "cannot parse port '-1': expected a number (1-65535)");
    EXPECT_EQ(ErrorOf(Port_, ""), "cannot parse port '': expected a number (1-65535)");
}

TEST(Address, SubscriptionsWithAndWithoutNames) {
    const SubscriptionKey plain = ParseSubscription("42");
    EXPECT_EQ(plain.identifier, 42u);
    EXPECT_FALSE(plain.name.has_value());
    const SubscriptionKey named = ParseSubscription("7:EUR:USD");
    EXPECT_EQ(named.identifier, 7u);
    EXPECT_EQ(named.name, "EUR:USD");
    const SubscriptionKey empty = ParseSubscription("7:");
    EXPECT_EQ(empty.name, "");
    EXPECT_EQ(ParseSubscription("4294967295").identifier, 4294967295u);
    EXPECT_EQ(ErrorOf(Subscription_, "4294967296"),
              "cannot parse subscription '4294967296': expected ID[:NAME] with ID from 0 to "
              "4294967295");
    EXPECT_EQ(ErrorOf(Subscription_, "x:1"),
              "cannot parse subscription 'x:1': expected ID[:NAME] with ID from 0 to 4294967295");
    EXPECT_EQ(Describe(named), "7:\"EUR:USD\"");
    EXPECT_EQ(Describe(plain), "42");
}

TEST(Address, GroupsAndLoopback) {
    EXPECT_TRUE(IsMulticastGroup("224.0.0.1"));
    EXPECT_TRUE(IsMulticastGroup("239.255.255.255"));
    EXPECT_FALSE(IsMulticastGroup("240.0.0.1"));
    EXPECT_FALSE(IsMulticastGroup("223.255.255.255"));
    EXPECT_FALSE(IsMulticastGroup("localhost"));
    EXPECT_TRUE(IsLoopback("127.0.0.1"));
    EXPECT_TRUE(IsLoopback("127.255.0.9"));
    EXPECT_FALSE(IsLoopback("128.0.0.1"));
    EXPECT_FALSE(IsLoopback("localhost"));  // not resolved: only literal addresses count
    uint32_t address = 0;
    ASSERT_TRUE(ParseDottedQuad("10.1.2.3", &address));
    EXPECT_EQ(address, 0x0A010203u);
    EXPECT_FALSE(ParseDottedQuad("10.1.2.3.4"));
    EXPECT_FALSE(ParseDottedQuad("10.1..3"));
    EXPECT_FALSE(ParseDottedQuad("1234.1.2.3"));
}

}  // namespace
}  // namespace velto
