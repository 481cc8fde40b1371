// Cuts request packets for the meters on a line out of the bytes it delivers.
//
// The line may carry anything before a packet: the master's lone 0x00
// preamble, the tail of an earlier packet, traffic for absent meters, noise.
// The assembler keeps only what could start a packet for one of its meters
// (their addresses, or 0xCA before the F149 flash write), waits for the L + 5 bytes
// the length byte announces, and hands the packet on when its checksum holds.
// Anything else is dropped one byte at a time, so a false start never hides
// a real packet behind it. Its buffer is fixed: a length byte can announce at
// most 260 bytes, which always fit.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/SimFrame.h"

namespace q31::sim {

class FrameAssembler {
public:
    explicit FrameAssembler(std::uint8_t address = kDefaultMeterAddress) { SetAddress(address); }

    // One meter on the line.
    void SetAddress(std::uint8_t address) {
        addresses_.reset();
        addresses_.set(address);
        first_ = address;
    }
    // Several meters on one line; the first takes the F149 flash write,
    // which names no meter.
    void SetAddresses(std::span<const std::uint8_t> addresses);
    std::uint8_t Address() const { return first_; }

    // Takes the next bytes from the line; returns the packets they complete,
    // in order (each a valid request for this meter).
    std::vector<std::vector<std::uint8_t>> Feed(std::span<const std::uint8_t> bytes);

    // The line went quiet with an unfinished packet pending: it will never be
    // completed (the master is waiting for an answer). Drops its first byte and
    // looks again through the bytes behind it; returns any packets found
    // there. Afterwards nothing is pending.
    std::vector<std::vector<std::uint8_t>> Expire();

    // Bytes held for a packet not yet complete.
    std::size_t Pending() const { return length_; }
    // Bytes dropped as not belonging to any packet for this meter.
    std::uint64_t DroppedBytes() const { return dropped_; }
    // Would-be packets with the right address and a complete length whose
    // checksum failed.
    std::uint64_t BadChecksums() const { return badChecksums_; }

    void Reset() { length_ = 0; }

private:
    void Scan(std::vector<std::vector<std::uint8_t>>& out);
    void DropFront(std::size_t n);

    // The meter a packet starting with `first` is for, when it is for one.
    bool Owner(std::uint8_t first, std::uint8_t command, std::uint8_t& owner) const;

    std::bitset<256> addresses_;
    std::uint8_t first_ = kDefaultMeterAddress;
    std::array<std::uint8_t, kMaxRequestLength> buffer_{};
    std::size_t length_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t badChecksums_ = 0;
};

}  // namespace q31::sim
