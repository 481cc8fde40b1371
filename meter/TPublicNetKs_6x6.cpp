#include "meter/TPublicNetKs_6x6.h"

#include <cstring>

namespace q31 {

TPublicNetKs_6x6::TPublicNetKs_6x6(TComponent* owner, MessageLoop& loop) : TPublicNetKs(owner, loop) {}

TPublicNetKs_6x6::~TPublicNetKs_6x6() = default;

void TPublicNetKs_6x6::StoreReply(void* record, int size, short Length, const char* Buffer) {
    const int n = Length < 0 ? 0 : (Length > size ? size : Length);
    if (n > 0) std::memcpy(record, Buffer, static_cast<std::size_t>(n));
    std::memset(static_cast<char*>(record) + n, 0, static_cast<std::size_t>(size - n));
}

}  // namespace q31
