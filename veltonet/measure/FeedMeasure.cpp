#include "veltonet/measure/FeedMeasure.h"

#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

// The manager runs the feed's timer; without a manager the feed only counts.
FeedMeasure::FeedMeasure(TCPReceiver* owner, unsigned int milliseconds)
    : m_owner(owner), m_milliseconds(milliseconds) {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->AddFeed(this);
    }
}

// A plain delete is how a host removes a feed, so the feed leaves its owner's set and the
// manager's timers itself. When the owner clears its feeds, it has already let go of this one
// and RemoveFeedMeasure finds nothing.
FeedMeasure::~FeedMeasure() {
    if (m_owner != nullptr) {
        m_owner->RemoveFeedMeasure(this);
    }
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->RemoveFeed(this);
    }
}

void FeedMeasure::SetMilliseconds(unsigned int milliseconds) {
    if (milliseconds == m_milliseconds) {
        return;
    }
    m_milliseconds = milliseconds;
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->RestartFeedTimer(this);
    } else if (milliseconds != 0) {
        ResetCounters();
    }
}

void FeedMeasure::Sample() {
    m_prevSizeSent = m_sizeSent;
    m_prevSizeReceived = m_sizeReceived;
    m_sizeSent = 0;
    m_sizeReceived = 0;
    // Observers may delete this feed while it publishes; nothing touches it afterwards.
    HeaderMessage ended(kMsgMeasurePeriodEnded);
    Notify(&ended, nullptr, nullptr);
}

}  // namespace veltonet
