// The reliability suite's system side on Linux: descriptors, their limit, the heap, raw sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>

#include "ReliabilitySupport.h"

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

namespace veltonet::test {

size_t OpenDescriptors() {
    using std::filesystem::directory_iterator;
    return size_t(std::distance(directory_iterator("/proc/self/fd"), directory_iterator())) - 1;
}

DescriptorLimit::DescriptorLimit(int room) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    m_original = limit.rlim_cur;
    int lowest = 0;
    for (int free = 0; free < room; ++lowest) {
        free += fcntl(lowest, F_GETFD) == -1;
    }
    limit.rlim_cur = rlim_t(lowest);
    m_lowered = setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

DescriptorLimit::~DescriptorLimit() {
    rlimit limit{};
    if (m_lowered && getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = rlim_t(m_original);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
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

namespace raw {

bool ConnectTo(int fd, uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0 ||
           errno == EINPROGRESS;
}

int NonBlockingStream() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

}  // namespace raw

}  // namespace veltonet::test
