// Reading Velto.ini: any bytes as the file, looked up for the log folder and for a section and
// key of the fuzzer's choice.
//
// Input: [section length][section][key length][key][file]. Invariants: a lookup answers the
// default or text that stands in the file (a quoted value without its quotes); the answer does
// not depend on the case of the section and key names; reading twice gives the same answer.
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "veltonet/platform/IniFile.h"

namespace veltonet::fuzz {
namespace {

// One in-memory file per process, rewritten for each input.
const std::string& IniPath() {
    static const std::string path = [] {
        const int fd = memfd_create("Velto.ini", MFD_CLOEXEC);
        FUZZ_CHECK(fd >= 0, "memfd_create failed");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void WriteIni(const std::string& content) {
    const int fd = std::stoi(IniPath().substr(14));
    FUZZ_CHECK(ftruncate(fd, 0) == 0, "ftruncate failed");
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n =
            pwrite(fd, content.data() + written, content.size() - written, off_t(written));
        FUZZ_CHECK(n > 0, "pwrite failed");
        written += size_t(n);
    }
}

std::string Flip(std::string text) {
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        c = char(std::islower(u) ? std::toupper(u) : std::tolower(u));
    }
    return text;
}

// A name as the parser can meet it: no NUL (a C string ends there).
std::string Name(Input& input) {
    std::string name = input.Bytes(input.Byte() % 24);
    return name.substr(0, name.find('\0'));
}

void Check(const std::string& file, const std::string& section, const std::string& key) {
    static const char* const kDefault =
        "\x01"
        "default"
        "\x01";
    const std::string answer = ReadIniString(IniPath(), section.c_str(), key.c_str(), kDefault);
    FUZZ_CHECK(answer == kDefault || file.find(answer) != std::string::npos,
               "answer of %zu bytes is not in the file", answer.size());
    const std::string again = ReadIniString(IniPath(), section.c_str(), key.c_str(), kDefault);
    FUZZ_CHECK(again == answer, "a second reading differs");
    const std::string flipped =
        ReadIniString(IniPath(), Flip(section).c_str(), Flip(key).c_str(), kDefault);
    FUZZ_CHECK(flipped == answer, "the answer depends on the case of the names");
}

}  // namespace
}  // namespace veltonet::fuzz

using namespace veltonet::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const std::string section = Name(input);
    const std::string key = Name(input);
    const std::string file = input.Rest();
    WriteIni(file);
    Check(file, "Folder", "Log");
    Check(file, section, key);
    return 0;
}
