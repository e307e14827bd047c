#pragma once

// The tool's own sockets, beside the library's: probes of local ports and the sequencer's
// datagram sender. One implementation per system, in posix/ and win32/.

#include <cstdint>
#include <string>
#include <string_view>

namespace velto {

// A TCP port that was free a moment ago (bound to 0 and released). A listener that will
// listen again on its port after a restart takes one of these rather than port 0: bound to
// port 0, its accepted connections lack the address reuse that a later bind to the same port
// needs while they linger in TIME_WAIT.
uint16_t PickFreePort();

// Whether something else holds the port: a bind probe with the options the library uses,
// for telling a busy port from other failures.
bool PortBusy(uint16_t port, bool stream);

// An unconnected, non-blocking IPv4 datagram socket.
class DatagramSender {
  public:
    DatagramSender() = default;
    ~DatagramSender();
    DatagramSender(const DatagramSender&) = delete;
    DatagramSender& operator=(const DatagramSender&) = delete;

    // multicastHere: what goes to a group stays on this host (sent through 127.0.0.1 with a
    // time to live of 0, looped back). False with the reason on failure.
    bool Open(bool multicastHere, std::string* why);
    // The whole datagram went out to host (dotted) and port.
    bool SendTo(const std::string& host, uint16_t port, std::string_view datagram);

  private:
    intptr_t m_socket = -1;
};

}  // namespace velto
