// Cuts request packets for one meter out of the bytes the line delivers.
//
// The line may carry anything before a packet: the master's lone 0x00
// preamble, the tail of an earlier packet, traffic for other meters, noise.
// The assembler keeps only what could start a packet for this meter (its
// address, or 0xCA before the F149 flash write), waits for the L + 5 bytes
// the length byte announces, and hands the packet on when its checksum holds.
// Anything else is dropped one byte at a time, so a false start never hides
// a real packet behind it. Its buffer is fixed: a length byte can announce at
// most 260 bytes, which always fit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/SimFrame.h"

namespace q31::sim {

class FrameAssembler {
public:
    explicit FrameAssembler(std::uint8_t address = kDefaultMeterAddress) : address_(address) {}

    void SetAddress(std::uint8_t address) { address_ = address; }
    std::uint8_t Address() const { return address_; }

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

    std::uint8_t address_;
    std::array<std::uint8_t, kMaxRequestLength> buffer_{};
    std::size_t length_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t badChecksums_ = 0;
};

}  // namespace q31::sim
