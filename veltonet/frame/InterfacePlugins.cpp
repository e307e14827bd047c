// The R_ functions of the two plug-ins: the external receiver factory and the decompressor.

#include "veltonet/frame/Handles.h"
#include "veltonet/frame/PluginLoader.h"
#include "veltonet/receiver.h"

using veltonet::CompressPlugin;
using veltonet::ExternalReceiverPlugin;

extern "C" {

R_API void R_CALL R_LoadExternalReceiverLibrary(char* errorText, uint32_t size) {
    try {
        ExternalReceiverPlugin::Instance().Load(errorText, size);
    } catch (...) {
        // Out of memory while building a path: the plug-in stays unloaded.
    }
}

R_API void R_CALL R_FreeExternalReceiverLibrary(void) {
    ExternalReceiverPlugin::Instance().Free();
}

R_API BOOL R_CALL R_IsExternalReceiverLoaded(void) {
    return veltonet::ToBOOL(ExternalReceiverPlugin::Instance().isLoaded());
}

R_API const char* R_CALL R_GetExternalReceiverDescription(void) {
    return ExternalReceiverPlugin::Instance().GetDescription();
}

R_API const char* R_CALL R_GetExternalReceiverVersion(void) {
    return ExternalReceiverPlugin::Instance().GetVersion();
}

R_API const char* R_CALL R_GetExternalReceiverBuild(void) {
    return ExternalReceiverPlugin::Instance().GetBuild();
}

R_API const char* R_CALL R_GetReceiverHeaderVersion(void) {
    return ExternalReceiverPlugin::Instance().GetReceiverHeaderVersion();
}

R_API const char* R_CALL R_GetObserverHeaderVersion(void) {
    return ExternalReceiverPlugin::Instance().GetObserverHeaderVersion();
}

R_API bool R_CALL R_IsExternalReceiverDebug(void) {
    return ExternalReceiverPlugin::Instance().isDebug();
}

R_API void R_CALL R_LoadCompressLibrary(char* errorText, uint32_t size) {
    try {
        CompressPlugin::Instance().Load(errorText, size);
    } catch (...) {
        // Out of memory while building a path: the plug-in stays unloaded.
    }
}

R_API void R_CALL R_FreeCompressLibrary(void) {
    CompressPlugin::Instance().Free();
}

R_API BOOL R_CALL R_IsCompressLibraryLoaded(void) {
    return veltonet::ToBOOL(CompressPlugin::Instance().isLoaded());
}

R_API const char* R_CALL R_GetCompressLibraryVersion(void) {
    return CompressPlugin::Instance().GetVersion();
}

R_API const char* R_CALL R_GetCompressLibraryBuild(void) {
    return CompressPlugin::Instance().GetBuild();
}

}  // extern "C"
