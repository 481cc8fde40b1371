#include "sim/SimFrame.h"

namespace q31::sim {

std::uint16_t Checksum(std::span<const std::uint8_t> bytes) {
    std::uint16_t sum = 0;
    for (std::uint8_t b : bytes) sum = static_cast<std::uint16_t>(sum + b);
    return sum;
}

bool IsAddressedTo(std::uint8_t first, std::uint8_t command, std::uint8_t address) {
    return first == address || (first == kF149Address && command == kF149WriteCommand);
}

bool IsValidRequest(std::span<const std::uint8_t> frame, std::uint8_t address) {
    if (frame.size() < 6) return false;
    const std::size_t length = frame[1];
    if (length == 0 || frame.size() != length + 5) return false;
    if (!IsAddressedTo(frame[0], frame[2], address)) return false;
    const std::size_t sumAt = length + 3;
    return Checksum(frame.first(sumAt)) == GetU16(&frame[sumAt]);
}

std::vector<std::uint8_t> BuildRequest(std::uint8_t slave, std::uint8_t command, std::span<const std::uint8_t> data,
                                       std::uint8_t master) {
    std::vector<std::uint8_t> out;
    out.reserve(data.size() + 6);
    out.push_back(slave);
    out.push_back(static_cast<std::uint8_t>(data.size() + 1));
    out.push_back(command);
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(master);
    const std::uint16_t sum = Checksum(out);
    out.push_back(static_cast<std::uint8_t>(sum));
    out.push_back(static_cast<std::uint8_t>(sum >> 8));
    return out;
}

std::vector<std::uint8_t> BuildReply(std::uint8_t master, std::span<const std::uint8_t> payload,
                                     std::uint8_t furtherByte) {
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() + 5);
    out.push_back(master);
    out.push_back(static_cast<std::uint8_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(furtherByte);
    const std::uint16_t sum = Checksum(out);
    out.push_back(static_cast<std::uint8_t>(sum));
    out.push_back(static_cast<std::uint8_t>(sum >> 8));
    return out;
}

}  // namespace q31::sim
