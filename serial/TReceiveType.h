#pragma once

#include <cstdint>

namespace q31 {

// How the channel hands received bytes on: as typed elements or as packets.
enum TReceiveType : std::uint8_t { rtChar, rtShort, rtLong, rtFloat, rtPacket, rtAll };

}  // namespace q31
