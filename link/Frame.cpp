#include "link/Frame.h"

#include <cstring>

namespace q31::frame {

std::uint16_t Checksum(const std::uint8_t* data, std::size_t count) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint16_t>(sum + data[i]);
    return sum;
}

bool ChecksumMatches(const std::uint8_t* data, std::size_t count) {
    return Checksum(data, count) == GetLe16(data + count);
}

std::size_t BuildRequest(std::uint8_t* out, std::size_t capacity, std::uint8_t first, std::uint8_t command,
                         const std::uint8_t* data, std::size_t dataBytes, std::uint8_t master) {
    const std::size_t length = RequestLength(dataBytes);
    if (dataBytes + 1 > 255 || length > 255 || length > capacity) return 0;
    out[0] = first;
    out[1] = static_cast<std::uint8_t>(dataBytes + 1);
    out[2] = command;
    if (dataBytes) std::memcpy(out + 3, data, dataBytes);
    out[3 + dataBytes] = master;
    PutLe16(out + 4 + dataBytes, Checksum(out, 4 + dataBytes));
    return length;
}

}  // namespace q31::frame
