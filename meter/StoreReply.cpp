#include "meter/StoreReply.h"

#include <cstddef>
#include <cstring>

namespace q31 {

void StoreReply(void* record, int size, short length, const char* buffer) {
    const int n = length < 0 ? 0 : (length > size ? size : length);
    if (n > 0) std::memcpy(record, buffer, static_cast<std::size_t>(n));
    std::memset(static_cast<char*>(record) + n, 0, static_cast<std::size_t>(size - n));
}

}  // namespace q31
