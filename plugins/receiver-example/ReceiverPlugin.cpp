// ReceiverPlugin.so: an example of an external receiver plug-in.
//
// When a host has loaded it (R_LoadExternalReceiverLibrary), R_CreateTCPReceiver asks its
// factory first. It claims the names that begin with "example." and answers them with a
// receiver of its own class, which writes one record to the receiver's log for every request
// it sends; for every other name it answers null and the library makes its own receiver.
//
// The receivers it makes run this file's code: the host deletes them before it unloads the
// plug-in. The seventh argument of the factory is free for a plug-in's own use; this one
// ignores it.

#include <cstring>
#include <new>
#include <string>

#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

#define PLUGIN_EXPORT extern "C" RP_EXPORT

#ifndef VELTONET_VERSION_TEXT
#error "VELTONET_VERSION_TEXT must carry the project version"
#endif

namespace {

constexpr char kClaimedPrefix[] = "example.";

// A TCP receiver that logs each request before it goes to the send path: "Request type
// <type> size <size>" for a framed request, "Request of <n> bytes" for anything shorter.
class LoggingReceiver final : public veltonet::TCPReceiver {
  public:
    using TCPReceiver::TCPReceiver;

    bool SendBuffer(const char* data, int length, bool flag) override {
        LogMessage(GetName().c_str(), Describe(data, length).c_str(), GetIp());
        return TCPReceiver::SendBuffer(data, length, flag);
    }

  private:
    static std::string Describe(const char* data, int length) {
        if (data == nullptr || length < 4) {
            return "Request of " + std::to_string(length < 0 ? 0 : length) + " bytes";
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        const unsigned int size = bytes[0] | bytes[1] << 8;
        const unsigned int type = bytes[2] | bytes[3] << 8;
        return "Request type " + std::to_string(type) + " size " + std::to_string(size);
    }
};

bool Claims(const char* name) {
    return name != nullptr && std::strncmp(name, kClaimedPrefix, sizeof kClaimedPrefix - 1) == 0;
}

}  // namespace

PLUGIN_EXPORT void R_CALL ExternalReceiverInitialize(void) {}

PLUGIN_EXPORT void R_CALL ExternalReceiverTerminate(void) {}

PLUGIN_EXPORT void* R_CALL CreateExternalTCPReceiver(const char* name, const char* ip,
                                                     uint16_t port, uint32_t reconnectSeconds,
                                                     uint32_t receiveBufferSize,
                                                     uint32_t sendBufferSize, uint32_t /*extra*/,
                                                     uint16_t localPortToBindTo,
                                                     bool supportOutOfBand) {
    if (!Claims(name)) {
        return nullptr;
    }
    try {
        veltonet::TCPReceiver* receiver =
            new LoggingReceiver(name, ip, port, reconnectSeconds, false, receiveBufferSize,
                                sendBufferSize, localPortToBindTo, supportOutOfBand);
        return static_cast<void*>(receiver);  // handles are TCPReceiver addresses
    } catch (...) {
        return nullptr;  // no exception may cross into the library
    }
}

PLUGIN_EXPORT const char* R_CALL GetExternalReceiverDescription(void) {
    return "Example receiver plug-in: names beginning with \"example.\" get a receiver that "
           "logs each request it sends";
}

PLUGIN_EXPORT const char* R_CALL GetExternalReceiverVersion(void) {
    return VELTONET_VERSION_TEXT;
}

PLUGIN_EXPORT const char* R_CALL GetDllBuild(void) {
    return "Example 1";
}

PLUGIN_EXPORT const char* R_CALL GetReceiverHeaderVersion(void) {
    return R_HEADER_VERSION;
}

// The observer interface ships in the same package and carries the same version.
PLUGIN_EXPORT const char* R_CALL GetObserverHeaderVersion(void) {
    return R_HEADER_VERSION;
}

PLUGIN_EXPORT bool R_CALL IsExternalReceiverDebug(void) {
#ifdef NDEBUG
    return false;
#else
    return true;
#endif
}
