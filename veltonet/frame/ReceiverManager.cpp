#include "veltonet/frame/ReceiverManager.h"

#include <string>
#include <vector>

#include "veltonet/companion/Message.h"
#include "veltonet/measure/FeedMeasure.h"
#include "veltonet/tcp/ReceiverSocket.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

ReceiverManager* ReceiverManager::s_instance = nullptr;
bool ReceiverManager::s_destroyPending = false;

ReceiverManager* ReceiverManager::Create(Clock* clock) {
    // Initialising again before a deferred termination ran keeps the instance as it is.
    s_destroyPending = false;
    if (s_instance == nullptr) {
        try {
            s_instance = new ReceiverManager(clock);
        } catch (...) {
            return nullptr;  // out of memory: no manager, and nothing crosses the interface
        }
    }
    return s_instance;
}

void ReceiverManager::Destroy() {
    ReceiverManager* manager = s_instance;
    if (manager != nullptr && manager->m_loop.isDispatching()) {
        s_destroyPending = true;
        manager->m_loop.Stop();
        return;
    }
    s_destroyPending = false;
    if (manager != nullptr) {
        // Receivers still reach the manager from their destructors, so the pointer stays set
        // until the manager's own destruction is over.
        delete manager;
        s_instance = nullptr;
    }
}

void ReceiverManager::FinishPendingDestroy() {
    if (s_destroyPending && s_instance != nullptr && !s_instance->m_loop.isDispatching()) {
        Destroy();
    }
}

ReceiverManager::ReceiverManager(Clock* clock) : m_loop(clock) {
    m_loop.SetTimerHandler([this](TimerId id) { OnTimer(id); });
}

ReceiverManager::~ReceiverManager() {
    FeedSet feeds;
    feeds.swap(m_feeds);
    for (FeedMeasure* feed : feeds) {
        delete feed;
    }
    DestroyAllReceivers();
    std::set<ReceiverSocket*> condemned;
    condemned.swap(m_condemnedSockets);
    for (ReceiverSocket* socket : condemned) {
        delete socket;
    }
}

// ---- registry ----

void ReceiverManager::AddReceiver(TCPReceiver* receiver) {
    if (!m_receivers.insert(receiver).second) {
        return;
    }
    try {
        m_names.emplace(receiver->GetName(), receiver);  // after equal names: multimap order
    } catch (...) {
        m_receivers.erase(receiver);  // the set and the index never disagree
        throw;
    }
}

void ReceiverManager::RemoveReceiver(TCPReceiver* receiver) {
    if (m_receivers.erase(receiver) == 0) {
        return;
    }
    auto range = m_names.equal_range(receiver->GetName());
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == receiver) {
            m_names.erase(it);
            return;
        }
    }
}

TCPReceiver* ReceiverManager::FindReceiver(const std::string& name) const {
    // lower_bound: the first registered under the name (find may answer any of them).
    auto it = m_names.lower_bound(name);
    return it == m_names.end() || it->first != name ? nullptr : it->second;
}

void ReceiverManager::DestroyAllReceivers() {
    // One at a time from the registry itself: a destructor's notification may delete or make
    // receivers meanwhile. One whose own processing is further up the stack (the host called
    // this from its notification) is deleted when that processing ends.
    while (!m_names.empty()) {
        TCPReceiver* receiver = m_names.begin()->second;
        RemoveReceiver(receiver);
        if (receiver->isBusy()) {
            receiver->DelayedDestroy();
        } else {
            delete receiver;
        }
    }
}

void ReceiverManager::DisconnectAll() {
    Logout(0);
    // A receiver's notification may delete other receivers: walk a copy and check each one
    // is still registered before touching it.
    std::vector<TCPReceiver*> receivers(m_receivers.begin(), m_receivers.end());
    for (TCPReceiver* receiver : receivers) {
        if (m_receivers.count(receiver) != 0) {
            receiver->DisconnectAndNotify(false);
        }
    }
}

// ---- timers ----

void ReceiverManager::StartReconnectTimer(TCPReceiver* receiver) {
    if (!HasWindow()) {
        return;
    }
    unsigned int seconds = receiver->GetReconnectSeconds();
    if (receiver->GetCurrentReconnectSeconds() == seconds) {
        return;
    }
    auto id = reinterpret_cast<TimerId>(receiver);
    if (seconds == 0) {
        m_loop.KillTimer(id);
    } else {
        m_loop.SetTimer(id, TimerPeriodFromSeconds(seconds));
    }
    receiver->SetCurrentReconnectSeconds(seconds);
}

