#include "meter/StoreReply.h"

#include <cstddef>
#include <cstring>

namespace q31 {

void StoreReply(void* record, int size, short Length, const char* Buffer) {
    const int n = Length < 0 ? 0 : (Length > size ? size : Length);
    if (n > 0) std::memcpy(record, Buffer, static_cast<std::size_t>(n));
    std::memset(static_cast<char*>(record) + n, 0, static_cast<std::size_t>(size - n));
}

}  // namespace q31
