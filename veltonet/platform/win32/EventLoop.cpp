#include "veltonet/platform/EventLoop.h"

#include <windows.h>
#include <winsock2.h>

#include <unordered_map>
#include <vector>

#include "veltonet/platform/AsyncSocket.h"
#include "veltonet/platform/win32/Notifications.h"

namespace veltonet {

namespace {

// Each socket posts its notifications with a message number of its own, taken from this range
// (WSAAsyncSelect's wParam is the socket handle, which Windows hands out again at once). A
// closed socket's number is retired only when the retire message posted behind its last
// notifications comes through: by then nothing queued can carry that number any more.
constexpr UINT kRetireMessage = WM_APP + 1;
// Posted when a round of ProcessEvents starts: the round dispatches what was queued before
// it, and what handlers cause (a socket's next report) waits for the next round, as with a
// poller's batch.
constexpr UINT kRoundEndMessage = WM_APP + 2;
constexpr UINT kFirstSocketMessage = WM_APP + 0x100;
constexpr UINT kLastSocketMessage = 0xBFFF;
constexpr long kAllSocketEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
// Messages one round dispatches at most: a stream that keeps its socket readable re-posts
// notifications while the round runs.
constexpr int kMaxBatch = 64;

const char kWindowClass[] = "veltonet hidden window";

// The module holding this code, which owns the window class.
HINSTANCE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

bool RegisterWindowClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXA windowClass{};
    if (GetClassInfoExA(instance, kWindowClass, &windowClass)) {
        return true;
    }
    windowClass = WNDCLASSEXA{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExA(&windowClass) != 0;
}

}  // namespace

struct EventLoop::Native {
    struct Posted {
        SocketId id;
        int fd;
        uint32_t event;
    };

