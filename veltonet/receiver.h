/* veltonet: C interface of the network-communication library.
 * Every call and every callback happens on the thread that called R_ReceiverInitialize.
 *
 * Handles. A receiver handle is the address of a receiver object, a feed handle the address
 * of a feed measure, an iterator handle the address of an iterator; all travel as void *.
 * Handles are not tested for type, and only the functions documented as such test for null:
 * a handle must be live and of the class that the function needs (a listener, a client, a
 * multicast sequence receiver) until it is deleted.
 *
 * Types. BOOL is a 32-bit 1 or 0; bool is one byte; ports are unsigned 16-bit. Strings are
 * NUL-terminated 8-bit text; returned strings belong to the library and stay valid until the
 * object they came from changes or is deleted. */
#ifndef VELTONET_RECEIVER_H
#define VELTONET_RECEIVER_H

#if defined(_WIN32) && !defined(_WIN64)
#define R_CALL __stdcall
#else
#define R_CALL
#endif

#if defined(VELTONET_BUILDING_LIBRARY)
#define R_API __attribute__((visibility("default")))
#else
#define R_API
#endif

/* The version of this interface definition; plug-ins report the one they were built against. */
#define R_HEADER_VERSION "2.6.5.106"

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#else
#include <stdbool.h>
#include <stdint.h>
#endif

typedef int BOOL; /* 32-bit: 1 or 0 */

/* ---- Start-up and shut-down ---- */

/* Makes the manager on the calling thread. When memory runs out there is none afterwards
 * (RX_ProcessEvents answers -1) and nothing is thrown. Called from a callback after
 * R_ReceiverTerminate, within the same RX_ProcessEvents or RX_RunEventLoop call, it cancels
 * the pending termination: the manager and its receivers stay as they are. */
R_API void R_CALL R_ReceiverInitialize(void);
/* Deletes every registered receiver, then the manager. Plug-ins stay loaded. Called from a
 * callback during RX_ProcessEvents or RX_RunEventLoop, it ends the loop and takes effect when
 * that call returns (the callback's receiver is still in use until then). */
R_API void R_CALL R_ReceiverTerminate(void);

/* ---- Host extension functions: driving the event loop, observing, logging ---- */

typedef void(R_CALL* RX_MessageCallback)(void* context, void* observable, const void* message);
typedef void(R_CALL* RX_LogCallback)(void* context, const char* logName, const char* source,
                                     const char* text, const char* address);

/* One round: waits up to timeoutMs (-1 forever, 0 not at all), runs due timers and ready
 * socket events; returns how many it ran, -1 without a manager. */
R_API int R_CALL RX_ProcessEvents(int timeoutMs);
/* Rounds until RX_StopEventLoop is called (also from a callback). */
R_API void R_CALL RX_RunEventLoop(void);
R_API void R_CALL RX_StopEventLoop(void);
/* Readable when RX_ProcessEvents has work, not readable while nothing is due; -1 without a
 * manager. */
R_API int R_CALL RX_GetEventFd(void);
R_API void* R_CALL RX_CreateObserver(RX_MessageCallback callback, void* context);
/* Detaches it from every observable first. */
R_API void R_CALL RX_DestroyObserver(void* observer);
R_API int R_CALL RX_AddObserver(void* observable, void* observer);    /* BOOL */
R_API int R_CALL RX_RemoveObserver(void* observable, void* observer); /* BOOL */
/* Every record written to an open log also goes here; null turns it off. */
R_API void R_CALL RX_SetLogCallback(RX_LogCallback callback, void* context);

/* ---- Registry and library-wide state ----
 * Without a manager: R_DestroyAllReceivers, R_DisconnectAll and R_SetMeasureTimeSpan do
 * nothing, R_Logout answers 1, R_FindReceiver and R_GetMeasureObservable null, the counts 0. */

/* Called from a receiver's notification, that receiver (and any other whose notification is
 * on the stack) leaves the registry at once and is deleted when its notification ends. */
