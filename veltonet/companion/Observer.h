#pragma once

#include <vector>

#include "veltonet/Export.h"

namespace veltonet {

class Message;
class Observable;

// A party that receives what observables publish. It remembers where it is registered, so
// that destroying it detaches it from every observable first.
class VELTONET_EXPORT Observer {
  public:
    Observer() = default;
    virtual ~Observer();
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    // Called synchronously by Notify. The message lives only for the call.
    virtual void OnMessage(const Message* message, Observable* source) = 0;

    void DetachFromAll();

  private:
    friend class Observable;
    std::vector<Observable*> m_observables;
};

}  // namespace veltonet
