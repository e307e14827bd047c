#pragma once

#include <map>
#include <string>
#include <vector>

namespace velto {

// The clients of one listener as a host sees them. The library announces no arrival, so
// the roster compares the listener's pending and active clients with what it knew after each
// loop round; a departure is the client's 60002, which the host passes to Forget.
class ClientRoster {
  public:
    struct Arrival {
        void* client;
        std::string address;  // the peer, "127.0.0.1:51000"
        bool pending;         // waiting for admission
    };

    explicit ClientRoster(void* listener) : m_listener(listener) {}

    // The clients seen for the first time since the last call.
    std::vector<Arrival> Refresh();
    // The client's address; *arrived tells whether the roster had not seen it before (a
    // client that published before the next Refresh).
    std::string See(void* client, bool* arrived);
    // The departed client's address; empty for a client the roster never saw.
    std::string Forget(void* client);
    std::vector<void*> Pending() const;
    size_t Count() const { return m_known.size(); }

  private:
    void* m_listener;
    std::map<void*, std::string> m_known;
};

}  // namespace velto
