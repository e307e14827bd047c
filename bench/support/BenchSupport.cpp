#include "support/BenchSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

static_assert(std::endian::native == std::endian::little, "the bench wire is read in place");

uint64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

void Die(const std::string& text) {
    std::fprintf(stderr, "bench: %s\n", text.c_str());
    std::fflush(stderr);
    _exit(2);
}

int RunRole(int argc, char** argv, const char* program, const char* peerRole,
            int (*run)(const Args&), int (*peer)(const Args&)) {
    if (argc < 2) {
        Die(std::string("usage: ") + program + " run|" + peerRole + " --key value ...");
    }
    const std::string role = argv[1];
    const Args args(argc, argv, 2);
    if (role == "run") {
        return run(args);
    }
    if (role == peerRole) {
        return peer(args);
    }
    Die("unknown role " + role);
}

void HardDeadline(unsigned int seconds) {
    alarm(seconds);
}

uint64_t RaiseDescriptorLimit(uint64_t wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted) {
        return limit.rlim_cur;
    }
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (raised.rlim_max < wanted) {
        raised.rlim_max = wanted;  // needs privilege; falls back below
    }
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        raised.rlim_max = limit.rlim_max;
        raised.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

void PinToCpu(int cpu) {
    if (cpu < 0) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

Pinning PinningOf(uint64_t argument) {
    return argument == 1 ? Pinning::kSeparate : (argument == 2 ? Pinning::kShared : Pinning::kFree);
}

int OwnCpu(Pinning pinning) {
    return pinning == Pinning::kFree ? -1 : 0;
}

int PeerCpu(Pinning pinning) {
    switch (pinning) {
        case Pinning::kSeparate:
            return sysconf(_SC_NPROCESSORS_ONLN) > 1 ? 1 : 0;
        case Pinning::kShared:
            return 0;
        case Pinning::kFree:
            break;
    }
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

namespace {
// The two first fields of /proc/self/statm, in bytes: address space, then resident set.
bool ReadStatm(uint64_t* size, uint64_t* resident) {
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) {
        return false;
    }
    unsigned long pages = 0;
    unsigned long residentPages = 0;
    const int read = std::fscanf(file, "%lu %lu", &pages, &residentPages);
    std::fclose(file);
    const auto page = uint64_t(sysconf(_SC_PAGESIZE));
    *size = uint64_t(pages) * page;
    *resident = uint64_t(residentPages) * page;
    return read == 2;
}
}  // namespace

uint64_t ResidentBytes() {
    uint64_t size = 0;
    uint64_t resident = 0;
    return ReadStatm(&size, &resident) ? resident : 0;
}

uint64_t VirtualBytes() {
    uint64_t size = 0;
    uint64_t resident = 0;
    return ReadStatm(&size, &resident) ? size : 0;
}

// ---- arguments ----

Args::Args(int argc, char** argv, int first) {
    for (int i = first; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0) {
            Die("argument expected as --key value: " + key);
        }
        m_values[key.substr(2)] = argv[i + 1];
    }
}

std::string Args::Text(const std::string& key, const std::string& fallback) const {
    auto found = m_values.find(key);
    return found == m_values.end() ? fallback : found->second;
}

uint64_t Args::Number(const std::string& key, uint64_t fallback) const {
    auto found = m_values.find(key);
    return found == m_values.end() ? fallback : std::strtoull(found->second.c_str(), nullptr, 10);
}

// ---- lines over pipes ----

namespace {

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the other side is gone; its own bounds end it
        }
        done += size_t(n);
    }
}

bool ReadLine(int fd, std::string& pending, std::string& line, int timeoutMs) {
    const uint64_t deadline = NowNs() + uint64_t(std::max(timeoutMs, 0)) * 1000000u;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        const uint64_t now = NowNs();
        if (now >= deadline) {
            return false;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, int((deadline - now + 999999u) / 1000000u));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            continue;  // the deadline test above ends the wait
        }
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        pending.append(chunk, size_t(n));
    }
}

std::string ExpectLine(int fd, std::string& pending, const std::string& word, int timeoutMs) {
    std::string line;
    if (!ReadLine(fd, pending, line, timeoutMs)) {
        Die("no \"" + word + "\" line within " + std::to_string(timeoutMs) + " ms");
    }
    if (line.rfind(word + " ", 0) != 0 && line != word) {
        Die("expected \"" + word + "\", got \"" + line + "\"");
    }
    return line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
}

}  // namespace

Peer::Peer(const std::vector<std::string>& args) {
    int toPeer[2];
    int fromPeer[2];
    if (pipe2(toPeer, O_CLOEXEC) != 0 || pipe2(fromPeer, O_CLOEXEC) != 0) {
        Die("pipe failed");
    }
    const pid_t parentPid = getpid();
    m_pid = fork();
    if (m_pid < 0) {
        Die("fork failed");
    }
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parentPid) {
            _exit(3);
        }
        dup2(toPeer[0], 0);
        dup2(fromPeer[1], 1);
        std::vector<char*> argv;
        std::string self = "/proc/self/exe";
        argv.push_back(self.data());
        std::vector<std::string> copies = args;
        for (std::string& arg : copies) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(toPeer[0]);
    close(fromPeer[1]);
    m_toPeer = toPeer[1];
    m_fromPeer = fromPeer[0];
}

