// A stand-in for ReceiverPlugin.so in the frame's tests: its factory records the arguments it
// was given and always declines, so the library makes its own receiver. It needs nothing
// from libveltonet.so. Compile definitions leave exports out to make broken variants.

#include <string>

#include "veltonet/receiver.h"

#define TEST_EXPORT extern "C" RP_EXPORT

namespace {
std::string& Events() {
    static std::string events;
    return events;
}
}  // namespace

TEST_EXPORT const char* TestPluginEvents(void) {
    return Events().c_str();
}
TEST_EXPORT void TestPluginReset(void) {
    Events().clear();
}

#ifndef OMIT_RECEIVER_INITIALIZE
TEST_EXPORT void R_CALL ExternalReceiverInitialize(void) {
    Events() += "ExternalReceiverInitialize;";
}
#endif

#ifndef OMIT_OPTIONAL
TEST_EXPORT void* R_CALL CreateExternalTCPReceiver(const char* name, const char* ip, uint16_t port,
                                                   uint32_t reconnectSeconds,
                                                   uint32_t receiveBufferSize,
                                                   uint32_t sendBufferSize, uint32_t extra,
                                                   uint16_t localPortToBindTo,
                                                   bool supportOutOfBand) {
    Events() += "CreateExternalTCPReceiver(" + std::string(name) + "," + ip + "," +
                std::to_string(port) + "," + std::to_string(reconnectSeconds) + "," +
                std::to_string(receiveBufferSize) + "," + std::to_string(sendBufferSize) + "," +
                std::to_string(extra) + "," + std::to_string(localPortToBindTo) + "," +
                (supportOutOfBand ? "true" : "false") + ");";
    return nullptr;
}
TEST_EXPORT const char* R_CALL GetExternalReceiverDescription(void) {
    return "declines all";
}
TEST_EXPORT const char* R_CALL GetExternalReceiverVersion(void) {
    return "0.9";
}
TEST_EXPORT const char* R_CALL GetDllBuild(void) {
    return "test build 3";
}
TEST_EXPORT const char* R_CALL GetReceiverHeaderVersion(void) {
    return "2.6.5.100";
}
TEST_EXPORT const char* R_CALL GetObserverHeaderVersion(void) {
    return "2.6.5.101";
}
TEST_EXPORT bool R_CALL IsExternalReceiverDebug(void) {
    return true;
}
TEST_EXPORT void R_CALL ExternalReceiverTerminate(void) {
    Events() += "ExternalReceiverTerminate;";
}
#endif
