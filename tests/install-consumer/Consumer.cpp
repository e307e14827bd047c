// A C++ host of an installed veltonet: the C interface, an exported class, and both plug-ins
// where the installation puts them. Exits 0 when every check held.
// Every installed header compiles on its own include path: none may reach an internal one.
#include <veltonet/companion/Observer.h>
#include <veltonet/listener/AllClientSet.h>
#include <veltonet/listener/Client.h>
#include <veltonet/listener/ClientIterator.h>
#include <veltonet/listener/ClientSet.h>
#include <veltonet/listener/Listener.h>
#include <veltonet/measure/FeedMeasure.h>
#include <veltonet/receiver.h>
#include <veltonet/tcp/TCPReceiver.h>
#include <veltonet/variants/FormatReceiver.h>
#include <veltonet/variants/MulticastReceiver.h>
#include <veltonet/variants/MulticastSequenceReceiver.h>
#include <veltonet/variants/UDPReceiver.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "install consumer: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer <installation prefix>\n");
        return 2;
    }
    const std::string prefix = argv[1];
    R_ReceiverInitialize();
    Check(std::strcmp(R_GetDllVersion(), "2.6.5.107") == 0, "version");
    Check(std::string(R_GetDllPath()).rfind(prefix, 0) == 0, "the installed library is used");

    void* h = R_CreateTCPReceiver("consumer", "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
    Check(h != nullptr && R_GetReceiverCount() == 1, "create through the C interface");
    auto* receiver = new veltonet::TCPReceiver("direct", "127.0.0.1", 9, 0);
    Check(receiver->GetName() == "direct" && R_GetReceiverCount() == 2, "exported class");
    delete receiver;

    char error[256] = "";
    R_LoadCompressLibrary(error, sizeof error);
    Check(R_IsCompressLibraryLoaded() == 1, "Codec.so beside the library");
    R_FreeCompressLibrary();

    const std::string plugins =
        std::string(R_GetDllPath()).substr(0, std::string(R_GetDllPath()).rfind('/')) +
        "/veltonet/plugins";
    setenv("VELTONET_PLUGIN_DIR", plugins.c_str(), 1);
    R_LoadExternalReceiverLibrary(error, sizeof error);
    Check(R_IsExternalReceiverLoaded() == 1, "the example plug-in loads from its folder");
    void* example = R_CreateTCPReceiver("example.x", "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
    Check(example != nullptr, "the example plug-in's receiver");
    R_DeleteReceiver(example);
    R_FreeExternalReceiverLibrary();
    if (error[0] != '\0')
        std::fprintf(stderr, "install consumer: %s\n", error);

    R_ReceiverTerminate();
    if (failures == 0)
        std::printf("install consumer: all checks held\n");
    return failures == 0 ? 0 : 1;
}
