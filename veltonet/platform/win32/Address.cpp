#include "veltonet/platform/Address.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace veltonet {

bool ParseDottedIPv4(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) {
        return false;
    }
    // inet_addr takes the shortened dotted forms ("239.7.2313" is 239.7.9.9); its failure
    // value is also the broadcast address, which is told apart by its text.
    const unsigned long parsed = inet_addr(text);
    if (parsed == INADDR_NONE && std::strcmp(text, "255.255.255.255") != 0) {
        return false;
    }
    *address = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace veltonet
