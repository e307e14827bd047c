#include "veltonet/tcp/InputBuffer.h"

#include <cstring>
#include <new>

namespace veltonet {

bool InputBuffer::Reserve() {
    if (data == nullptr) {
        data = new (std::nothrow) char[size];
    }
    return data != nullptr;
}

void InputBuffer::Consume(uint32_t n) {
    if (n == 0) {
        return;
    }
    if (used > n) {
        used -= n;
        std::memmove(data, data + n, used);
    } else {
        used = 0;
    }
}

}  // namespace veltonet