void ReceiverManager::StopReconnectTimer(TCPReceiver* receiver) {
    if (HasWindow() && receiver->GetCurrentReconnectSeconds() != 0) {
        m_loop.KillTimer(reinterpret_cast<TimerId>(receiver));
        receiver->SetCurrentReconnectSeconds(0);
    }
}

void ReceiverManager::AddFeed(FeedMeasure* feed) {
    m_feeds.insert(feed);
    if (feed->GetMilliseconds() != 0 && HasWindow()) {
        m_loop.SetTimer(reinterpret_cast<TimerId>(feed), feed->GetMilliseconds());
    }
}

void ReceiverManager::RemoveFeed(FeedMeasure* feed) {
    m_loop.KillTimer(reinterpret_cast<TimerId>(feed));
    m_feeds.erase(feed);
}

void ReceiverManager::RestartFeedTimer(FeedMeasure* feed) {
    auto id = reinterpret_cast<TimerId>(feed);
    m_loop.KillTimer(id);
    if (feed->GetMilliseconds() != 0) {
        feed->ResetCounters();
        if (HasWindow()) {
            m_loop.SetTimer(id, feed->GetMilliseconds());
        }
    }
}

// ---- measurement ----

void ReceiverManager::SetMeasureTimeSpan(unsigned int seconds) {
    if (seconds == m_measureTimeSpan) {
        return;
    }
    m_measureTimeSpan = seconds;
    if (!HasWindow()) {
        return;
    }
    if (seconds == 0) {
        m_loop.KillTimer(kLibraryWideTimer);
    } else {
        m_loop.SetTimer(kLibraryWideTimer, TimerPeriodFromSeconds(seconds));
    }
    ResetAllMeasures();
}

void ReceiverManager::ResetAllMeasures() {
    for (TCPReceiver* receiver : m_receivers) {
        receiver->ResetMeasure();
    }
}

// ---- logout ----

bool ReceiverManager::Logout(unsigned int timeoutMs) {
    if (m_exiting) {
        return m_pendingLogoutCount == 0;
    }
    m_pendingLogoutCount = 0;
    for (TCPReceiver* receiver : m_receivers) {
        StopReconnectTimer(receiver);
        if (!receiver->Logout()) {
            ++m_pendingLogoutCount;
        }
        receiver->LogMessage("Logout called", std::to_string(m_pendingLogoutCount).c_str(),
                             nullptr);
    }
    m_exiting = true;
    m_loop.KillTimer(kLibraryWideTimer);
    if (m_pendingLogoutCount == 0) {
        return true;
    }
    m_loop.SetTimer(kLibraryWideTimer, timeoutMs);
    return false;
}

void ReceiverManager::LogoutReceived(TCPReceiver* receiver) {
    receiver->LogMessage("LogoutReceived", std::to_string(m_pendingLogoutCount).c_str(), nullptr);
    if (m_pendingLogoutCount > 0) {
        --m_pendingLogoutCount;
        if (m_pendingLogoutCount == 0) {
            m_loop.KillTimer(kLibraryWideTimer);
            HeaderMessage over(kMsgLogoutOver);
            Notify(&over, nullptr, nullptr);
        }
    }
}

void ReceiverManager::OnTimer(TimerId identifier) {
    if (identifier == kLibraryWideTimer) {
        if (m_exiting) {
            m_loop.KillTimer(kLibraryWideTimer);
            HeaderMessage over(kMsgLogoutOver);
            Notify(&over, nullptr, nullptr);
        } else {
            ResetAllMeasures();
            HeaderMessage ended(kMsgMeasurePeriodEnded);
            Notify(&ended, nullptr, nullptr);
        }
        return;
    }
    auto* feed = reinterpret_cast<FeedMeasure*>(identifier);
    if (m_feeds.count(feed) != 0) {
        feed->Sample();
        return;
    }
    auto* receiver = reinterpret_cast<TCPReceiver*>(identifier);
    if (m_receivers.count(receiver) != 0) {
        receiver->DoReconnect();
    }
}

}  // namespace veltonet
