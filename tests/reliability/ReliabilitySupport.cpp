#include "ReliabilitySupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "veltonet/companion/Message.h"
#include "veltonet/frame/PluginLoader.h"
#include "veltonet/platform/DynamicLibrary.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELTONET_RELIABILITY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTONET_RELIABILITY_ASAN 1
#endif
#endif
#ifdef VELTONET_RELIABILITY_ASAN
// The sanitizer runtime's own count; gcc ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define VELTONET_RELIABILITY_VALGRIND 1
#endif

#ifndef VELTONET_CODEC_DIR
#error "VELTONET_CODEC_DIR must name the folder of the built Codec.so"
#endif

namespace veltonet::test {

size_t OpenDescriptors() {
    using std::filesystem::directory_iterator;
    return size_t(std::distance(directory_iterator("/proc/self/fd"), directory_iterator())) - 1;
}

int DescriptorLimitLeaving(int room) {
    int limit = 0;
    for (int free = 0; free < room; ++limit) {
        free += fcntl(limit, F_GETFD) == -1;
    }
    return limit;
}

size_t HeapInUse() {
#ifdef VELTONET_RELIABILITY_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

bool UnderValgrind() {
#ifdef VELTONET_RELIABILITY_VALGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

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

namespace raw {

bool ConnectTo(int fd, uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0 ||
           errno == EINPROGRESS;
}

}  // namespace raw

Codec::Codec() {
    setenv("VELTONET_PLUGIN_DIR", VELTONET_CODEC_DIR, 1);
    char error[256] = {};
    CompressPlugin::Instance().Load(error, sizeof(error));
    auto* library = new DynamicLibrary;
    std::string text;
    if (CompressPlugin::Instance().isLoaded() &&
        library->Open(std::string(VELTONET_CODEC_DIR) + "/Codec.so", &text)) {
        m_compress = reinterpret_cast<CompressFunction>(library->Symbol("Compress"));
    }
    m_library = library;
}

Codec::~Codec() {
    delete static_cast<DynamicLibrary*>(m_library);
    CompressPlugin::Instance().Free();
    unsetenv("VELTONET_PLUGIN_DIR");
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
