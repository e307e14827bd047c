#include "Address.h"

#include <cctype>

namespace velto {

namespace {

bool AllDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Host names as the resolver takes them: letters, digits, dots and dashes. Text made of
// digits and dots only must be a complete dotted quad, so "127.1" or "300.0.0.1" is refused
// here instead of being handed to the resolver.
void CheckHost(const std::string& host, const std::string& whole) {
    if (host.empty()) {
        throw ArgumentError("cannot parse address '" + whole + "': the host is empty");
    }
    bool digitsAndDots = true;
    for (char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '.' && c != '-') {
            throw ArgumentError("cannot parse address '" + whole + "': invalid host '" + host +
                                "'");
        }
        digitsAndDots = digitsAndDots && (std::isdigit(u) || c == '.');
    }
    if (digitsAndDots && !ParseDottedQuad(host)) {
        throw ArgumentError("cannot parse address '" + whole + "': '" + host +
                            "' is not a dotted-decimal IPv4 address");
    }
}

uint16_t PortOf(const std::string& text, const std::string& whole, bool allowZero) {
    if (!AllDigits(text)) {
        throw ArgumentError("cannot parse address '" + whole + "': expected HOST:PORT");
    }
    if (text.size() > 5 || std::stoul(text) > 65535 || (!allowZero && std::stoul(text) == 0)) {
        throw ArgumentError("port " + text + " out of range in '" + whole + "' (" +
                            (allowZero ? "0" : "1") + "-65535)");
    }
    return static_cast<uint16_t>(std::stoul(text));
}

// Splits "HOST:PORT"; a text with no colon has no port. IPv6 is not supported.
void SplitHostPort(const std::string& entry, const std::string& whole, std::string* host,
                   std::optional<std::string>* port) {
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) {
        *host = entry;
        port->reset();
        return;
    }
    if (entry.find(':', colon + 1) != std::string::npos) {
        throw ArgumentError("cannot parse address '" + whole + "': expected HOST:PORT (IPv4 only)");
    }
    *host = entry.substr(0, colon);
    *port = entry.substr(colon + 1);
}

}  // namespace

uint16_t ParsePort(const std::string& text, bool allowZero) {
    const std::string range = allowZero ? "0-65535" : "1-65535";
    if (!AllDigits(text)) {
        throw ArgumentError("cannot parse port '" + text + "': expected a number (" + range + ")");
    }
    if (text.size() > 5 || std::stoul(text) > 65535 || (!allowZero && std::stoul(text) == 0)) {
        throw ArgumentError("port " + text + " out of range (" + range + ")");
    }
    return static_cast<uint16_t>(std::stoul(text));
}

Endpoint ParseEndpoint(const std::string& text, bool allowZeroPort) {
    std::string host;
    std::optional<std::string> port;
    SplitHostPort(text, text, &host, &port);
    if (!port) {
        throw ArgumentError("cannot parse address '" + text + "': expected HOST:PORT");
    }
    CheckHost(host, text);
    return Endpoint{host, PortOf(*port, text, allowZeroPort)};
}

AddressList ParseAddressList(const std::string& text) {
    AddressList list;
    size_t start = 0;
    bool first = true;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string entry = text.substr(start, comma - start);
        std::string host;
        std::optional<std::string> port;
        SplitHostPort(entry, text, &host, &port);
        CheckHost(host, text);
        if (first) {
            if (!port) {
                throw ArgumentError("cannot parse address '" + text +
                                    "': expected HOST:PORT[,HOST2...]");
            }
            list.port = PortOf(*port, text, false);
        } else if (port && PortOf(*port, text, false) != list.port) {
            throw ArgumentError("cannot parse address '" + text +
                                "': every address of the list shares the first one's port");
        }
        list.hosts.push_back(host);
        first = false;
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return list;
}

SubscriptionKey ParseSubscription(const std::string& text) {
    const size_t colon = text.find(':');
    const std::string number = text.substr(0, colon);
    if (!AllDigits(number) || number.size() > 10 || std::stoull(number) > 0xFFFFFFFFull) {
        throw ArgumentError("cannot parse subscription '" + text +
                            "': expected ID[:NAME] with ID from 0 to 4294967295");
    }
    SubscriptionKey key;
    key.identifier = static_cast<uint32_t>(std::stoull(number));
    if (colon != std::string::npos) {
        key.name = text.substr(colon + 1);
        if (key.name->size() > 65527) {
            throw ArgumentError("subscription name too long in '" + text.substr(0, 40) +
                                "...' (at most 65527 bytes)");
        }
    }
    return key;
}

bool ParseDottedQuad(const std::string& text, uint32_t* address) {
    uint32_t value = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.', start);
        if ((part < 3) == (dot == std::string::npos)) {
            return false;
        }
        const std::string digits = text.substr(start, dot - start);
        if (!AllDigits(digits) || digits.size() > 3 || std::stoul(digits) > 255) {
            return false;
        }
        value = value << 8 | static_cast<uint32_t>(std::stoul(digits));
        start = dot + 1;
    }
    if (address != nullptr) {
        *address = value;
    }
    return true;
}

bool IsMulticastGroup(const std::string& host) {
    uint32_t address = 0;
    return ParseDottedQuad(host, &address) && (address >> 28) == 0xE;
}

bool IsLoopback(const std::string& host) {
    uint32_t address = 0;
    return ParseDottedQuad(host, &address) && (address >> 24) == 127;
}

std::string Describe(const SubscriptionKey& key) {
    std::string text = std::to_string(key.identifier);
    if (key.name) {
        text += ":\"" + *key.name + "\"";
    }
    return text;
}

}  // namespace velto
