#include "veltonet/platform/Address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace veltonet {

bool ParseDottedIPv4(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) {
        return false;
    }
    // inet_aton, not inet_pton: the Windows parser takes the shortened forms too ("239.7.2313"
    // is 239.7.9.9), and peers and hosts write group addresses that way.
    in_addr parsed{};
    if (inet_aton(text, &parsed) == 0) {
        return false;
    }
    *address = parsed.s_addr;
    return true;
}

}  // namespace veltonet