    HWND window = nullptr;
    WPARAM rounds = 0;
    // Timers run since the round began.
    int ran = 0;
    // Inside ProcessEvents, reports that sockets post to themselves wait for the round's end,
    // so that a handler leaving data unread is told once a round, not once a message.
    bool inRound = false;
    std::vector<Posted> deferred;
    // Message slot -> socket identifier; 0 for a free slot. A retiring slot keeps the
    // identifier of its closed socket, which is then no longer live.
    std::vector<SocketId> slots;
    std::vector<UINT> freeSlots;
    std::unordered_map<SocketId, UINT> slotOf;

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    static void Dispatch(EventLoop& loop, UINT message, WPARAM wParam, LPARAM lParam);
};

LRESULT CALLBACK EventLoop::Native::WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                                    LPARAM lParam) {
    auto* loop = reinterpret_cast<EventLoop*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (loop != nullptr && loop->m_native != nullptr &&
        (message == WM_TIMER || message == kRetireMessage ||
         (message >= kFirstSocketMessage && message <= kLastSocketMessage))) {
        Dispatch(*loop, message, wParam, lParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

EventLoop::EventLoop(Clock* clock) : m_clock(clock) {
    if (m_clock == nullptr) {
        m_ownedClock = std::make_unique<SteadyClock>();
        m_clock = m_ownedClock.get();
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return;
    }
    HINSTANCE instance = OwnModule();
    HWND window = nullptr;
    if (RegisterWindowClass(instance, &Native::WindowProcedure)) {
        window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 instance, nullptr);
    }
    if (window == nullptr) {
        WSACleanup();
        return;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_native = std::make_unique<Native>();
    m_native->window = window;
}

EventLoop::~EventLoop() {
    // Sockets that outlive their loop keep their handle but must not call back into it.
    std::vector<AsyncSocket*> orphans;
    orphans.reserve(m_liveSockets.size());
    for (auto& [id, socket] : m_liveSockets) {
        orphans.push_back(socket);
    }
    m_liveSockets.clear();
    for (AsyncSocket* socket : orphans) {
        socket->LoopDestroyed();
    }
    if (m_native != nullptr) {
        // Messages still queued for the window go with it.
        SetWindowLongPtrA(m_native->window, GWLP_USERDATA, 0);
        DestroyWindow(m_native->window);
        WSACleanup();
    }
}

int EventLoop::EventFd() const {
    return -1;
}

int EventLoop::ProcessEvents(int timeoutMs) {
    if (m_native == nullptr) {
        return 0;
    }
    Native& native = *m_native;
    const int outerRan = native.ran;
    const bool outerInRound = native.inRound;
    const int deliveredBefore = win32::DeliveredNotifications();
    native.ran = 0;
    native.inRound = true;
    // Timers on a manual clock run here; on the steady clock, the window's timer messages
    // run them.
    if (m_clock->isManual()) {
        ++m_roundDepth;
        native.ran += RunDueTimers();
        --m_roundDepth;
    }
    const int wait = m_clock->isManual() ? WaitTimeout(timeoutMs) : timeoutMs;
    MSG message{};
    if (native.ran == 0 && wait != 0 && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        MsgWaitForMultipleObjectsEx(0, nullptr, wait < 0 ? INFINITE : static_cast<DWORD>(wait),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    // The window's due timers first (the system makes their messages only once the queue
    // holds nothing posted), then every message of the thread (the host's windows share the
    // queue with ours) up to the round's end marker.
    while (PeekMessageA(&message, native.window, WM_TIMER, WM_TIMER, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
    const WPARAM round = ++native.rounds;
    const bool marked = PostMessageA(native.window, kRoundEndMessage, round, 0) != 0;
    for (int i = 0; marked || i < kMaxBatch; ++i) {
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            break;
        }
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));  // the host's loop ends too
            break;
        }
        if (message.hwnd == native.window && message.message == kRoundEndMessage) {
            if (message.wParam == round) {
                break;
            }
            continue;  // the marker of a round that a quit message ended early
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    native.inRound = outerInRound;
    if (!outerInRound) {
        std::vector<Native::Posted> deferred;
        deferred.swap(native.deferred);
        for (const Native::Posted& posted : deferred) {
            PostSocketEvent(posted.id, posted.fd, posted.event);
        }
    }
    const int ran = native.ran + (win32::DeliveredNotifications() - deliveredBefore);
    native.ran = outerRan + ran;
    return ran;
}

void EventLoop::TimerChanged(TimerId id) {
    if (m_native == nullptr || m_clock->isManual()) {
        return;
    }
    auto found = m_timers.find(id);
    if (found != m_timers.end()) {
        ::SetTimer(m_native->window, id, found->second.periodMs, nullptr);
    } else {
        ::KillTimer(m_native->window, id);
    }
}

SocketId EventLoop::Attach(int fd, AsyncSocket* socket, uint32_t interest) {
    if (m_native == nullptr || fd < 0 || socket == nullptr) {
        return 0;
    }
    Native& native = *m_native;
    UINT slot;
    if (!native.freeSlots.empty()) {
        slot = native.freeSlots.back();
        native.freeSlots.pop_back();
    } else if (native.slots.size() <= kLastSocketMessage - kFirstSocketMessage) {
        slot = static_cast<UINT>(native.slots.size());
        native.slots.push_back(0);
    } else {
        WSASetLastError(WSAENOBUFS);
        return 0;
    }
    const SocketId id = m_nextSocketId++;
    if (WSAAsyncSelect(static_cast<SOCKET>(fd), native.window, kFirstSocketMessage + slot,
                       static_cast<long>(interest) & kAllSocketEvents) != 0) {
        native.freeSlots.push_back(slot);
        return 0;
    }
    native.slots[slot] = id;
    native.slotOf[id] = slot;
    m_liveSockets[id] = socket;
    return id;
}

void EventLoop::Modify(SocketId id, int fd, uint32_t interest) {
    if (m_native == nullptr || m_liveSockets.count(id) == 0) {
        return;
    }
    auto slot = m_native->slotOf.find(id);
    if (slot != m_native->slotOf.end()) {
        WSAAsyncSelect(static_cast<SOCKET>(fd), m_native->window,
                       kFirstSocketMessage + slot->second,
                       static_cast<long>(interest) & kAllSocketEvents);
    }
}

void EventLoop::Detach(SocketId id, int fd) {
    if (m_liveSockets.erase(id) == 0) {
        return;
    }
    if (m_native == nullptr) {
        return;
    }
    auto slot = m_native->slotOf.find(id);
    if (slot == m_native->slotOf.end()) {
        return;
    }
    if (fd >= 0) {
        WSAAsyncSelect(static_cast<SOCKET>(fd), m_native->window, 0, 0);
    }
    // Notifications already queued carry the slot's number: it stays dead until they are gone.
    m_deadSockets.insert(id);
    // Should the post fail, the slot is never reused: better lost than misdirected.
    PostMessageA(m_native->window, kRetireMessage, slot->second, 0);
}

void EventLoop::PostSocketEvent(SocketId id, int fd, uint32_t event) {
    if (m_native == nullptr) {
        return;
    }
    if (m_native->inRound) {
        m_native->deferred.push_back(Native::Posted{id, fd, event});
        return;
    }
    auto slot = m_native->slotOf.find(id);
    if (slot != m_native->slotOf.end() && m_liveSockets.count(id) != 0) {
        PostMessageA(m_native->window, kFirstSocketMessage + slot->second, static_cast<WPARAM>(fd),
                     WSAMAKESELECTREPLY(event, 0));
    }
}

void EventLoop::Native::Dispatch(EventLoop& loop, UINT message, WPARAM wParam, LPARAM lParam) {
    Native& native = *loop.m_native;
    if (message == kRetireMessage) {
        const UINT slot = static_cast<UINT>(wParam);
        if (slot < native.slots.size() && native.slots[slot] != 0) {
            loop.m_deadSockets.erase(native.slots[slot]);
            native.slotOf.erase(native.slots[slot]);
            native.slots[slot] = 0;
            native.freeSlots.push_back(slot);
        }
        return;
    }
    ++loop.m_roundDepth;
    if (message == WM_TIMER) {
        // An identifier that is no longer set does nothing.
        if (loop.RunTimer(static_cast<TimerId>(wParam), loop.m_clock->NowMs())) {
            ++native.ran;
        }
    } else {
        const UINT slot = message - kFirstSocketMessage;
        const SocketId id = slot < native.slots.size() ? native.slots[slot] : 0;
        AsyncSocket* socket = id != 0 ? loop.LookupLive(id) : nullptr;
        // An accepted socket posts under its listener's number until it gets its own.
        if (socket != nullptr && static_cast<WPARAM>(socket->Descriptor()) == wParam) {
            socket->HandleEvents(static_cast<uint32_t>(WSAGETSELECTEVENT(lParam)) |
                                 (static_cast<uint32_t>(WSAGETSELECTERROR(lParam)) << 16));
        }
    }
    --loop.m_roundDepth;
}

}  // namespace veltonet
