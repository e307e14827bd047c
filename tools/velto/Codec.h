#pragma once

#include <string>
#include <string_view>

#include "SharedLibrary.h"
#include "veltonet/receiver.h"

namespace velto {

// The compression plug-in from both sides: loaded into the library (so receivers expand
// compressed aggregates) and opened here for its Compress (so a server can make them).
class Compressor {
  public:
    Compressor() = default;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // False with the reason when the plug-in is missing or incomplete.
    bool Load(std::string* why);
    bool isLoaded() const { return m_compress != nullptr; }

    // A type-18 aggregate of `run` (framed messages back to back): bytes 4-7 the length of
    // the run, then one LZ4 block. Empty when it does not fit one message.
    std::string Aggregate(std::string_view run) const;

  private:
    using CompressFunction = unsigned int(R_CALL*)(const char*, unsigned int, char*, unsigned int);
    SharedLibrary m_library;
    CompressFunction m_compress = nullptr;
};

}  // namespace velto
