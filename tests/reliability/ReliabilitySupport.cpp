#include "ReliabilitySupport.h"

#include <cstdlib>

#include "veltonet/companion/Message.h"
#include "veltonet/frame/PluginLoader.h"
#include "veltonet/platform/DynamicLibrary.h"

#ifndef VELTONET_CODEC_DIR
#error "VELTONET_CODEC_DIR must name the folder of the built compression plug-in"
#endif

namespace veltonet::test {

void Usage::ExpectNoGrowth(size_t heapSlack) const {
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (!UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heap + heapSlack);
    }
}

bool ConnectReceiver(TCPReceiver& receiver) {
    receiver.InvalidateSocket(true);
    return receiver.CreateSocket();
}

Codec::Codec() {
    SetEnvironment("VELTONET_PLUGIN_DIR", VELTONET_CODEC_DIR);
    char error[256] = {};
    CompressPlugin::Instance().Load(error, sizeof(error));
    auto* library = new DynamicLibrary;
    std::string text;
    if (CompressPlugin::Instance().isLoaded() &&
        library->Open(std::string(VELTONET_CODEC_DIR) + "/Codec" VELTONET_PLUGIN_SUFFIX, &text)) {
        m_compress = reinterpret_cast<CompressFunction>(library->Symbol("Compress"));
    }
    m_library = library;
}

Codec::~Codec() {
    delete static_cast<DynamicLibrary*>(m_library);
    CompressPlugin::Instance().Free();
    SetEnvironment("VELTONET_PLUGIN_DIR", nullptr);
}

std::string Codec::Compress(const std::string& content) const {
    std::string block(content.size() + content.size() / 255 + 32, '\0');
    const unsigned int n =
        m_compress(content.data(), unsigned(content.size()), block.data(), unsigned(block.size()));
    block.resize(n);
    return block;
}

std::string Aggregate(uint32_t stated, const std::string& block) {
    std::string body(4, '\0');
    Message::WriteU32(body.data(), stated);
    return Frame(kMsgCompressedAggregate, body + block);
}

}  // namespace veltonet::test
