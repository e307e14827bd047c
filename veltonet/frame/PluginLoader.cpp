#include "veltonet/frame/PluginLoader.h"

#include <cstdlib>
#include <cstring>

#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/platform/DynamicLibrary.h"
#include "veltonet/platform/Paths.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

namespace {

// dlsym answers an object pointer; a plug-in's exports are functions of the given type.
template <class Function>
Function Lookup(const DynamicLibrary& library, const char* name) {
    return reinterpret_cast<Function>(library.Symbol(name));
}

// Opens the plug-in file, or answers null: with the error buffer untouched when there is no
// such file (or no folder to look in), with the loader's text when it would not load.
std::unique_ptr<DynamicLibrary> OpenPlugin(const char* fileName, const ErrorBuffer& error) {
    const std::string path = PluginFilePath(fileName);
    if (path.empty() || !FileExists(path)) {
        return nullptr;
    }
    auto library = std::make_unique<DynamicLibrary>();
    std::string loaderError;
    if (!library->Open(path, &loaderError)) {
        error.Write(loaderError);
        return nullptr;
    }
    return library;
}

}  // namespace

ErrorBuffer::ErrorBuffer(char* text, uint32_t size)
    : m_text(size != 0 ? text : nullptr), m_usable(0) {
    if (m_text == nullptr) {
        return;
    }
    m_text[0] = '\0';
    if (size > 1) {
        m_text[size - 1] = '\0';
        m_usable = size - 1;
    } else {
        m_usable = 1;
    }
}

void ErrorBuffer::Write(const char* text) const {
    if (m_text == nullptr || text == nullptr) {
        return;
    }
    const size_t length = strnlen(text, m_usable - 1);
    std::memcpy(m_text, text, length);
    m_text[length] = '\0';
}

std::string PluginFilePath(const char* fileName) {
    std::string folder;
    const char* configured = std::getenv("VELTONET_PLUGIN_DIR");
    if (configured != nullptr && *configured != '\0') {
        folder = configured;
        if (!IsPathSeparator(folder.back())) {
            folder += '/';
        }
    } else {
        folder = FolderOf(LibraryPath());
    }
    return folder.empty() ? std::string() : folder + fileName;
}

const char* PluginText(RP_TextFunction function) {
    const char* text = function != nullptr ? function() : nullptr;
    return text != nullptr ? text : "";
}

// ---- external receiver library ----

ExternalReceiverPlugin& ExternalReceiverPlugin::Instance() {
    // Never destroyed: unloading at process exit could pull code from under receivers that
    // the host leaves to the exit.
    static ExternalReceiverPlugin* instance = new ExternalReceiverPlugin;
    return *instance;
}

void ExternalReceiverPlugin::Load(char* errorText, uint32_t size) {
    const ErrorBuffer error(errorText, size);
    if (isLoaded()) {
        return;
    }
    std::unique_ptr<DynamicLibrary> library = OpenPlugin(kExternalReceiverFileName, error);
    if (library == nullptr) {
        return;
    }
    auto initialize = Lookup<RP_Procedure>(*library, "ExternalReceiverInitialize");
    if (initialize == nullptr) {
        error.Write("ExternalReceiverInitialize function is not exported");
        return;  // unloaded with `library`
    }
    m_library = std::move(library);
    initialize();
    m_create = Lookup<RP_CreateExternalTCPReceiver>(*m_library, "CreateExternalTCPReceiver");
    m_description = Lookup<RP_TextFunction>(*m_library, "GetExternalReceiverDescription");
    m_version = Lookup<RP_TextFunction>(*m_library, "GetExternalReceiverVersion");
    m_build = Lookup<RP_TextFunction>(*m_library, "GetDllBuild");
    m_receiverHeaderVersion = Lookup<RP_TextFunction>(*m_library, "GetReceiverHeaderVersion");
    m_observerHeaderVersion = Lookup<RP_TextFunction>(*m_library, "GetObserverHeaderVersion");
    m_isDebug = Lookup<RP_FlagFunction>(*m_library, "IsExternalReceiverDebug");
}

