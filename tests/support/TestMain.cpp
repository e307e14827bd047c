#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A peer that resets must never kill a test program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
