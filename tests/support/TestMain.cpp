#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <csignal>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    // Raw test peers may open sockets before any loop of the library has started Winsock.
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
#else
    // A peer that resets must never kill a test program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