void ExternalReceiverPlugin::Free() {
    if (!isLoaded()) {
        return;
    }
    if (auto terminate = Lookup<RP_Procedure>(*m_library, "ExternalReceiverTerminate")) {
        terminate();
    }
    if (HasLiveReceivers()) {
        m_keptMapped.push_back(std::move(m_library));
    }
    Clear();
}

TCPReceiver* ExternalReceiverPlugin::Create(const char* name, const char* ip, uint16_t port,
                                            uint32_t reconnectSeconds, uint32_t receiveBufferSize,
                                            uint32_t sendBufferSize, uint32_t extra,
                                            uint16_t localPortToBindTo, bool supportOutOfBand) {
    if (m_create == nullptr) {
        return nullptr;
    }
    auto* receiver = static_cast<TCPReceiver*>(m_create(name, ip, port, reconnectSeconds,
                                                        receiveBufferSize, sendBufferSize, extra,
                                                        localPortToBindTo, supportOutOfBand));
    if (receiver != nullptr) {
        m_made.insert(receiver);
    }
    return receiver;
}

void ExternalReceiverPlugin::Clear() {
    m_library.reset();
    m_create = nullptr;
    m_description = nullptr;
    m_version = nullptr;
    m_build = nullptr;
    m_receiverHeaderVersion = nullptr;
    m_observerHeaderVersion = nullptr;
    m_isDebug = nullptr;
    m_made.clear();
}

bool ExternalReceiverPlugin::HasLiveReceivers() {
    // A receiver deleted since leaves the registry; its address may have been reused by one
    // of another class, which only keeps the file mapped for nothing.
    const ReceiverManager* manager = ReceiverManager::Instance();
    if (manager == nullptr) {
        return false;
    }
    for (TCPReceiver* receiver : m_made) {
        if (manager->isRegistered(receiver)) {
            return true;
        }
    }
    return false;
}

// ---- compression library ----

CompressPlugin& CompressPlugin::Instance() {
    static CompressPlugin* instance = new CompressPlugin;
    return *instance;
}

void CompressPlugin::Load(char* errorText, uint32_t size) {
    const ErrorBuffer error(errorText, size);
    if (isLoaded()) {
        return;
    }
    std::unique_ptr<DynamicLibrary> library = OpenPlugin(kCompressFileName, error);
    if (library == nullptr) {
        Clear();
        return;
    }
    auto initialize = Lookup<RP_Procedure>(*library, "CompressInitialize");
    if (initialize == nullptr) {
        error.Write("CompressInitialize function is not exported");
        Clear();
        return;
    }
    auto uncompress = Lookup<RP_Uncompress>(*library, "Uncompress");
    if (uncompress == nullptr) {
        error.Write("Uncompress function is not exported");
        Clear();
        return;
    }
    auto compress = Lookup<RP_Compress>(*library, "Compress");
    if (compress == nullptr) {
        error.Write("Compress function is not exported");
        Clear();
        return;
    }
    m_library = std::move(library);
    m_uncompress = uncompress;
    m_compress = compress;
    initialize();
    m_version = Lookup<RP_TextFunction>(*m_library, "GetCompressVersion");
    m_build = Lookup<RP_TextFunction>(*m_library, "GetCompressBuild");
    TCPReceiver::SetUncompressFunction(m_uncompress);
}

void CompressPlugin::Free() {
    if (!isLoaded()) {
        return;
    }
    // No receiver may reach the code once the file is unmapped.
    TCPReceiver::SetUncompressFunction(nullptr);
    if (auto terminate = Lookup<RP_Procedure>(*m_library, "CompressTerminate")) {
        terminate();
    }
    Clear();
}

void CompressPlugin::Clear() {
    TCPReceiver::SetUncompressFunction(nullptr);
    m_library.reset();
    m_uncompress = nullptr;
    m_compress = nullptr;
    m_version = nullptr;
    m_build = nullptr;
}

}  // namespace veltonet
