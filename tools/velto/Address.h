#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velto {

// A command-line value that cannot be used: the tool prints what() on one line and exits 2.
class ArgumentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Endpoint {
    std::string host;  // dotted IPv4 or a host name
    uint16_t port = 0;
};

// One server port and the addresses to rotate through, as a TCP receiver takes them.
struct AddressList {
    std::vector<std::string> hosts;
    uint16_t port = 0;
};

struct SubscriptionKey {
    uint32_t identifier = 0;
    std::optional<std::string> name;  // absent: the table without names
    auto operator<=>(const SubscriptionKey&) const = default;
};

// Decimal port text. Zero is accepted only where the kernel may pick (allowZero).
uint16_t ParsePort(const std::string& text, bool allowZero);

// "HOST:PORT".
Endpoint ParseEndpoint(const std::string& text, bool allowZeroPort = false);

// "HOST:PORT[,HOST2[:PORT]]...": every entry shares the first entry's port.
AddressList ParseAddressList(const std::string& text);

// "ID" or "ID:NAME"; an empty NAME ("ID:") is a named subscription with the empty name.
SubscriptionKey ParseSubscription(const std::string& text);

// Dotted-decimal IPv4 with exactly four parts; the address in host byte order.
bool ParseDottedQuad(const std::string& text, uint32_t* address = nullptr);
bool IsMulticastGroup(const std::string& host);  // 224.0.0.0/4
bool IsLoopback(const std::string& host);        // 127.0.0.0/8

std::string Describe(const SubscriptionKey& key);  // 7 or 7:"EURUSD"

}  // namespace velto
