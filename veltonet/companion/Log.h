#pragma once

#include <cstdint>
#include <string>

#include "veltonet/receiver.h"

namespace veltonet {

// Named error logs on spdlog: one shared file logger per folder and name, reference-counted
// across the handles that opened it. A handle stays valid until CloseLog.
using LogHandle = void*;

// The host's RX_LogCallback, with its calling convention.
using LogCallback = void(R_CALL*)(void* context, const char* logName, const char* source,
                                  const char* text, const char* address);

// folder null or empty: DefaultLogFolder(). The file is <folder>/<name>.log. A folder that
// cannot be created gives a null handle, never an error.
LogHandle OpenLog(int reserved, const char* name, const char* folder);
void CloseLog(LogHandle handle);
// Strings are copied; address may be null. A null handle writes nothing.
void WriteLog(LogHandle handle, const char* source, const char* text, const char* address,
              int64_t number1, int32_t number2, uint32_t number3, int reserved);

// Every record written to an open log is also passed here; null turns it off.
void SetLogCallback(LogCallback callback, void* context);

// $VELTONET_LOG_DIR, else $XDG_STATE_HOME/veltonet/logs, else ~/.local/state/veltonet/logs;
// on Windows %LOCALAPPDATA%\veltonet\logs.
std::string DefaultLogFolder();

}  // namespace veltonet
