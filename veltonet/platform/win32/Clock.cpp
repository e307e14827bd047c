#include "veltonet/platform/Clock.h"

#include <windows.h>

namespace veltonet {

uint64_t SteadyClock::NowMs() const {
    return GetTickCount64();
}

}  // namespace veltonet
