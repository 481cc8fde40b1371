// The arithmetic of one archive array read, free of any line or buffer: which
// packet to ask for first, and after each reply which values to keep and what
// to ask for next.
//
// An archive is a ring of S slots; the meter counts every record it has ever
// written (N), and record r lives in slot r mod S. A read fetches the values
// of one series from a record number up to the newest record, in at most two
// runs of packets: from the first slot wanted to the end of the ring, then,
// when the run crosses the end, from slot 0 up to the newest record.
#pragma once

#include <cstdint>

namespace q31 {

// How the slots of a ring lie in the meter's memory.
enum class ArchiveAddressing : std::uint8_t {
    // One value after another: slot s at s × E.
    Consecutive,
    // One field of a record per slot: slot s at s × RecordSize.
    Records,
};

struct ArchiveGeometry {
    std::uint32_t slots = 0;         // S: 1080 hourly, 550 daily
    std::uint32_t elementBytes = 0;  // E: 2, 4 or 8
    std::uint32_t packetLimit = 0;   // P: most bytes asked for in one packet
    ArchiveAddressing addressing = ArchiveAddressing::Consecutive;
    std::int32_t recordSize = 0;  // Records only
    std::uint32_t capacity = 0;   // places of the value buffer
};

// The state of a read between two replies.
struct ArchiveCursor {
    std::uint32_t readOffset = 0;       // offset of the next packet from the ring's address
    std::uint32_t firstRemaining = 0;   // values to fetch before the end of the ring
    std::uint32_t secondRemaining = 0;  // values to fetch from slot 0 after the wrap
    std::uint32_t chunkBytes = 0;       // bytes asked for in the packet in flight
    std::uint32_t receivedCount = 0;    // values stored so far
};

// What the owner of a read does next.
struct ArchiveStep {
    // Values of the reply to keep: storeCount values from the reply's first
    // byte go to the buffer's places storeAt onwards (always inside capacity).
    std::uint32_t storeAt = 0;
    std::uint32_t storeCount = 0;
    // The read is over: raise its event with cursor.receivedCount values.
    bool done = false;
    // The reply carried no whole value: it is a failed exchange, and the
    // cursor is as it was, so the same packet is asked for again.
    bool failed = false;
    // Otherwise: when showProgress, show progressValue (values still to fetch
    // in this run) first, then ask for packetBytes at packetOffset.
    bool showProgress = false;
    std::uint32_t progressValue = 0;
    std::uint32_t packetOffset = 0;
    std::uint32_t packetBytes = 0;
};

// Plans a read of the values from record `start` (counting from the first
// record the meter ever wrote) with the ring's counter at `counter`. `count`
// 0 means up to the newest record. Returns the first packet, or done when
// there is nothing to fetch.
ArchiveStep PlanArchiveRead(const ArchiveGeometry& geometry, std::uint32_t counter, std::uint32_t start,
                            std::int32_t count, ArchiveCursor& cursor);

// Takes a reply of `replyLength` payload bytes to the packet in flight.
ArchiveStep AdvanceArchiveRead(const ArchiveGeometry& geometry, ArchiveCursor& cursor, long replyLength);

}  // namespace q31
