// A Win32 host as a desk's program is written: a window of its own and an ordinary
// GetMessage/DispatchMessage loop, no call of the library's loop functions. The library's
// hidden window shares the thread's message queue, so its connects, data and the reconnect
// timer all arrive through that loop. The peer is the host's own listening socket, on
// window messages too.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observer.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace {

constexpr UINT kListeningMessage = WM_APP + 1;
constexpr UINT_PTR kWatchdogTimer = 1;
constexpr UINT kWatchdogMs = 15000;  // the whole run takes about one reconnect period
constexpr uint32_t kReconnectSeconds = 1;
constexpr uint16_t kQuoteType = 1000;

const char kHostWindowClass[] = "message loop host";

struct Host : veltonet::Observer {
    HWND window = nullptr;
    SOCKET listening = INVALID_SOCKET;
    SOCKET accepted = INVALID_SOCKET;
    uint32_t served = 0;
    bool watchdogFired = false;
    std::vector<std::string> journal;
    ULONGLONG disconnectedAt = 0;
    ULONGLONG reconnectedAfterMs = 0;

    // The peer: each connection it accepts gets one quote carrying its number.
    void OnAccept() {
        const SOCKET s = accept(listening, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            return;
        }
        if (accepted != INVALID_SOCKET) {
            closesocket(accepted);
        }
        accepted = s;
        const uint32_t number = ++served;
        const unsigned char quote[8] = {8,
                                        0,
                                        kQuoteType & 0xFF,
                                        kQuoteType >> 8,
                                        static_cast<unsigned char>(number),
                                        static_cast<unsigned char>(number >> 8),
                                        static_cast<unsigned char>(number >> 16),
                                        static_cast<unsigned char>(number >> 24)};
        send(accepted, reinterpret_cast<const char*>(quote), sizeof(quote), 0);
    }

    void OnMessage(const veltonet::Message* message, veltonet::Observable*) override {
        switch (message->GetType()) {
            case veltonet::kMsgConnecting:
                journal.push_back("connecting");
                break;
            case veltonet::kMsgConnected:
                journal.push_back("connected");
                if (disconnectedAt != 0) {
                    reconnectedAfterMs = GetTickCount64() - disconnectedAt;
                }
                break;
            case veltonet::kMsgDisconnected:
                journal.push_back("disconnected");
                disconnectedAt = GetTickCount64();
                break;
            case kQuoteType: {
                const uint32_t number = message->ReadU32(4);
                journal.push_back("quote " + std::to_string(number));
                if (number == 1) {
                    // The peer goes away; the receiver's reconnect timer brings it back.
                    closesocket(accepted);
                    accepted = INVALID_SOCKET;
                } else {
                    PostQuitMessage(0);
                }
                break;
            }
            default:
                journal.push_back("type " + std::to_string(message->GetType()));
                break;
        }
    }

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
        auto* host = reinterpret_cast<Host*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (host != nullptr && message == kListeningMessage &&
            WSAGETSELECTEVENT(lParam) == FD_ACCEPT) {
            host->OnAccept();
            return 0;
        }
        if (host != nullptr && message == WM_TIMER && wParam == kWatchdogTimer) {
            host->watchdogFired = true;
            PostQuitMessage(1);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
};

TEST(MessageLoopHost, GetsConnectDataAndATimedReconnectThroughItsOwnMessageLoop) {
    Host host;
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &Host::WindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kHostWindowClass;
    ASSERT_NE(RegisterClassExA(&windowClass), 0);
    host.window = CreateWindowExA(0, kHostWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(host.window, nullptr);
    SetWindowLongPtrA(host.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&host));
    ASSERT_NE(SetTimer(host.window, kWatchdogTimer, kWatchdogMs, nullptr), 0u);

    host.listening = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(host.listening, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ASSERT_EQ(bind(host.listening, reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
              0);
    ASSERT_EQ(getsockname(host.listening, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(listen(host.listening, 4), 0);
    ASSERT_EQ(WSAAsyncSelect(host.listening, host.window, kListeningMessage, FD_ACCEPT), 0);

    R_ReceiverInitialize();
    void* h = R_CreateTCPReceiver("desk", "127.0.0.1", ntohs(address.sin_port), kReconnectSeconds,
                                  0, 0, 0, 0, false);
    ASSERT_NE(h, nullptr);
    auto* receiver = static_cast<veltonet::TCPReceiver*>(h);
    ASSERT_TRUE(receiver->Add(&host));
    ASSERT_TRUE(R_ConnectReceiver(h));

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    EXPECT_FALSE(host.watchdogFired) << "no second quote within " << kWatchdogMs << " ms";
    EXPECT_EQ(host.journal,
              (std::vector<std::string>{"connecting", "connected", "quote 1", "disconnected",
                                        "connecting", "connected", "quote 2"}));
    // The reconnect waited for the receiver's timer (window timers may fire a tick early).
    EXPECT_GE(host.reconnectedAfterMs, kReconnectSeconds * 1000 - 100);
    EXPECT_EQ(host.served, 2u);

    receiver->Remove(&host);
    R_ReceiverTerminate();
    KillTimer(host.window, kWatchdogTimer);
    if (host.accepted != INVALID_SOCKET) {
        closesocket(host.accepted);
    }
    closesocket(host.listening);
    DestroyWindow(host.window);
}

}  // namespace
