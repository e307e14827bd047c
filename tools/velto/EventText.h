#pragma once

#include <cstdint>
#include <string>

namespace velto {

// Names of the notifications the library publishes (60001 "connected", ...); null for a
// type that is not one of them.
const char* NotificationName(uint16_t type);
bool IsNotification(uint16_t type);

// "10061 connection refused": a Windows Sockets error number and what it means.
std::string SocketErrorText(int code);

}  // namespace velto
