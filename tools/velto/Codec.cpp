#include "Codec.h"

#include <dlfcn.h>

#include <cstdlib>

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
        const std::string library = R_GetDllPath();
        const size_t slash = library.rfind('/');
        folder = slash == std::string::npos ? "." : library.substr(0, slash);
    }
    return folder + "/Codec.so";
}

}  // namespace

Compressor::~Compressor() {
    if (m_library != nullptr) {
        dlclose(m_library);
    }
}

bool Compressor::Load(std::string* why) {
    char error[512] = "";
    R_LoadCompressLibrary(error, sizeof(error));
    if (!R_IsCompressLibraryLoaded()) {
        *why = error[0] != '\0' ? error : "Codec.so not found at " + PluginPath();
        return false;
    }
    // The library holds the plug-in already; this handle shares it and only adds Compress.
    m_library = dlopen(PluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_library == nullptr) {
        const char* text = dlerror();
        *why = text != nullptr ? text : "cannot open " + PluginPath();
        return false;
    }
    m_compress = reinterpret_cast<CompressFunction>(dlsym(m_library, "Compress"));
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
