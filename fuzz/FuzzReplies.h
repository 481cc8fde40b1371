// Shared by the fuzz targets that play a meter's accepted replies: the rest
// of the input is a sequence of [length][bytes] replies, each handed to the
// reply handler installed at that moment, in an allocation of exactly its
// length, so an address sanitizer sees any read past the reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/TPublicNetKs.h"

namespace q31::fuzz {

// Feeds replies from data[at..size) while `handler()` returns a handler to
// call (an empty one ends the run); at most 2000, as every command ends
// within a few hundred.
template <typename Handler>
void FeedReplies(const std::uint8_t* data, std::size_t size, std::size_t at, Handler handler) {
    for (int replies = 0; replies < 2000 && at < size; ++replies) {
        const TPublicNetKs::ReceiveEvent routine = handler();
        if (!routine) break;
        const std::size_t length = data[at++] % 253;  // what the link can accept
        const std::size_t take = size - at < length ? size - at : length;
        auto reply = std::make_unique<char[]>(length ? length : 1);
        std::memset(reply.get(), 0, length ? length : 1);
        std::memcpy(reply.get(), data + at, take);
        at += take;
        routine(static_cast<short>(length), reply.get());
    }
}

}  // namespace q31::fuzz
