#pragma once

#include "veltonet/Export.h"
#include "veltonet/companion/Observable.h"

namespace veltonet {

class TCPReceiver;

// Counts the bytes of one receiver over its own period and publishes 60006 when a period
// ends; the previous counts then hold the period's totals. Owned by its receiver; deleting it
// detaches it from the receiver and from the manager's timers.
class VELTONET_EXPORT FeedMeasure : public Observable {
  public:
    FeedMeasure(TCPReceiver* owner, unsigned int milliseconds);
    ~FeedMeasure() override;

    // A new non-zero period restarts the counts and the timer; 0 stops the timer and lets the
    // counts accumulate.
    void SetMilliseconds(unsigned int milliseconds);
    // One tick of the feed's timer: closes the period and notifies.
    void Sample();

    void AddSent(unsigned int n) { m_sizeSent += n; }
    void AddReceived(unsigned int n) { m_sizeReceived += n; }
    void ResetCounters() { m_sizeSent = m_sizeReceived = m_prevSizeSent = m_prevSizeReceived = 0; }

    TCPReceiver* GetOwner() const { return m_owner; }
    unsigned int GetSizeSent() const { return m_sizeSent; }
    unsigned int GetSizeReceived() const { return m_sizeReceived; }
    unsigned int GetPrevSizeSent() const { return m_prevSizeSent; }
    unsigned int GetPrevSizeReceived() const { return m_prevSizeReceived; }
    unsigned int GetMilliseconds() const { return m_milliseconds; }

  private:
    TCPReceiver* m_owner;
    unsigned int m_sizeSent = 0;
    unsigned int m_sizeReceived = 0;
    unsigned int m_prevSizeSent = 0;
    unsigned int m_prevSizeReceived = 0;
    unsigned int m_milliseconds;
};

}  // namespace veltonet
