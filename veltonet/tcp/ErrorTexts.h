#pragma once

namespace veltonet {

// The fixed English texts written to a receiver's error log, one table per family.
const char* ReceiveErrorText(int code);       // "Unknown error" for a code not in the table
const char* SendErrorText(int code);          // null for a code not in the table
const char* ConnectErrorText(int code);       // "Unknown" for a code not in the table
bool ConnectErrorStopsRetry(int code);        // codes after which no reconnect timer starts
const char* SocketOptionErrorText(int code);  // "Unknown SetSockOpt error" otherwise

}  // namespace veltonet
