#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "veltonet/companion/Observable.h"
#include "veltonet/platform/EventLoop.h"

namespace veltonet {

class Clock;
class FeedMeasure;
class ReceiverSocket;
class TCPReceiver;

// The library's hub: the registry of receivers, the timers (reconnects, feed periods, the
// library-wide measurement period and the logout time-out) on the one event loop, and the
// measure observable that publishes 60006 and 60008. Exactly one exists between
// initialisation and termination; everything runs on the thread that created it.
//
// Timer identifiers: a receiver's address (reconnect), a feed's address (feed period), all
// bits set (library-wide). Each identifier is looked up in the sets before use, so a tick for
// an object deleted meanwhile does nothing.
class ReceiverManager : public Observable {
  public:
    using ReceiverSet = std::set<TCPReceiver*>;
    using NameIndex = std::multimap<std::string, TCPReceiver*>;
    using FeedSet = std::set<FeedMeasure*>;

    // The single instance; null outside initialisation and termination.
    static ReceiverManager* Instance() { return s_instance; }
    // clock: null for real time; tests pass a manual clock (not owned). Null when memory
    // runs out.
    static ReceiverManager* Create(Clock* clock = nullptr);
    // Called from a handler the loop is running, the destruction waits until the round is
    // over (FinishPendingDestroy), because that handler's receiver is still on the stack.
    static void Destroy();
    static void FinishPendingDestroy();

    EventLoop& GetLoop() { return m_loop; }
    bool HasWindow() const { return m_loop.isValid(); }

    // Registry.
    void AddReceiver(TCPReceiver* receiver);
    void RemoveReceiver(TCPReceiver* receiver);
    TCPReceiver* FindReceiver(const std::string& name) const;
    void DestroyAllReceivers();
    void DisconnectAll();
    const ReceiverSet& GetReceivers() const { return m_receivers; }
    const NameIndex& GetNameIndex() const { return m_names; }
    bool isRegistered(TCPReceiver* receiver) const { return m_receivers.count(receiver) != 0; }

    // Condemned sockets: only ever erased from.
    void EraseCondemnedSocket(ReceiverSocket* socket) { m_condemnedSockets.erase(socket); }
    size_t GetCondemnedSocketCount() const { return m_condemnedSockets.size(); }

    // Receiver timers.
    void StartReconnectTimer(TCPReceiver* receiver);
    void StopReconnectTimer(TCPReceiver* receiver);

    // Feed timers.
    void AddFeed(FeedMeasure* feed);
    void RemoveFeed(FeedMeasure* feed);
    void RestartFeedTimer(FeedMeasure* feed);
    const FeedSet& GetFeeds() const { return m_feeds; }

    // Measurement.
    void SetMeasureTimeSpan(unsigned int seconds);
    unsigned int GetMeasureTimeSpan() const { return m_measureTimeSpan; }
    void ResetAllMeasures();

    // Logout.
    bool Logout(unsigned int timeoutMs);
    void LogoutReceived(TCPReceiver* receiver);
    bool isExiting() const { return m_exiting; }
    unsigned int GetPendingLogoutCount() const { return m_pendingLogoutCount; }

    void OnTimer(TimerId identifier);

  private:
    explicit ReceiverManager(Clock* clock);
    ~ReceiverManager() override;

    ReceiverSet m_receivers;
    NameIndex m_names;
    std::set<ReceiverSocket*> m_condemnedSockets;
    FeedSet m_feeds;
    unsigned int m_measureTimeSpan = 0;
    bool m_exiting = false;
    unsigned int m_pendingLogoutCount = 0;
    EventLoop m_loop;

    static ReceiverManager* s_instance;
    static bool s_destroyPending;
};

}  // namespace veltonet
