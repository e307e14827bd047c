#pragma once

// What every benchmark program shares: the clock, hard time bounds, the control channel
// between a measuring process and the peer process it starts, result records and the
// bench's own wire messages. Nothing here belongs to the library under test.

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process on the machine, so a time
// stamp taken by a peer process can be compared with one taken here.
uint64_t NowNs();

// Prints the text to stderr and ends the process with status 2.
[[noreturn]] void Die(const std::string& text);

// The process ends (SIGALRM) after this many seconds whatever it is doing: no run can hang.
void HardDeadline(unsigned int seconds);

// Raises the descriptor limit to wanted (root may raise the hard limit as well); answers the
// soft limit now in force.
uint64_t RaiseDescriptorLimit(uint64_t wanted);

// Binds this process (and the threads it starts later) to one CPU; a negative cpu leaves the
// scheduler free.
void PinToCpu(int cpu);
// The --pin argument of a measuring process, and the CPUs it gives itself and its peer:
enum class Pinning {
    kFree = 0,      // the scheduler decides
    kSeparate = 1,  // measuring side on CPU 0, peer on CPU 1: each side has a core
    kShared = 2,    // both on CPU 0: no cross-CPU wake-up in the path, only software
};
Pinning PinningOf(uint64_t argument);
int OwnCpu(Pinning pinning);
int PeerCpu(Pinning pinning);

// CPU time (user and system, all threads) this process has used so far, in seconds.
double CpuSeconds();

// Resident set size of this process, in bytes.
uint64_t ResidentBytes();
// Size of this process's address space (what it reserved, touched or not), in bytes.
uint64_t VirtualBytes();

// "--key value" pairs after the role word.
class Args {
  public:
    Args(int argc, char** argv, int first);
    std::string Text(const std::string& key, const std::string& fallback = "") const;
    uint64_t Number(const std::string& key, uint64_t fallback = 0) const;

  private:
    std::map<std::string, std::string> m_values;
};

// A bench program's main: argv[1] names the measuring side ("run") or the peer's role; the
// "--key value" pairs follow. Dies with a usage line for anything else.
int RunRole(int argc, char** argv, const char* program, const char* peerRole,
            int (*run)(const Args&), int (*peer)(const Args&));

// A peer process: this program run again with other arguments. Its stdin and stdout are
// pipes to us and carry one command or report per line; its stderr is ours. It dies with us
// (parent-death signal), and a peer still running when the object goes is killed.
class Peer {
  public:
    explicit Peer(const std::vector<std::string>& args);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void Send(const std::string& line);
    // False when no whole line came within timeoutMs, or the peer closed its end.
    bool Receive(std::string& line, int timeoutMs);
    // Waits for a line that starts with word and a blank; answers the rest. Dies otherwise.
    std::string Expect(const std::string& word, int timeoutMs);
    // Exit status (or 128 + signal); kills the peer when it has not ended within timeoutMs.
    int Wait(int timeoutMs);

  private:
    pid_t m_pid = -1;
    int m_toPeer = -1;
    int m_fromPeer = -1;
    std::string m_pending;
};

// The peer's side of the control channel: stdout towards the measuring process, stdin from it.
namespace parent {
void Send(const std::string& line);
bool Receive(std::string& line, int timeoutMs);
std::string Expect(const std::string& word, int timeoutMs);
}  // namespace parent

// A flat JSON object, built field by field.
class Json {
  public:
    Json& Number(const std::string& key, double value);
    Json& Integer(const std::string& key, int64_t value);
    Json& Text(const std::string& key, const std::string& value);
    Json& Bool(const std::string& key, bool value);
    Json& Raw(const std::string& key, const std::string& json);
    std::string Str() const { return "{" + m_body + "}"; }

  private:
    void Key(const std::string& key);
    std::string m_body;
};

// The record a measuring process prints for the driver: one line, "RESULT " and the object.
void PrintResult(const Json& result);

// Order statistics of latency samples in nanoseconds, as JSON: count, min, p50, p90, p99,
// p99.9, max (microseconds) and a histogram of 1-microsecond buckets (only the non-empty
// ones, as [upper bound in microseconds, count] pairs; the last bucket collects the rest).
std::string LatencySummary(std::vector<uint64_t>& samples, unsigned int histogramMicroseconds);
double Percentile(const std::vector<uint64_t>& sorted, double fraction);

// ---- the bench's wire: the library's framing (bytes 0-1 size, 2-3 type, little-endian) ----

constexpr uint16_t kTypeData = 1001;  // bytes 4-7 a sequence number
constexpr uint16_t kTypePing = 1003;  // bytes 4-7 a sequence number
constexpr uint16_t kTypeAck = 1005;   // bytes 4-7 the last packet delivered in order
constexpr uint16_t kTypeDone = 1007;  // the measuring side has all it wanted
constexpr uint16_t kTypeAccepted = 60011;
constexpr uint16_t kTypeSubscribe = 60004;
constexpr uint16_t kTypeSequencedPacket = 21008;
constexpr uint16_t kTypeRepairRequest = 20009;
constexpr uint16_t kTypeDisconnected = 60002;

inline uint16_t ReadU16(const void* at) {
    const auto* b = static_cast<const unsigned char*>(at);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
inline uint32_t ReadU32(const void* at) {
    uint32_t v;
    std::memcpy(&v, at, 4);  // little-endian host
    return v;
}
inline uint64_t ReadU64(const void* at) {
    uint64_t v;
    std::memcpy(&v, at, 8);
    return v;
}
inline void WriteU16(void* to, uint16_t v) {
    std::memcpy(to, &v, 2);
}
inline void WriteU32(void* to, uint32_t v) {
    std::memcpy(to, &v, 4);
}
inline void WriteU64(void* to, uint64_t v) {
    std::memcpy(to, &v, 8);
}
inline void WriteHeader(void* to, uint16_t size, uint16_t type) {
    WriteU16(to, size);
    WriteU16(static_cast<char*>(to) + 2, type);
}
// A message of size bytes and type: header, a 32-bit value, then filler bytes.
std::string MakeMessage(uint16_t size, uint16_t type, uint32_t value);

}  // namespace bench
