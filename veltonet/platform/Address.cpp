// The address functions that both systems' socket libraries answer alike; the dotted parser
// differs and stays in posix/ and win32/.
#include "veltonet/platform/Address.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace veltonet {

bool ResolveIPv4(const char* text, uint32_t* address) {
    if (text == nullptr || *text == '\0' || address == nullptr) {
        return false;
    }
    if (ParseDottedIPv4(text, address)) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &results) != 0 || results == nullptr) {
        return false;
    }
    bool found = false;
    for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in resolved{};
            std::memcpy(&resolved, entry->ai_addr, sizeof(resolved));
            *address = resolved.sin_addr.s_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(results);
    return found;
}

std::string FormatIPv4(uint32_t address) {
    in_addr value{};
    value.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &value, text, sizeof(text)) == nullptr) {
        return std::string();
    }
    return text;
}

}  // namespace veltonet
