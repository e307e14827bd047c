#pragma once

// The few libzmq steps every zmq contender takes, with failures ending the process.

#include <zmq.h>

#include <cstdint>
#include <functional>
#include <string>

namespace bench::zmq {

// A context with one I/O thread (the library default) and room for maxSockets sockets.
void* NewContext(int maxSockets = 1023);
void* NewSocket(void* context, int type);
// Binds to tcp://127.0.0.1 on a kernel-picked port; answers the port.
uint16_t BindLoopback(void* socket);
void ConnectLoopback(void* socket, uint16_t port);
void SetInt(void* socket, int option, int value);
// A PULL socket connected to 127.0.0.1:port hands each message to onMessage until keepGoing
// answers false (asked at least every 100 ms).
void PullEach(uint16_t port, const std::function<bool()>& keepGoing,
              const std::function<void(const char* bytes, size_t length)>& onMessage);

}  // namespace bench::zmq
