#include "Host.h"

#include <cstdio>

#include "veltonet/receiver.h"

namespace velto {

namespace {

void PrintLogRecord(void* /*context*/, const char* logName, const char* source, const char* text,
                    const char* address) {
    std::fprintf(stderr, "log %s: %s: %s%s%s\n", logName != nullptr ? logName : "",
                 source != nullptr ? source : "", text != nullptr ? text : "",
                 address != nullptr && *address != '\0' ? " @ " : "",
                 address != nullptr ? address : "");
}

}  // namespace

int MillisecondsUntil(Clock::time_point when, int cap) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return left > cap ? cap : static_cast<int>(left);
}

Session::~Session() {
    if (m_started) {
        R_ReceiverTerminate();
        RX_SetLogCallback(nullptr, nullptr);
    }
}

bool Session::Start(const CommonOptions& options) {
    std::string why;
    if (!options.logDir.empty() &&
        !Console::SetEnvironment("VELTONET_LOG_DIR", options.logDir, &why)) {
        Error("cannot set the log folder: " + why);
        return false;
    }
    if (!m_console.WatchInterrupts(&why)) {
        Error(why);
        return false;
    }
    if (options.verbose) {
        RX_SetLogCallback(PrintLogRecord, nullptr);
    }
    R_ReceiverInitialize();
    m_started = true;
    if (!m_console.AttachLibrary()) {
        Error("the library did not start (no event loop)");
        return false;
    }
    return true;
}

void Session::Pump(int waitMs) {
    const Console::Ready ready = m_console.Wait(waitMs, m_inputOpen);
    m_interrupted = m_interrupted || ready.interrupted;
    if (ready.work) {
        RX_ProcessEvents(0);
    }
    if (m_inputOpen && ready.input) {
        ReadInput();
    }
}

void Session::WatchInput(std::function<void(const std::string&)> onLine) {
    m_onLine = std::move(onLine);
    m_inputOpen = true;
}

void Session::ReadInput() {
    const long n = m_console.ReadInput(&m_input);
    if (n <= 0) {
        if (n == 0) {
            m_inputOpen = false;  // end of input: nothing more to read, never wait for it again
        }
        return;
    }
    size_t newline;
    while ((newline = m_input.find('\n')) != std::string::npos) {
        const std::string line = m_input.substr(0, newline);
        m_input.erase(0, newline + 1);
        m_onLine(line);
    }
}

void Session::Error(const std::string& text) const {
    std::fflush(stdout);
    std::fprintf(stderr, "velto %s: %s\n", m_command.c_str(), text.c_str());
}

Watcher::Watcher(Handler handler)
    : m_handler(std::move(handler)), m_observer(RX_CreateObserver(&Watcher::Trampoline, this)) {}

Watcher::~Watcher() {
    if (m_observer != nullptr) {
        RX_DestroyObserver(m_observer);
    }
}

bool Watcher::Watch(void* observable) {
    return m_observer != nullptr && RX_AddObserver(observable, m_observer) != 0;
}

bool Watcher::Unwatch(void* observable) {
    return m_observer != nullptr && RX_RemoveObserver(observable, m_observer) != 0;
}

void Watcher::Trampoline(void* context, void* observable, const void* message) {
    static_cast<Watcher*>(context)->m_handler(observable, MessageView::Of(message));
}

std::string AddressOf(void* receiver) {
    return std::string(R_GetReceiverIp(receiver)) + ":" +
           std::to_string(R_GetReceiverPort(receiver));
}

}  // namespace velto