R_API void R_CALL R_DestroyAllReceivers(void);
R_API void R_CALL R_DisconnectAll(void);
/* 1 when nothing is pending; 0 when the host must wait for 60008 on the measure observable. */
R_API BOOL R_CALL R_Logout(uint32_t timeoutMs);
R_API BOOL R_CALL R_IsExiting(void);
R_API uint32_t R_CALL R_GetReceiverCount(void);
/* Exact, case-sensitive name; of several with one name, the one registered first. */
R_API void* R_CALL R_FindReceiver(const char* name);
R_API bool R_CALL R_IsReceiverHandleValid(void* h);
R_API bool R_CALL R_IsReceiverCondemned(void* h);
R_API uint32_t R_CALL R_GetCondemnedSocketCount(void);
R_API void* R_CALL R_GetMeasureObservable(void);
R_API uint32_t R_CALL R_GetMeasureTimeSpan(void);
R_API void R_CALL R_SetMeasureTimeSpan(uint32_t seconds);

/* ---- Creation and deletion (null without a manager or when memory runs out) ---- */

/* A loaded receiver plug-in is asked first; `extra` reaches only the plug-in. */
R_API void* R_CALL R_CreateTCPReceiver(const char* name, const char* ip, uint16_t port,
                                       uint32_t reconnectSeconds, uint32_t receiveBufferSize,
                                       uint32_t sendBufferSize, uint32_t extra,
                                       uint16_t localPortToBindTo, bool supportOutOfBand);
R_API void* R_CALL R_CreateMulticastReceiver(const char* name, const char* group, uint16_t port,
                                             bool sequenced, uint32_t receiveBufferSize,
                                             uint32_t sendBufferSize);
R_API void* R_CALL R_CreateListener(const char* name, uint32_t identifierCount,
                                    uint32_t namedIdentifierCount, uint16_t port, bool autoAccept,
                                    uint32_t receiveBufferSize, uint32_t sendBufferSize,
                                    bool supportOutOfBand);
/* Deletes at once; never from inside a notification of that receiver. Null: nothing. */
R_API void R_CALL R_DeleteReceiver(void* h);

/* ---- Addressing and identity ---- */

R_API void R_CALL R_SetIp(void* h, const char* ip);
R_API void R_CALL R_AddIp(void* h, const char* ip);
R_API void R_CALL R_RemoveIp(void* h, const char* ip);
R_API const char* R_CALL R_GetReceiverIp(void* h);
R_API uint32_t R_CALL R_GetIpCount(void* h);
R_API void R_CALL R_SetPort(void* h, uint16_t port);
R_API uint16_t R_CALL R_GetReceiverPort(void* h);
R_API void R_CALL R_SetLocalPort(void* h, uint16_t port);
R_API uint16_t R_CALL R_GetReceiverLocalPort(void* h);
R_API uint16_t R_CALL R_GetReceiverLocalPortToBindTo(void* h);
/* Byte comparison of the texts: no name resolution, "127.0.0.1" differs from "127.0.0.01". */
R_API BOOL R_CALL R_ReceiverHasIpPort(void* h, const char* ip, uint16_t port);
R_API BOOL R_CALL R_SameReceiverIpPort(void* h, void* other);
R_API const char* R_CALL R_GetReceiverName(void* h);
/* "TCP", "MCT" or "UDP". */
R_API const char* R_CALL R_GetReceiverType(void* h);

/* ---- Connection control and state (null answers in brackets) ---- */