Peer::~Peer() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_toPeer >= 0) {
        close(m_toPeer);
    }
    if (m_fromPeer >= 0) {
        close(m_fromPeer);
    }
}

void Peer::Send(const std::string& line) {
    WriteAll(m_toPeer, line + "\n");
}

bool Peer::Receive(std::string& line, int timeoutMs) {
    return ReadLine(m_fromPeer, m_pending, line, timeoutMs);
}

std::string Peer::Expect(const std::string& word, int timeoutMs) {
    return ExpectLine(m_fromPeer, m_pending, word, timeoutMs);
}

int Peer::Wait(int timeoutMs) {
    if (m_pid <= 0) {
        return -1;
    }
    const uint64_t deadline = NowNs() + uint64_t(timeoutMs) * 1000000u;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            break;
        }
        if (NowNs() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        usleep(1000);
    }
    m_pid = -1;
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

namespace parent {
namespace {
std::string& Pending() {
    static std::string pending;
    return pending;
}
}  // namespace

void Send(const std::string& line) {
    WriteAll(1, line + "\n");
}

bool Receive(std::string& line, int timeoutMs) {
    return ReadLine(0, Pending(), line, timeoutMs);
}

std::string Expect(const std::string& word, int timeoutMs) {
    return ExpectLine(0, Pending(), word, timeoutMs);
}
}  // namespace parent

// ---- JSON ----

void Json::Key(const std::string& key) {
    if (!m_body.empty()) {
        m_body += ",";
    }
    m_body += "\"" + key + "\":";
}

Json& Json::Number(const std::string& key, double value) {
    Key(key);
    if (!std::isfinite(value)) {
        m_body += "null";
        return *this;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.6g", value);
    m_body += text;
    return *this;
}

Json& Json::Integer(const std::string& key, int64_t value) {
    Key(key);
    m_body += std::to_string(value);
    return *this;
}

Json& Json::Text(const std::string& key, const std::string& value) {
    Key(key);
    m_body += "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            m_body += '\\';
        }
        m_body += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    }
    m_body += "\"";
    return *this;
}

Json& Json::Bool(const std::string& key, bool value) {
    Key(key);
    m_body += value ? "true" : "false";
    return *this;
}

Json& Json::Raw(const std::string& key, const std::string& json) {
    Key(key);
    m_body += json;
    return *this;
}

void PrintResult(const Json& result) {
    const std::string line = "RESULT " + result.Str() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

double Percentile(const std::vector<uint64_t>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    // Nearest rank: the smallest sample that at least this fraction of samples do not exceed.
    size_t rank = size_t(std::ceil(fraction * double(sorted.size())));
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return double(sorted[rank - 1]);
}

std::string LatencySummary(std::vector<uint64_t>& samples, unsigned int histogramMicroseconds) {
    std::sort(samples.begin(), samples.end());
    Json summary;
    summary.Integer("count", int64_t(samples.size()));
    if (samples.empty()) {
        return summary.Str();
    }
    auto us = [](double ns) { return ns / 1000.0; };
    summary.Number("min_us", us(double(samples.front())))
        .Number("p50_us", us(Percentile(samples, 0.50)))
        .Number("p90_us", us(Percentile(samples, 0.90)))
        .Number("p99_us", us(Percentile(samples, 0.99)))
        .Number("p999_us", us(Percentile(samples, 0.999)))
        .Number("max_us", us(double(samples.back())));
    std::vector<uint64_t> buckets(histogramMicroseconds + 1, 0);
    for (uint64_t sample : samples) {
        buckets[std::min<uint64_t>(sample / 1000u, histogramMicroseconds)]++;
    }
    std::string histogram = "[";
    for (size_t i = 0; i < buckets.size(); ++i) {
        if (buckets[i] == 0) {
            continue;
        }
        if (histogram.size() > 1) {
            histogram += ",";
        }
        histogram += '[';
        histogram += std::to_string(i + 1);
        histogram += ',';
        histogram += std::to_string(buckets[i]);
        histogram += ']';
    }
    histogram += "]";
    summary.Raw("histogram_us", histogram);
    return summary.Str();
}

std::string MakeMessage(uint16_t size, uint16_t type, uint32_t value) {
    std::string bytes(size, '\0');
    for (size_t i = 8; i < bytes.size(); ++i) {
        bytes[i] = char('a' + i % 26);
    }
    WriteHeader(bytes.data(), size, type);
    if (size >= 8) {
        WriteU32(bytes.data() + 4, value);
    }
    return bytes;
}

}  // namespace bench
