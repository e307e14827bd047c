/* A host written in C: the interface header compiles as C, and a receiver runs on the
 * library's loop against a peer that is another receiver of the same library. Exits 0 when
 * every check held. */
#define _XOPEN_SOURCE 700 /* nftw */
#define _DEFAULT_SOURCE   /* mkdtemp, setenv */
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "veltonet/receiver.h"

static int failures = 0;

#define CHECK(condition)                                                    \
    do {                                                                    \
        if (!(condition)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static int received = 0;

static void R_CALL OnMessage(void* context, void* observable, const void* message) {
    const unsigned char* bytes = (const unsigned char*)message;
    unsigned type = bytes[2] | bytes[3] << 8;
    (void)observable;
    if (type == 777) {
        ++*(int*)context;
    }
}

static int RemoveEntry(const char* path, const struct stat* status, int kind, struct FTW* walk) {
    (void)status;
    (void)kind;
    (void)walk;
    return remove(path);
}

static int Pump(void* listener, void* receiver) {
    int round;
    for (round = 0; round < 500; ++round) {
        if (received > 0 && R_GetListenerClientCount(listener) == 1 &&
            R_IsReceiverConnected(receiver)) {
            return 1;
        }
        RX_ProcessEvents(10);
    }
    return 0;
}

int main(void) {
    char folder[] = "/tmp/veltonet-c-XXXXXX";
    void* listener;
    void* receiver;
    void* observer;
    void* iterator;
    void* client;
    const unsigned char request[6] = {6, 0, 0x09, 0x03, 'h', 'i'}; /* type 777 */
    BOOL b = 0;
    bool flag = false;
    uint16_t port;
    int rounds = 0;

    if (mkdtemp(folder) == NULL) {
        return 2;
    }
    setenv("VELTONET_LOG_DIR", folder, 1);
    CHECK(sizeof b == 4 && sizeof flag == 1);
    CHECK(RX_ProcessEvents(0) == -1);

    R_ReceiverInitialize();
    R_ReceiverInitialize();
    CHECK(strcmp(R_GetDllVersion(), "2.6.5.107") == 0);
    CHECK(R_GetPlatform() == 8 * sizeof(void*));
    CHECK(RX_GetEventFd() >= 0);

    listener = R_CreateListener("server", 4, 4, 0, true, 0, 0, false);
    CHECK(listener != NULL && R_ConnectReceiver(listener));
    port = R_GetReceiverLocalPort(listener);
    CHECK(port != 0);

    receiver = R_CreateTCPReceiver("client", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    observer = RX_CreateObserver(OnMessage, &received);
    CHECK(receiver != NULL && observer != NULL);
    CHECK(RX_AddObserver(listener, observer) == 1);
    CHECK(R_ConnectReceiver(receiver));
    while (!R_IsReceiverAccepted(receiver) && RX_ProcessEvents(10) >= 0 && ++rounds < 500) {
    }
    CHECK(R_IsReceiverAccepted(receiver) == 1);
    CHECK(R_SendBuffer(receiver, request, sizeof request, false) == 1);
    CHECK(Pump(listener, receiver));
    CHECK(received == 1);

    iterator = R_CreateListenerClientIterator(listener);
    client = R_GetCurrentClientAndIncrement(iterator);
    CHECK(client != NULL && R_GetCurrentClientAndIncrement(iterator) == NULL);
    R_DestroyListenerClientIterator(listener, iterator);
    CHECK(R_GetReceiverCount() == 2);

    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
    R_ReceiverTerminate();
    CHECK(R_GetReceiverCount() == 0);
    nftw(folder, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);

    if (failures == 0) {
        printf("C host: all checks held\n");
    }
    return failures == 0 ? 0 : 1;
}