R_API bool R_CALL R_ConnectReceiver(void* h);
R_API void R_CALL R_Disconnect(void* h, bool reconnect);
R_API void R_CALL R_SetPersistent(void* h, uint32_t reconnectSeconds);
R_API BOOL R_CALL R_IsPersistent(void* h);
R_API uint32_t R_CALL R_GetReconnectSeconds(void* h);
R_API uint32_t R_CALL R_GetCurrentReconnectSeconds(void* h); /* [0] */
R_API BOOL R_CALL R_IsReceiverInitialized(void* h);          /* [0] */
R_API BOOL R_CALL R_IsReceiverConnected(void* h);            /* [0] */
R_API BOOL R_CALL R_IsReceiverConnecting(void* h);           /* [0] */
R_API BOOL R_CALL R_IsReceiverReceiving(void* h);            /* [0] */
R_API BOOL R_CALL R_IsReceiverAccepted(void* h);             /* [0] */
R_API bool R_CALL R_IsReceiverSniffer(void* h);
R_API BOOL R_CALL R_IsTifSupported(void* h, const char* tif, uint32_t value); /* [1] */
R_API void R_CALL R_SetReceiverLog(void* h, const char* logName, const char* folder);
R_API void R_CALL R_SetSupportOutOfBand(void* h, bool on);

/* ---- Sending and buffers ---- */

/* request and second point at framed messages (bytes 0-1 size, 2-3 type). [0] */
R_API BOOL R_CALL R_SendRequest(void* h, const void* request, const void* second, bool flag);
R_API BOOL R_CALL R_SendBuffer(void* h, const void* data, int32_t length, bool flag); /* [0] */
R_API BOOL R_CALL R_IsReceiverSendBufferEmpty(void* h);                               /* [0] */
R_API uint32_t R_CALL R_GetSendListCount(void* h);
R_API uint32_t R_CALL R_GetFirstSendBufferLength(void* h);
R_API uint32_t R_CALL R_GetLastSendBufferLength(void* h);
R_API uint32_t R_CALL R_GetBufferSize(void* h);
R_API uint32_t R_CALL R_GetPendingReadDataSize(void* h);
/* Options in Windows numbering; option 1 (no-delay) is read at the TCP level, every other
 * option at the socket level. */
R_API int32_t R_CALL R_GetSockOpt(void* h, int32_t option, void* value, int32_t* length);
R_API int32_t R_CALL R_SetSockOpt(void* h, int32_t option, const void* value, int32_t length);
R_API uint32_t R_CALL R_GetReceiveBufferSize(void* h);
R_API uint32_t R_CALL R_GetSendBufferSize(void* h);

/* ---- Multicast sequencing and repair (other receivers answer false or 0) ---- */

/* h must be a multicast sequence receiver; repair is the TCP receiver of its repair server. */
R_API void R_CALL R_SetMulticastRepair(void* h, void* repair);
R_API bool R_CALL R_CanRecoverLostMessages(void* h);
R_API uint32_t R_CALL R_GetPacketsLost(void* h);
R_API uint32_t R_CALL R_GetPacketsRecovered(void* h);
R_API uint32_t R_CALL R_GetLastSequenceNumber(void* h);
R_API uint32_t R_CALL R_GetMulticastPacketBeingProcessed(void* h);
R_API uint32_t R_CALL R_GetLastRecoveredPacket(void* h);
R_API uint32_t R_CALL R_GetFirstPacketBeingRecovered(void* h);

/* ---- Listener and client ---- */

/* h must be a listener. */
R_API uint32_t R_CALL R_GetListenerClientCount(void* h);
R_API uint32_t R_CALL R_GetListenerClientPendingCount(void* h);
R_API bool R_CALL R_ListenerSubscriptionExists(void* h, uint32_t identifier, const char* name);
R_API bool R_CALL R_ListenerSendSubscription(void* h, uint32_t identifier, const char* name,
                                             const void* data, int32_t length);
R_API void R_CALL R_ListenerForceSendBufferToClients(void* h);
/* Sent by a receiver connected to a listener, once the listener has accepted it: a record of
 * 8 + strlen(name) bytes, type 60004 (subscribe) or 60005 (unsubscribe), the identifier at
 * bytes 4-7 and the name without its NUL. False for a null handle, before the acceptance, and
 * for a name longer than 65527 bytes; true once the record was handed to the send path. */
