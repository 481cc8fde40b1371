#include "sim/FrameAssembler.h"

#include <cstring>

namespace q31::sim {

void FrameAssembler::SetAddresses(std::span<const std::uint8_t> addresses) {
    addresses_.reset();
    for (std::uint8_t a : addresses) addresses_.set(a);
    if (!addresses.empty()) first_ = addresses.front();
}

bool FrameAssembler::Owner(std::uint8_t first, std::uint8_t command, std::uint8_t& owner) const {
    if (addresses_.test(first)) {
        owner = first;
        return true;
    }
    owner = first_;
    return IsAddressedTo(first, command, first_);
}

std::vector<std::vector<std::uint8_t>> FrameAssembler::Feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::vector<std::uint8_t>> out;
    for (std::uint8_t b : bytes) {
        // Scan leaves fewer bytes than the pending packet needs, and no packet
        // is longer than the buffer, so there is always room; the check only
        // guards the invariant.
        if (length_ == buffer_.size()) DropFront(1);
        buffer_[length_++] = b;
        Scan(out);
    }
    return out;
}

std::vector<std::vector<std::uint8_t>> FrameAssembler::Expire() {
    std::vector<std::vector<std::uint8_t>> out;
    while (length_ > 0) {
        DropFront(1);
        Scan(out);
    }
    return out;
}

void FrameAssembler::Scan(std::vector<std::vector<std::uint8_t>>& out) {
    for (;;) {
        // Skip bytes that cannot start a packet for one of the meters. 0xCA
        // is only a start when the command turns out to be the F149 flash write.
        std::size_t skip = 0;
        while (skip < length_ && !addresses_.test(buffer_[skip]) && buffer_[skip] != kF149Address) ++skip;
        DropFront(skip);
        if (length_ < 2) return;

        const std::size_t packetLength = static_cast<std::size_t>(buffer_[1]) + 5;
        if (buffer_[1] == 0) {  // L counts the command byte: never 0
            DropFront(1);
            continue;
        }
        std::uint8_t owner = first_;
        if (length_ >= 3 && !Owner(buffer_[0], buffer_[2], owner)) {
            DropFront(1);
            continue;
        }
        if (length_ < packetLength) return;

        const auto candidate = std::span<const std::uint8_t>(buffer_.data(), packetLength);
        if (IsValidRequest(candidate, owner)) {
            out.emplace_back(candidate.begin(), candidate.end());
            std::memmove(buffer_.data(), buffer_.data() + packetLength, length_ - packetLength);
            length_ -= packetLength;
        } else {
            ++badChecksums_;
            DropFront(1);
        }
    }
}

void FrameAssembler::DropFront(std::size_t n) {
    if (n == 0) return;
    if (n > length_) n = length_;
    std::memmove(buffer_.data(), buffer_.data() + n, length_ - n);
    length_ -= n;
    dropped_ += n;
}

}  // namespace q31::sim
