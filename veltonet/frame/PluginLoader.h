#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "veltonet/platform/DynamicLibrary.h"
#include "veltonet/receiver.h"

namespace veltonet {

class TCPReceiver;

constexpr const char* kExternalReceiverFileName = "ReceiverPlugin" VELTONET_PLUGIN_SUFFIX;
constexpr const char* kCompressFileName = "Codec" VELTONET_PLUGIN_SUFFIX;

// The caller's error buffer of a plug-in load. Preparing it empties it (first byte and, for a
// size above 1, last byte NUL); the usable size is then size - 1, or 1 for a size of 1. A
// text that does not fit is cut so that it ends with its NUL inside the usable size. A null
// buffer or a size of 0 is never touched.
class ErrorBuffer {
  public:
    ErrorBuffer(char* text, uint32_t size);
    void Write(const char* text) const;
    void Write(const std::string& text) const { Write(text.c_str()); }

  private:
    char* m_text;
    size_t m_usable;
};

// Where a plug-in file is looked for: $VELTONET_PLUGIN_DIR when set and not empty, else the
// folder of libveltonet.so's own file. "" when neither gives a folder.
std::string PluginFilePath(const char* fileName);

// A plug-in's text: "" when the function is not exported or answers null.
const char* PluginText(RP_TextFunction function);

// The external receiver library: a factory that R_CreateTCPReceiver asks first.
//
// The plug-in's receivers run its code, so the host deletes them before unloading it. When
// receivers that the factory made are still registered at unload, the plug-in is terminated
// and counts as unloaded, but its file stays mapped so that those receivers never call into
// unmapped code.
class ExternalReceiverPlugin {
  public:
    static ExternalReceiverPlugin& Instance();

    void Load(char* errorText, uint32_t size);
    void Free();
    bool isLoaded() const { return m_library != nullptr; }

    // The plug-in's receiver for these arguments; null when it is not loaded, has no factory
    // or declines.
    TCPReceiver* Create(const char* name, const char* ip, uint16_t port, uint32_t reconnectSeconds,
                        uint32_t receiveBufferSize, uint32_t sendBufferSize, uint32_t extra,
                        uint16_t localPortToBindTo, bool supportOutOfBand);

    // The plug-in's texts; "" when not loaded, not exported, or answered with null.
    const char* GetDescription() const { return PluginText(m_description); }
    const char* GetVersion() const { return PluginText(m_version); }
    const char* GetBuild() const { return PluginText(m_build); }
    const char* GetReceiverHeaderVersion() const { return PluginText(m_receiverHeaderVersion); }
    const char* GetObserverHeaderVersion() const { return PluginText(m_observerHeaderVersion); }
    bool isDebug() const { return m_isDebug != nullptr && m_isDebug(); }

    ExternalReceiverPlugin(const ExternalReceiverPlugin&) = delete;
    ExternalReceiverPlugin& operator=(const ExternalReceiverPlugin&) = delete;

  private:
    ExternalReceiverPlugin() = default;
    void Clear();
    bool HasLiveReceivers();

    std::unique_ptr<DynamicLibrary> m_library;
    RP_CreateExternalTCPReceiver m_create = nullptr;
    RP_TextFunction m_description = nullptr;
    RP_TextFunction m_version = nullptr;
    RP_TextFunction m_build = nullptr;
    RP_TextFunction m_receiverHeaderVersion = nullptr;
    RP_TextFunction m_observerHeaderVersion = nullptr;
    RP_FlagFunction m_isDebug = nullptr;
    std::set<TCPReceiver*> m_made;  // what the factory answered
    // Unloaded while their receivers lived: mapped until the process ends.
    std::vector<std::unique_ptr<DynamicLibrary>> m_keptMapped;
};

// The compression library. While it is loaded its Uncompress is installed in TCPReceiver;
// unloading, and every failed load, clear it first.
class CompressPlugin {
  public:
    static CompressPlugin& Instance();

    void Load(char* errorText, uint32_t size);
    void Free();
    bool isLoaded() const { return m_library != nullptr; }

    const char* GetVersion() const { return PluginText(m_version); }
    const char* GetBuild() const { return PluginText(m_build); }

    CompressPlugin(const CompressPlugin&) = delete;
    CompressPlugin& operator=(const CompressPlugin&) = delete;

  private:
    CompressPlugin() = default;
    void Clear();

    std::unique_ptr<DynamicLibrary> m_library;
    RP_Uncompress m_uncompress = nullptr;
    RP_Compress m_compress = nullptr;
    RP_TextFunction m_version = nullptr;
    RP_TextFunction m_build = nullptr;
};

}  // namespace veltonet