R_API bool R_CALL R_ClientSubscribe(void* h, uint32_t identifier, const char* name);
R_API bool R_CALL R_ClientUnsubscribe(void* h, uint32_t identifier, const char* name);
/* h must be a client of a listener. */
R_API bool R_CALL R_ClientForceSendBuffer(void* h);
/* Bytes waiting in the client's accumulation buffer. An auto-accepted client's acceptance
 * (60011) goes to its socket at once, so right after the accept this is 0, not 4. */
R_API uint32_t R_CALL R_GetClientDataLength(void* h);
R_API void R_CALL R_UpdateClientRemoteAddress(void* h);
R_API bool R_CALL R_AddClientToListener(void* h);
/* Client iterators of a listener: each call of R_GetCurrentClientAndIncrement answers a
 * client, and null once after the last one before it starts again from the first. */
R_API void* R_CALL R_CreateListenerClientIterator(void* h);
R_API void R_CALL R_DestroyListenerClientIterator(void* h, void* iterator);
R_API void* R_CALL R_GetCurrentClientAndIncrement(void* iterator);

/* ---- Data-received notifiers (60013 and 60014 while the count is not 0) ---- */

R_API uint32_t R_CALL R_GetDataReceivedNotifierCount(void* h);
R_API void R_CALL R_AddDataReceivedNotifier(void* h);    /* null: nothing */
R_API void R_CALL R_RemoveDataReceivedNotifier(void* h); /* null: nothing */

/* ---- Traffic measurement and feeds (f is a feed handle) ---- */

R_API uint32_t R_CALL R_GetReceiverSizeSent(void* h);         /* [0] */
R_API uint32_t R_CALL R_GetReceiverSizeReceived(void* h);     /* [0] */
R_API uint32_t R_CALL R_GetReceiverPrevSizeSent(void* h);     /* [0] */
R_API uint32_t R_CALL R_GetReceiverPrevSizeReceived(void* h); /* [0] */
R_API void* R_CALL R_AddFeed(void* h, uint32_t milliseconds); /* [null] */
R_API void R_CALL R_RemoveFeed(void* f);                      /* null: nothing */
R_API void R_CALL R_ClearFeeds(void* h);
R_API uint32_t R_CALL R_GetFeedMilliseconds(void* f);
R_API void R_CALL R_SetFeedMilliseconds(void* f, uint32_t milliseconds);
R_API uint32_t R_CALL R_GetFeedSizeSent(void* f);
R_API uint32_t R_CALL R_GetFeedSizeReceived(void* f);
R_API uint32_t R_CALL R_GetFeedPrevSizeSent(void* f);
R_API uint32_t R_CALL R_GetFeedPrevSizeReceived(void* f);
R_API void* R_CALL R_GetFeedOwner(void* f); /* [null] */

/* ---- Iterators ----
 * Start an iterator with R_StartIteration before the first R_GetNext... call, and again after
 * its container changed. Destroy it before its container (the manager or the receiver). */

R_API void* R_CALL R_CreateReceiverIterator(void); /* null without a manager */
R_API void* R_CALL R_CreateIpIterator(void* h);
R_API void* R_CALL R_CreateFeedIterator(void* h);
/* Stands on the first element and skips `skip` of them; a negative skip goes to the end. */
R_API void R_CALL R_StartIteration(void* iterator, int32_t skip);
R_API void* R_CALL R_GetNextReceiver(void* iterator);
R_API const char* R_CALL R_GetNextIp(void* iterator);
R_API void* R_CALL R_GetNextFeed(void* iterator);
R_API void R_CALL R_DestroyIterator(void* iterator); /* null: nothing */

