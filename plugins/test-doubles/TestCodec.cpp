// A stand-in for Codec.so in the frame's tests. Its block format is a plain copy, and it
// records which of its exports were called, so a test can prove the loader's calls and their
// order. Compile definitions leave exports out to make broken variants.

#include <cstring>
#include <string>

#include "veltonet/receiver.h"

#define TEST_EXPORT extern "C" RP_EXPORT

namespace {
std::string& Events() {
    static std::string events;
    return events;
}
}  // namespace

// "CompressInitialize;Uncompress;..." since the last reset.
TEST_EXPORT const char* TestPluginEvents(void) {
    return Events().c_str();
}
TEST_EXPORT void TestPluginReset(void) {
    Events().clear();
}

#ifndef OMIT_COMPRESS_INITIALIZE
TEST_EXPORT void R_CALL CompressInitialize(void) {
    Events() += "CompressInitialize;";
}
#endif

#ifndef OMIT_UNCOMPRESS
TEST_EXPORT unsigned int R_CALL Uncompress(const char* source, unsigned int sourceLength,
                                           char* destination, unsigned int capacity) {
    Events() += "Uncompress;";
    const unsigned int n = sourceLength < capacity ? sourceLength : capacity;
    std::memcpy(destination, source, n);
    return n;
}
#endif

#ifndef OMIT_COMPRESS
TEST_EXPORT unsigned int R_CALL Compress(const char* source, unsigned int sourceLength,
                                         char* destination, unsigned int capacity) {
    Events() += "Compress;";
    if (sourceLength > capacity) {
        return 0;
    }
    std::memcpy(destination, source, sourceLength);
    return sourceLength;
}
#endif

#ifndef OMIT_OPTIONAL
TEST_EXPORT const char* R_CALL GetCompressVersion(void) {
    return "test codec 1.2";
}
TEST_EXPORT const char* R_CALL GetCompressBuild(void) {
    return "test build 7";
}
TEST_EXPORT void R_CALL CompressTerminate(void) {
    Events() += "CompressTerminate;";
}
#endif
