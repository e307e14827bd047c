#pragma once

#include "veltonet/Export.h"
#include "veltonet/variants/MulticastReceiver.h"

namespace veltonet {

// A datagram receiver that also records every distinct sender in its address list, once, in
// order of first appearance, after any address given at construction (which is joined as a
// multicast group at socket creation, exactly as MulticastReceiver does).
class VELTONET_EXPORT UDPReceiver : public MulticastReceiver {
  public:
    UDPReceiver(const char* name, const char* ip, unsigned short port,
                unsigned int receiveBufferSize = 0, unsigned int sendBufferSize = 0);
    ~UDPReceiver() override;

    // ---- overrides, in slot order ----
    void ClearIps() override;
    const char* GetDisplayType() const override { return "UDP"; }
    int Receive(void* buffer, int length, int flags) override;

  protected:
    void InitIterators();

  private:
    // The bounds of the sender scan. The address list changes behind this class's back
    // (AddIp, RemoveIp, SetIp, rotation), so they are taken afresh before every scan.
    IpList::iterator m_ipsBegin;
    IpList::iterator m_ipsEnd;
};

}  // namespace veltonet