/* ---- Plug-ins ----
 * ReceiverPlugin.so and Codec.so are looked for in the folder of libveltonet.so, or in
 * $VELTONET_PLUGIN_DIR when that is set. A load leaves errorText empty on success, when the
 * plug-in was already loaded and when the file does not exist; otherwise it holds the
 * loader's text or "<export> function is not exported". The text is cut to fit the buffer
 * (size bytes, NUL included); a null buffer or a size of 0 is never written. */

R_API void R_CALL R_LoadExternalReceiverLibrary(char* errorText, uint32_t size);
/* Delete the plug-in's receivers first: they run its code. */
R_API void R_CALL R_FreeExternalReceiverLibrary(void);
R_API BOOL R_CALL R_IsExternalReceiverLoaded(void);
/* The plug-in's texts; "" while it is not loaded or does not export the function. */
R_API const char* R_CALL R_GetExternalReceiverDescription(void);
R_API const char* R_CALL R_GetExternalReceiverVersion(void);
R_API const char* R_CALL R_GetExternalReceiverBuild(void);
R_API const char* R_CALL R_GetReceiverHeaderVersion(void);
R_API const char* R_CALL R_GetObserverHeaderVersion(void);
R_API bool R_CALL R_IsExternalReceiverDebug(void);
R_API void R_CALL R_LoadCompressLibrary(char* errorText, uint32_t size);
R_API void R_CALL R_FreeCompressLibrary(void);
R_API BOOL R_CALL R_IsCompressLibraryLoaded(void);
R_API const char* R_CALL R_GetCompressLibraryVersion(void);
R_API const char* R_CALL R_GetCompressLibraryBuild(void);

/* ---- Library information ---- */

R_API const char* R_CALL R_GetDllVersion(void);    /* "2.6.5.107" */
R_API const char* R_CALL R_GetDllBuild(void);      /* "Release 800" */
R_API const char* R_CALL R_GetDllPath(void);       /* full path of libveltonet.so; "" if unknown */
R_API const char* R_CALL R_GetHeaderVersion(void); /* R_HEADER_VERSION */
R_API uint32_t R_CALL R_GetPlatform(void);         /* word size in bits */
R_API bool R_CALL R_IsDebug(void);                 /* true in a build without NDEBUG */

/* ---- What a plug-in exports, under these names and with C linkage ----
 * ReceiverPlugin.so: ExternalReceiverInitialize (required, called once right after loading),
 * CreateExternalTCPReceiver, GetExternalReceiverDescription, GetExternalReceiverVersion,
 * GetDllBuild, GetReceiverHeaderVersion, GetObserverHeaderVersion, IsExternalReceiverDebug,
 * ExternalReceiverTerminate (called just before unloading).
 * Codec.so: CompressInitialize, Uncompress, Compress (all three required; CompressInitialize
 * is called once all are found), GetCompressVersion, GetCompressBuild, CompressTerminate. */

typedef void(R_CALL* RP_Procedure)(void);
typedef const char*(R_CALL* RP_TextFunction)(void);
typedef bool(R_CALL* RP_FlagFunction)(void);
/* The nine arguments of R_CreateTCPReceiver; a receiver of a TCPReceiver subclass, or null to
 * let the library make its own. */
typedef void*(R_CALL* RP_CreateExternalTCPReceiver)(const char* name, const char* ip, uint16_t port,
                                                    uint32_t reconnectSeconds,
                                                    uint32_t receiveBufferSize,
                                                    uint32_t sendBufferSize, uint32_t extra,
                                                    uint16_t localPortToBindTo,
                                                    bool supportOutOfBand);
/* Both answer the number of bytes written, never more than capacity; 0 when the output does
 * not fit or the input is corrupt. */
typedef unsigned int(R_CALL* RP_Uncompress)(const char* source, unsigned int sourceLength,
                                            char* destination, unsigned int capacity);
typedef unsigned int(R_CALL* RP_Compress)(const char* source, unsigned int sourceLength,
                                          char* destination, unsigned int capacity);

#ifdef __cplusplus
}
#endif

#endif /* VELTONET_RECEIVER_H */
