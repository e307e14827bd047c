#include "tests/VeltoProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

extern char** environ;

namespace velto::test {

namespace {

// The folder goes when the test program ends.
struct LogFolder {
    LogFolder() {
        char pattern[] = "/tmp/velto_tests_XXXXXX";
        const char* made = mkdtemp(pattern);
        path = made != nullptr ? made : "/tmp";
    }
    ~LogFolder() {
        std::error_code ignored;
        if (path != "/tmp") {
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string path;
};

}  // namespace

struct VeltoProcess::Native {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
};

const std::string& LogDir() {
    static LogFolder folder;
    return folder.path;
}

VeltoProcess::VeltoProcess(const std::vector<std::string>& arguments, bool withLogDir)
    : m_native(std::make_unique<Native>()) {
    // A child that has gone must not kill the test through a write to its input.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> all{VELTO_BINARY};
    all.insert(all.end(), arguments.begin(), arguments.end());
    if (withLogDir) {
        all.push_back("--log-dir");
        all.push_back(LogDir());
    }
    std::vector<char*> argv;
    for (std::string& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // A child starts with the signal mask of the test (nothing blocked) and default actions.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&m_native->pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) {
        m_native->pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_native->in = in[1];
    m_native->out = out[0];
    m_native->err = err[0];
}

VeltoProcess::~VeltoProcess() {
    if (m_native->pid > 0 && !m_status) {
        kill(m_native->pid, SIGKILL);
        int status = 0;
        waitpid(m_native->pid, &status, 0);
    }
    for (int fd : {m_native->in, m_native->out, m_native->err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool VeltoProcess::Read(int milliseconds) {
    pollfd fds[2];
    nfds_t count = 0;
    int* owners[2];
    for (int* fd : {&m_native->out, &m_native->err}) {
        if (*fd >= 0) {
            owners[count] = fd;
            fds[count++] = pollfd{*fd, POLLIN, 0};
        }
    }
    if (count == 0) {
        return false;
    }
    if (poll(fds, count, milliseconds) <= 0) {
        return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = read(*owners[i], chunk, sizeof(chunk));
        if (n <= 0) {
            close(*owners[i]);
            *owners[i] = -1;
            continue;
        }
        (owners[i] == &m_native->out ? m_out : m_err).append(chunk, static_cast<size_t>(n));
    }
    CutLines();
    return true;
}

int VeltoProcess::Wait(double seconds) {
    if (m_native->pid <= 0) {
        return -1;
    }
    const Clock::time_point deadline = Deadline(seconds);
    while (!m_status) {
        int status = 0;
        const pid_t done = waitpid(m_native->pid, &status, WNOHANG);
        if (done == m_native->pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (MillisecondsLeft(deadline) == 0) {
            return -1;
        }
        if (!Read(std::min(MillisecondsLeft(deadline), 20))) {
            // Both streams ended: the process is about to be reaped; waitpid again.
            poll(nullptr, 0, 5);
        }
    }
    while (Read(0) && (m_native->out >= 0 || m_native->err >= 0)) {
    }
    return *m_status;
}

void VeltoProcess::Interrupt() {
    if (m_native->pid > 0 && !m_status) {
        kill(m_native->pid, SIGINT);
    }
}

void VeltoProcess::Kill() {
    if (m_native->pid > 0 && !m_status) {
        kill(m_native->pid, SIGKILL);
        Wait();
    }
}

bool VeltoProcess::CanInterrupt() {
    return true;
}

bool UnderWine() {
    return false;
}

void VeltoProcess::Write(const std::string& text) {
    if (m_native->in >= 0) {
        [[maybe_unused]] const ssize_t ignored = write(m_native->in, text.data(), text.size());
    }
}

uint16_t FreePort(bool stream) {
    const int fd = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

}  // namespace velto::test
