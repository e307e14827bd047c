// Byte counting and feed measures of TCPReceiver. Counting runs on every send and every
// read: it touches one counter per feed between the cached iterators and never allocates.

#include "veltonet/measure/FeedMeasure.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

void TCPReceiver::ResetMeasure() {
    m_prevSizeSent = m_sizeSent;
    m_prevSizeReceived = m_sizeReceived;
    m_sizeSent = 0;
    m_sizeReceived = 0;
}

// The feed is owned by this receiver; its timer starts in its constructor when the period is
// not 0.
FeedMeasure* TCPReceiver::AddFeedMeasure(unsigned int milliseconds) {
    auto* feed = new FeedMeasure(this, milliseconds);
    m_feedMeasures.insert(feed);
    UpdateFeedIterators();
    return feed;
}

// Detaches without deleting; null for a feed that is not this receiver's.
FeedMeasure* TCPReceiver::RemoveFeedMeasure(FeedMeasure* feed) {
    auto it = m_feedMeasures.find(feed);
    if (it == m_feedMeasures.end()) {
        return nullptr;
    }
    m_feedMeasures.erase(it);
    UpdateFeedIterators();
    return feed;
}

// The set is emptied before the deletions, so each feed's destructor finds itself already
// gone and the set is never changed while it is walked.
void TCPReceiver::ClearFeedMeasures() {
    FeedMeasureSet feeds;
    feeds.swap(m_feedMeasures);
    UpdateFeedIterators();
    for (FeedMeasure* feed : feeds) {
        delete feed;
    }
    UpdateFeedIterators();
}

void TCPReceiver::UpdateFeedIterators() {
    m_feedsBegin = m_feedMeasures.begin();
    m_feedsEnd = m_feedMeasures.end();
}

void TCPReceiver::IncrementSizeReceived(unsigned int n) {
    m_sizeReceived += n;
    for (auto it = m_feedsBegin; it != m_feedsEnd; ++it) {
        (*it)->AddReceived(n);
    }
}

}  // namespace veltonet
