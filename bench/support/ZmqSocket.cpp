#include "support/ZmqSocket.h"

#include <cstdlib>

#include "support/BenchSupport.h"

namespace bench::zmq {

void* NewContext(int maxSockets) {
    void* context = zmq_ctx_new();
    if (context == nullptr) {
        Die("zmq_ctx_new failed");
    }
    zmq_ctx_set(context, ZMQ_IO_THREADS, 1);
    zmq_ctx_set(context, ZMQ_MAX_SOCKETS, maxSockets);
    return context;
}

void* NewSocket(void* context, int type) {
    void* socket = zmq_socket(context, type);
    if (socket == nullptr) {
        Die(std::string("zmq_socket failed: ") + zmq_strerror(zmq_errno()));
    }
    return socket;
}

uint16_t BindLoopback(void* socket) {
    if (zmq_bind(socket, "tcp://127.0.0.1:*") != 0) {
        Die(std::string("zmq_bind failed: ") + zmq_strerror(zmq_errno()));
    }
    char endpoint[256];
    size_t length = sizeof(endpoint);
    if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &length) != 0) {
        Die("ZMQ_LAST_ENDPOINT failed");
    }
    const std::string text(endpoint);
    const size_t colon = text.rfind(':');
    return static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1));
}

void ConnectLoopback(void* socket, uint16_t port) {
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
    if (zmq_connect(socket, endpoint.c_str()) != 0) {
        Die(std::string("zmq_connect failed: ") + zmq_strerror(zmq_errno()));
    }
}

void SetInt(void* socket, int option, int value) {
    if (zmq_setsockopt(socket, option, &value, sizeof(value)) != 0) {
        Die("zmq_setsockopt " + std::to_string(option) + " failed");
    }
}

void PullEach(uint16_t port, const std::function<bool()>& keepGoing,
              const std::function<void(const char* bytes, size_t length)>& onMessage) {
    void* context = NewContext();
    void* pull = NewSocket(context, ZMQ_PULL);
    SetInt(pull, ZMQ_RCVTIMEO, 100);
    SetInt(pull, ZMQ_LINGER, 0);
    ConnectLoopback(pull, port);
    zmq_msg_t message;
    zmq_msg_init(&message);
    while (keepGoing()) {
        if (zmq_msg_recv(&message, pull, 0) >= 0) {
            onMessage(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
        }
    }
    zmq_msg_close(&message);
    zmq_close(pull);
    zmq_ctx_term(context);
}

}  // namespace bench::zmq
