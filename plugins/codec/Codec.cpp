// Codec.so: the compression plug-in, on the LZ4 block format.
//
// A compressed aggregate on the wire is a message of type 18: bytes 0-3 its header, bytes
// 4-7 the length of the uncompressed data (unsigned 32-bit little-endian), and from byte 8
// one LZ4 block holding a run of framed messages. A receiver hands the block to Uncompress
// with a destination at least as large as the stated length.

#include <lz4.h>

#include <climits>

#include "veltonet/receiver.h"

#define CODEC_EXPORT extern "C" RP_EXPORT

#ifndef VELTONET_VERSION_TEXT
#error "VELTONET_VERSION_TEXT must carry the project version"
#endif

namespace {

// LZ4 counts in int; a capacity beyond that is more room than any block needs.
int ClampToInt(unsigned int value) {
    return value > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

}  // namespace

// Nothing to set up: LZ4 keeps no global state.
CODEC_EXPORT void R_CALL CompressInitialize(void) {}

CODEC_EXPORT void R_CALL CompressTerminate(void) {}

// The number of bytes written, never more than capacity; 0 for a block that is corrupt or
// whose content does not fit.
CODEC_EXPORT unsigned int R_CALL Uncompress(const char* source, unsigned int sourceLength,
                                            char* destination, unsigned int capacity) {
    if (source == nullptr || destination == nullptr || sourceLength == 0 || capacity == 0 ||
        sourceLength > static_cast<unsigned int>(INT_MAX)) {
        return 0;
    }
    const int written = LZ4_decompress_safe(source, destination, static_cast<int>(sourceLength),
                                            ClampToInt(capacity));
    return written > 0 ? static_cast<unsigned int>(written) : 0;
}

// The size of the block, never more than capacity; 0 when it does not fit.
CODEC_EXPORT unsigned int R_CALL Compress(const char* source, unsigned int sourceLength,
                                          char* destination, unsigned int capacity) {
    if ((source == nullptr && sourceLength != 0) || destination == nullptr || capacity == 0 ||
        sourceLength > static_cast<unsigned int>(LZ4_MAX_INPUT_SIZE)) {
        return 0;
    }
    const int written = LZ4_compress_default(source, destination, static_cast<int>(sourceLength),
                                             ClampToInt(capacity));
    return written > 0 ? static_cast<unsigned int>(written) : 0;
}

CODEC_EXPORT const char* R_CALL GetCompressVersion(void) {
    return VELTONET_VERSION_TEXT;
}

// The LZ4 library actually loaded, which may be newer than the one built against.
CODEC_EXPORT const char* R_CALL GetCompressBuild(void) {
    return LZ4_versionString();
}
