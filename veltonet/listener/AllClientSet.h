#pragma once

#include "veltonet/Export.h"
#include "veltonet/listener/ClientSet.h"

namespace veltonet {

// The active clients of a listener, and what the listener applies to all of them. Unlike a
// subscription set it deletes clients: Clear deletes every member, and
// ForceSendBufferToClients deletes those marked for destruction.
class VELTONET_EXPORT AllClientSet : public ClientSet {
  public:
    // Deletes every member. Each leaves the set before its destructor runs, so an observer
    // of its disconnected notification never meets a half-destroyed member here.
    void Clear() override;
    void AddObserver(Observer* observer) override;
    void RemoveObserver(Observer* observer) override;
    // Flushes every member's accumulation buffer, then removes and deletes each member that
    // is marked for destruction (before, or by a flush that failed). Called by the listener
    // under its sending guard.
    void ForceSendBufferToClients() override;
    void ResetMeasure() override;
    void AddFeedMeasure(unsigned int milliseconds) override;
    void ClearFeedMeasures() override;
};

}  // namespace veltonet
