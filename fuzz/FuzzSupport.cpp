#include "FuzzSupport.h"

#include <malloc.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "veltonet/frame/PluginLoader.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/platform/DynamicLibrary.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTONET_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELTONET_FUZZ_ASAN 1
#endif
#ifdef VELTONET_FUZZ_ASAN
// The sanitizer runtime's own count; gcc ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#ifndef VELTONET_CODEC_DIR
#error "VELTONET_CODEC_DIR must name the folder of the built Codec.so"
#endif

namespace veltonet::fuzz {

namespace {

struct Environment {
    std::string logFolder;
    DynamicLibrary codec;  // a second handle on Codec.so, for its compressor
    CompressFunction compress = nullptr;
    UncompressFunction uncompress = nullptr;
    bool codecTried = false;
    TCPReceiver* logHolder = nullptr;  // unregistered; keeps the error log open
};

Environment* environment = nullptr;

void RemoveLogFolder() {
    if (environment != nullptr && !environment->logFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(environment->logFolder, ignored);
    }
}

}  // namespace

void InitializeEnvironment(bool loadCodec, Clock* clock) {
    if (environment == nullptr) {
        environment = new Environment;
        char pattern[] = "/tmp/veltonet-fuzz-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            environment->logFolder = pattern;
            setenv("VELTONET_LOG_DIR", pattern, 1);
            std::atexit(RemoveLogFolder);
        }
        ReceiverManager::Create(clock);
        environment->logHolder = new TCPReceiver("log", "", 0, 0, true);
    }
    if (loadCodec && !environment->codecTried) {
        environment->codecTried = true;
        setenv("VELTONET_PLUGIN_DIR", VELTONET_CODEC_DIR, 1);
        char error[256] = {};
        CompressPlugin::Instance().Load(error, sizeof(error));
        environment->uncompress = TCPReceiver::GetUncompressFunction();
        FUZZ_CHECK(environment->uncompress != nullptr, "Codec.so did not load: %s", error);
        std::string text;
        if (environment->codec.Open(std::string(VELTONET_CODEC_DIR) + "/Codec.so", &text)) {
            environment->compress =
                reinterpret_cast<CompressFunction>(environment->codec.Symbol("Compress"));
        }
        FUZZ_CHECK(environment->compress != nullptr, "Codec.so has no Compress: %s", text.c_str());
    }
}

UncompressFunction CodecUncompress() {
    return environment != nullptr ? environment->uncompress : nullptr;
}

CompressFunction CodecCompress() {
    return environment != nullptr ? environment->compress : nullptr;
}

size_t HeapInUse() {
#ifdef VELTONET_FUZZ_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

}  // namespace veltonet::fuzz
