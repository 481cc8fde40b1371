// One kind of archive array read of the heat-meter component: its ring, the
// packets it sends, the buffer its values go to and the event that ends it.
// Every array read is one of these run by the same planner and receive
// routine.
#pragma once

#include <cstdint>

#include "meter/ArchivePlan.h"

namespace q31 {

class TPublicNetKs_6x6;

enum class ArchiveCounter : std::uint8_t { Hours, Days };

enum class ArchivePacket : std::uint8_t {
    FlashLarge,  // plain flash bytes (ReadFlashLarge)
    Command90,   // the meter's archive read, which names the value size
};

struct ArchiveRead {
    ArchiveGeometry geometry;  // recordSize is taken from the component when the read runs
    ArchiveCounter counter;
    ArchivePacket packet;
    // The first place of the read's buffer.
    void* (*buffer)(TPublicNetKs_6x6& component);
    // Raises the read's event with `count` values.
    void (*raise)(TPublicNetKs_6x6& component, int count);
};

}  // namespace q31
