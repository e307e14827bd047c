#include "Codec.h"

#include <cstdlib>

#include "SharedLibrary.h"
#include "Wire.h"
#include "veltonet/receiver.h"

namespace velto {

namespace {

// Where the library looks for its plug-ins: $VELTONET_PLUGIN_DIR, else its own folder.
std::string PluginPath() {
    std::string folder;
    if (const char* dir = std::getenv("VELTONET_PLUGIN_DIR"); dir != nullptr && *dir != '\0') {
        folder = dir;
    } else {
        folder = FolderOf(R_GetDllPath());
    }
    return PathInFolder(folder, LibraryFileName("Codec"));
}

}  // namespace

bool Compressor::Load(std::string* why) {
    char error[512] = "";
    R_LoadCompressLibrary(error, sizeof(error));
    if (!R_IsCompressLibraryLoaded()) {
        *why =
            error[0] != '\0' ? error : LibraryFileName("Codec") + " not found at " + PluginPath();
        return false;
    }
    // The library holds the plug-in already; this handle shares it and only adds Compress.
    if (!m_library.Open(PluginPath(), why)) {
        return false;
    }
    m_compress = reinterpret_cast<CompressFunction>(m_library.Symbol("Compress"));
    if (m_compress == nullptr) {
        *why = "Compress is not exported by " + PluginPath();
        return false;
    }
    return true;
}

std::string Compressor::Aggregate(std::string_view run) const {
    constexpr size_t kPrefix = 8;  // header and the uncompressed length
    if (m_compress == nullptr || run.empty()) {
        return {};
    }
    std::string message(kMaxMessageSize, '\0');
    const unsigned int written =
        m_compress(run.data(), static_cast<unsigned int>(run.size()), message.data() + kPrefix,
                   static_cast<unsigned int>(kMaxMessageSize - kPrefix));
    if (written == 0) {
        return {};
    }
    message.resize(kPrefix + written);
    std::string head;
    AppendU16(head, static_cast<uint16_t>(message.size()));
    AppendU16(head, kTypeAggregate);
    AppendU32(head, static_cast<uint32_t>(run.size()));
    message.replace(0, kPrefix, head);
    return message;
}

}  // namespace velto
