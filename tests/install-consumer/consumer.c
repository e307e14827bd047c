/* Built with nothing but the flags of `pkg-config --cflags --libs veltonet`. */
#include <stdio.h>
#include <string.h>
#include <veltonet/receiver.h>

int main(void) {
    R_ReceiverInitialize();
    const int ok = strcmp(R_GetHeaderVersion(), R_HEADER_VERSION) == 0 && RX_GetEventFd() >= 0;
    R_ReceiverTerminate();
    printf("pkg-config consumer: %s\n", ok ? "all checks held" : "FAILED");
    return ok ? 0 : 1;
}
